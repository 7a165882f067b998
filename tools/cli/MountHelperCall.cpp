#include "MountHelperCall.h"

#include <sys/stat.h>

namespace Tamsor {
namespace Tool {

bool isMountHelperCall(const std::vector<std::string>& args) {
    struct stat archive, mountPoint;
    return args.size() >= 2 && args[0].compare(0, 1, "-") != 0 && ::stat(args[0].c_str(), &archive) == 0 &&
           !S_ISDIR(archive.st_mode) && ::stat(args[1].c_str(), &mountPoint) == 0 && S_ISDIR(mountPoint.st_mode);
}

}  // namespace Tool
}  // namespace Tamsor
