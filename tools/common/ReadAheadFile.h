#ifndef TAMSOR_TOOLS_READAHEADFILE_H
#define TAMSOR_TOOLS_READAHEADFILE_H

// An archive file read forward in small pieces, as `zipfs test` and `extract` read it: they take the members in
// archive order, and most members of a large tree are a local header and a few hundred bytes of data, two small
// reads each. Here a small read that falls in the last window is copied from it, and one that does not fills a
// new window from its offset with one read of the file: 20,000 members of 600 bytes cost about a dozen system
// calls instead of 40,000. Reads of a decoder's whole input piece (64 KiB) or more go straight to the file, so
// large members are not copied twice.
//
// Threads: any, as ArchiveFile promises; the window is shared under a lock, so readers of far-apart members take
// turns refilling it (the mount, which reads in parallel, does not use it). Memory: one window (1 MiB).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "tamsor/ArchiveFile.h"

namespace Tamsor {
namespace Tool {

class ReadAheadFile : public ArchiveFile {
  public:
    static constexpr std::size_t kWindowSize = 1 << 20;
    static constexpr std::size_t kDirectReadSize = 64 << 10;  // and more: not windowed

    // Reads `pFile`, which it shares.
    explicit ReadAheadFile(std::shared_ptr<const ArchiveFile> pFile);

    std::uint64_t size() const override { return m_pFile->size(); }
    bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const override;

  private:
    // Fills the window from `offset`: as much of kWindowSize as the file holds. False when that read fails.
    bool fill(std::uint64_t offset) const;

    const std::shared_ptr<const ArchiveFile> m_pFile;
    mutable std::mutex m_mutex;  // guards the window
    mutable std::vector<char> m_window;
    mutable std::uint64_t m_uiWindowOffset = 0;
    mutable std::size_t m_uiWindowLength = 0;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
