#ifndef TAMSOR_TOOLS_MADEMOUNTPOINT_H
#define TAMSOR_TOOLS_MADEMOUNTPOINT_H

// A mount point that the mount makes when it is missing, and removes again once the mount is over, as other
// archive mounts do: `zipfs mount a.zip /tmp/a` needs no mkdir first and leaves no directory behind.
// Owned by the command that mounts; in a mount that went to the background, by the process that served it
// (the one that started it ends without destructors).

#include <string>

namespace Tamsor {
namespace Tool {

class MadeMountPoint {
  public:
    MadeMountPoint() = default;
    // Removes the directory made, when it is empty (rmdir: anything put in it stays, and so does it).
    ~MadeMountPoint();
    MadeMountPoint(const MadeMountPoint&) = delete;
    MadeMountPoint& operator=(const MadeMountPoint&) = delete;

    // Makes `path` (its parent must exist) when nothing is there, remembering it by its absolute path (the
    // background mount works from "/"). True when it is there now; false, with errno, when it could not be made.
    bool makeIfMissing(const std::string& path);

  private:
    std::string m_strMade;  // absolute; empty when nothing was made
};

}  // namespace Tool
}  // namespace Tamsor

#endif
