#ifndef TAMSOR_TOOLS_FUSEMOUNT_H
#define TAMSOR_TOOLS_FUSEMOUNT_H

#include <string>

#include "MemberSource.h"
#include "MountOptions.h"

namespace Tamsor {
namespace Tool {

// Mounts the opened archive read-only at `mountPoint` (absolute, checked by checkMountPoint) and serves it
// until it is unmounted or the process is signalled; returns the exit status: 0 after a clean end, 2 for
// options FUSE refuses, 5 when FUSE cannot mount or serve. With `bVerbose`, the reader's figures go to the log
// at the end.
int runMount(const MemberSource& source, const std::string& mountPoint, const MountSettings& settings, bool bForeground,
             bool bVerbose);

}  // namespace Tool
}  // namespace Tamsor

#endif
