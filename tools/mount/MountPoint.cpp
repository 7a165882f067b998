#include "MountPoint.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Diagnostics.h"

namespace Tamsor {
namespace Tool {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as octal escapes ("\040").
std::string unescapeMountPath(const std::string& field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            path += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

bool isEmptyDirectory(const std::string& path) {
    DIR* pDirectory = opendir(path.c_str());
    if (!pDirectory) return false;
    bool bEmpty = true;
    while (const struct dirent* pEntry = readdir(pDirectory)) {
        const std::string name = pEntry->d_name;
        if (name != "." && name != "..") {
            bEmpty = false;
            break;
        }
    }
    closedir(pDirectory);
    return bEmpty;
}

}  // namespace

std::string mountedTypeAt(const std::string& directory) {
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::string line, type;
    while (std::getline(mountInfo, line)) {
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, field;
        fields >> id >> parent >> device >> root >> mountPoint;
        while (fields >> field && field != "-") {}
        std::string lineType;
        fields >> lineType;
        if (unescapeMountPath(mountPoint) == directory) type = lineType;  // later lines lie on top
    }
    return type;
}

std::string checkMountPoint(const std::string& mountPoint, bool bNonEmpty, std::string& rResolved) {
    char resolved[PATH_MAX];
    struct stat attributes;
    if (!realpath(mountPoint.c_str(), resolved) || stat(resolved, &attributes) != 0) return errnoText(errno);
    // FUSE would mount over a file too, and the archive's top level, a directory, would be unusable there.
    if (!S_ISDIR(attributes.st_mode)) return errnoText(ENOTDIR);
    rResolved = resolved;
    if (bNonEmpty) return "";
    const std::string type = mountedTypeAt(rResolved);
    if (type.compare(0, 4, "fuse") == 0)
        return "it is a mount point of " + type + " already (unmount it with fusermount3 -u, or give -o nonempty)";
    if (!isEmptyDirectory(rResolved)) return "the directory is not empty (give -o nonempty to mount over it)";
    return "";
}

}  // namespace Tool
}  // namespace Tamsor
