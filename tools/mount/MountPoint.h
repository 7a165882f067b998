#ifndef TAMSOR_TOOLS_MOUNTPOINT_H
#define TAMSOR_TOOLS_MOUNTPOINT_H

// Where a mount may go, checked before anything is mounted: an existing directory, empty, and not already
// the mount point of a FUSE file system (ours or another's: a second server there would hide the first, which
// would stay up unseen). `-o nonempty` lifts the last two. Reads the directory and /proc/self/mountinfo.

#include <string>

namespace Tamsor {
namespace Tool {

// "" when a mount may go at `mountPoint`, with `rResolved` set to its absolute path (what the mount table
// will hold, so that `fusermount3 -u` finds it from anywhere); else why not, to follow "cannot mount at 'X': ".
std::string checkMountPoint(const std::string& mountPoint, bool bNonEmpty, std::string& rResolved);

// The type of the file system mounted at the absolute path `directory` ("fuse.zipfs"), the one on top when
// several are; "" when none is.
std::string mountedTypeAt(const std::string& directory);

}  // namespace Tool
}  // namespace Tamsor

#endif
