#ifndef TAMSOR_TOOLS_MOUNTHELPERCALL_H
#define TAMSOR_TOOLS_MOUNTHELPERCALL_H

// How mount(8) starts a FUSE file system: for `mount -t fuse.zipfs ARCHIVE DIR` and /etc/fstab lines of that
// type, mount.fuse3 runs `zipfs ARCHIVE DIR -o OPTIONS`, with no command word. Such a call is `zipfs mount`.

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

// True when `args` (after the program name, the first of them no command's name) are that call: the first
// names an existing file that is not a directory, the second an existing directory. Costs two stat calls.
bool isMountHelperCall(const std::vector<std::string>& args);

}  // namespace Tool
}  // namespace Tamsor

#endif
