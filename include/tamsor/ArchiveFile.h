#ifndef TAMSOR_ARCHIVEFILE_H
#define TAMSOR_ARCHIVEFILE_H

// An archive file as the member index and the member reader read it: bytes at any offset, from any number of
// threads at once (no shared position). Plain archives are read with pread; scrambled ones too, each byte then
// unscrambled by its file offset (the key's phase is the offset's), so no read depends on another.
//
// Hosts may give the index and the reader a file of their own (a wrapper that injects faults, say); it must
// be safe to read from several threads at once, as these are.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Tamsor {

class ZIPFileSystemImpl;

class ArchiveFile {
  public:
    virtual ~ArchiveFile() = default;

    // The file's size in bytes, as it was when it was opened.
    virtual std::uint64_t size() const = 0;
    // Exactly `length` bytes at `offset` into `pBuffer`; false when the file holds fewer or a read fails. One
    // or more system calls, as the kernel hands out the bytes.
    virtual bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const = 0;

    // The regular file at `path`, plain or scrambled with this build's key; null with `rError` ("cannot be
    // opened", "is not a regular file") otherwise. A FIFO is refused without waiting for a writer.
    static std::shared_ptr<const ArchiveFile> open(const std::string& path, bool bScrambled, std::string& rError);
    // The file at `path` as `fileSystem` reads its archives: scrambled when it is a scrambled file system.
    static std::shared_ptr<const ArchiveFile> openFor(const ZIPFileSystemImpl& fileSystem, const std::string& path,
                                                      std::string& rError);
};

}  // namespace Tamsor

#endif
