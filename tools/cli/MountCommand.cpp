// mount: the archive's kind is settled here; the FUSE side lives in FuseMount.cpp.

#include <string>
#include <vector>

#include "Commands.h"
#include "ExitStatus.h"
#include "MemberSource.h"

#include "FuseMount.h"

namespace Tamsor {
namespace Tool {

int mountCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    bool bScrambled = false;
    const int status = resolveArchiveKind(operands[0], invocation.kind, invocation.commandName, bScrambled);
    if (status != kExitOk) return status;
    return runMount(operands[0], bScrambled, operands[1], invocation.args.has("foreground"),
                    invocation.args.values("options"));
}

}  // namespace Tool
}  // namespace Tamsor
