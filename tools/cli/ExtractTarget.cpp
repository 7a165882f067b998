#include "ExtractTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Tamsor {
namespace Tool {

namespace {

const int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void closeKeepingErrno(int fd) {
    const int savedErrno = errno;
    ::close(fd);
    errno = savedErrno;
}

}  // namespace

ExtractTarget::~ExtractTarget() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ExtractTarget::open(const std::string& strDirectory) {
    if (::mkdir(strDirectory.c_str(), 0777) != 0 && errno != EEXIST) return false;
    m_fd = ::open(strDirectory.c_str(), kDirectoryOpenFlags);
    return m_fd >= 0;
}

int ExtractTarget::openDirectory(const std::vector<std::string>& components) const {
    int fd = ::dup(m_fd);
    if (fd < 0) return -1;
    for (const std::string& component : components) {
        if (::mkdirat(fd, component.c_str(), 0777) != 0 && errno != EEXIST) {
            closeKeepingErrno(fd);
            return -1;
        }
        // O_NOFOLLOW: a symbolic link here fails (ELOOP) instead of being entered.
        const int next = ::openat(fd, component.c_str(), kDirectoryOpenFlags | O_NOFOLLOW);
        closeKeepingErrno(fd);
        if (next < 0) return -1;
        fd = next;
    }
    return fd;
}

int ExtractTarget::createFile(int directoryFd, const std::string& strName, bool bReplace) {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (bReplace ? O_TRUNC : O_EXCL);
    return ::openat(directoryFd, strName.c_str(), flags, 0666);
}

}  // namespace Tool
}  // namespace Tamsor
