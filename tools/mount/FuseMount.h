#ifndef TAMSOR_TOOLS_FUSEMOUNT_H
#define TAMSOR_TOOLS_FUSEMOUNT_H

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

// Mounts the archive read-only at mountPoint and serves it until unmounted; returns the process exit status
// (0 after a clean unmount; 3 when the archive cannot be opened; 2 for bad FUSE options; 5 for a FUSE failure).
int runMount(const std::string& archivePath, bool bScrambled, const std::string& mountPoint, bool bForeground,
             const std::vector<std::string>& fuseOptions);

}  // namespace Tool
}  // namespace Tamsor

#endif
