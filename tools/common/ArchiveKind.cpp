#include "ArchiveKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Tool {

namespace {

const std::size_t kHeadSize = 4;
const std::size_t kTailSize = 22;

bool readExactlyAt(int fd, char* buffer, std::size_t length, off_t offset) {
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool looksLikeZip(const char* head, bool bHasHead, const char* tail, bool bHasTail) {
    if (bHasHead && (std::memcmp(head, "PK\x03\x04", 4) == 0 || std::memcmp(head, "PK\x05\x06", 4) == 0)) return true;
    // An end record with an empty comment fills the last 22 bytes exactly (archives with data before the
    // first header, such as self-extracting ones, are recognised this way).
    return bHasTail && std::memcmp(tail, "PK\x05\x06", 4) == 0 && tail[20] == 0 && tail[21] == 0;
}

}  // namespace

bool detectArchiveKind(const std::string& path, ArchiveKind& rKind) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever. Only a regular file is read; anything
    // else is of no known kind, and binding then says why it is refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat status;
    char head[kHeadSize] = {};
    char tail[kTailSize] = {};
    bool bOk = ::fstat(fd, &status) == 0;
    if (bOk && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        bOk = false;
    }
    const off_t size = bOk && S_ISREG(status.st_mode) ? status.st_size : 0;
    const bool bHasHead = bOk && size >= static_cast<off_t>(kHeadSize);
    const bool bHasTail = bOk && size >= static_cast<off_t>(kTailSize);
    if (bHasHead) bOk = readExactlyAt(fd, head, kHeadSize, 0);
    if (bOk && bHasTail) bOk = readExactlyAt(fd, tail, kTailSize, size - static_cast<off_t>(kTailSize));
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
    if (!bOk) return false;

    rKind = ArchiveKind::Unknown;
    if (looksLikeZip(head, bHasHead, tail, bHasTail)) {
        rKind = ArchiveKind::Plain;
        return true;
    }
    ZIPEncryptedFileSystem::decrypt(head, kHeadSize, 0);
    if (bHasTail)
        ZIPEncryptedFileSystem::decrypt(tail, kTailSize,
                                        static_cast<unsigned int>(size - static_cast<off_t>(kTailSize)));
    if (looksLikeZip(head, bHasHead, tail, bHasTail)) rKind = ArchiveKind::Scrambled;
    return true;
}

const char* kindName(ArchiveKind kind) {
    switch (kind) {
        case ArchiveKind::Plain:
            return "plain";
        case ArchiveKind::Scrambled:
            return "scrambled";
        default:
            return "unknown";
    }
}

}  // namespace Tool
}  // namespace Tamsor
