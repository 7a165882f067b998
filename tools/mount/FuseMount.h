#ifndef TAMSOR_TOOLS_FUSEMOUNT_H
#define TAMSOR_TOOLS_FUSEMOUNT_H

#include <string>
#include <vector>

#include "MemberSource.h"
#include "MountOptions.h"

namespace Tamsor {
namespace Tool {

// Mounts the opened archives read-only at `mountPoint` (absolute, checked by checkMountPoint), merged into one
// tree or each in a folder of its own (-o subdirs), and serves them until unmounted or the process is
// signalled; returns the exit status: 0 after a clean end, 2 for options FUSE refuses, 5 when FUSE cannot
// mount or serve. With `bVerbose`, the readers' figures go to the log at the end.
int runMount(const std::vector<const MemberSource*>& sources, const std::string& mountPoint,
             const MountSettings& settings, bool bForeground, bool bVerbose);

}  // namespace Tool
}  // namespace Tamsor

#endif
