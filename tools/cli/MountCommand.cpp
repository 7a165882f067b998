// mount: the options and the mount point are checked, and the archive opened, here (as every command opens
// it, so the words for a bad archive are the same); the FUSE side lives in tools/mount/.

#include <string>
#include <vector>

#include "Commands.h"
#include "ExitStatus.h"
#include "FuseMount.h"
#include "MemberSource.h"
#include "MountOptions.h"
#include "MountPoint.h"
#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {

int mountCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    MountSettings settings;
    std::string error;
    if (!parseMountOptions(invocation.args.values("options"), settings, error)) {
        invocation.fail(error);
        return kExitUsage;
    }
    std::string mountPoint;
    const std::string refusal = checkMountPoint(operands[1], settings.bNonEmpty, mountPoint);
    if (!refusal.empty()) {
        invocation.fail("cannot mount at '" + operands[1] + "': " + refusal);
        return kExitUsage;
    }
    MemberSource source;
    NameDecoder decoder;
    const int status = invocation.openArchive(source, decoder);
    if (status != kExitOk) return status;
    return runMount(source, mountPoint, settings, invocation.args.has("foreground"), invocation.args.has("verbose"));
}

}  // namespace Tool
}  // namespace Tamsor
