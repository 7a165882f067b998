#ifndef TAMSOR_TOOLS_WRITEALL_H
#define TAMSOR_TOOLS_WRITEALL_H

#include <cstddef>

namespace Tamsor {
namespace Tool {

// Writes all `length` bytes to `fd`, going on after short writes and interruptions; false on an error (errno
// tells which).
bool writeAll(int fd, const char* data, std::size_t length);

}  // namespace Tool
}  // namespace Tamsor

#endif
