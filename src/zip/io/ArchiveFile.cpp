// Reading archive files with pread, plain or unscrambling.

#include "tamsor/ArchiveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {

namespace {

class PosixArchiveFile : public ArchiveFile {
  public:
    PosixArchiveFile(int fd, std::uint64_t size) : m_fd(fd), m_uiSize(size) {}
    ~PosixArchiveFile() override { ::close(m_fd); }

    std::uint64_t size() const override { return m_uiSize; }

    bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const override {
        char* p = static_cast<char*>(pBuffer);
        while (length > 0) {
            const ssize_t n = ::pread(m_fd, p, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n, offset += static_cast<std::uint64_t>(n), length -= static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    const int m_fd;
    const std::uint64_t m_uiSize;
};

// Each byte is unscrambled by its own file offset: the key's phase is the offset modulo 16, which the 32-bit
// offset the transform takes keeps (2^32 is a multiple of 16).
class ScrambledArchiveFile : public PosixArchiveFile {
  public:
    using PosixArchiveFile::PosixArchiveFile;

    bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const override {
        if (!PosixArchiveFile::readAt(offset, pBuffer, length)) return false;
        char* p = static_cast<char*>(pBuffer);
        for (std::size_t done = 0; done < length;) {  // the transform takes 32-bit lengths
            const std::size_t piece = std::min<std::size_t>(length - done, 1u << 30);
            ZIPEncryptedFileSystem::decrypt(p + done, static_cast<unsigned int>(piece),
                                            static_cast<unsigned int>(offset + done));
            done += piece;
        }
        return true;
    }
};

}  // namespace

std::shared_ptr<const ArchiveFile> ArchiveFile::open(const std::string& path, bool bScrambled, std::string& rError) {
    // Not blocking: opening a FIFO would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        rError = "cannot be opened";
        return nullptr;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        rError = "is not a regular file";
        return nullptr;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    if (bScrambled) return std::make_shared<ScrambledArchiveFile>(fd, size);
    return std::make_shared<PosixArchiveFile>(fd, size);
}

std::shared_ptr<const ArchiveFile> ArchiveFile::openFor(const ZIPFileSystemImpl& fileSystem, const std::string& path,
                                                        std::string& rError) {
    return open(path, dynamic_cast<const ZIPEncryptedFileSystem*>(&fileSystem) != nullptr, rError);
}

}  // namespace Tamsor
