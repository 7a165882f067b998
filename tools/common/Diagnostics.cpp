#include "Diagnostics.h"

#include <cstdio>
#include <cstring>

namespace Tamsor {
namespace Tool {

void reportError(const std::string& message) {
    // Whatever the command wrote to standard output so far goes first, so that the two streams interleave
    // as they happened when both go to one terminal or file.
    std::fflush(stdout);
    std::fprintf(stderr, "zipfs: %s\n", message.c_str());
}

std::string errnoText(int error) {
    return std::strerror(error);
}

}  // namespace Tool
}  // namespace Tamsor
