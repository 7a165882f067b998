#include "MadeMountPoint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Tamsor {
namespace Tool {

MadeMountPoint::~MadeMountPoint() {
    if (!m_strMade.empty()) ::rmdir(m_strMade.c_str());
}

bool MadeMountPoint::makeIfMissing(const std::string& path) {
    struct stat attributes;
    if (::lstat(path.c_str(), &attributes) == 0 || errno != ENOENT) return true;  // what is there is checked later
    if (::mkdir(path.c_str(), 0755) != 0) return false;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) m_strMade = resolved;
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
