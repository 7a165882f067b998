#include "WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace Tamsor {
namespace Tool {

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
