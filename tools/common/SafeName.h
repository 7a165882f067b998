#ifndef TAMSOR_TOOLS_SAFENAME_H
#define TAMSOR_TOOLS_SAFENAME_H

// Where a symbolic link may point from a folder of the user's (an extraction directory), judged by its text
// alone, before anything is created. (Where members go is ShownPaths'.) A pure function.

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

// Why a symbolic link at `linkComponents` (its path below the folder) must not point at `strTarget`, or "". A
// target stays inside when it is relative and its ".." components all come first, no more of them than the
// link has directories above it: they climb only through directories this extraction made (never through
// links), and what follows only descends. So "../x" is accepted one level down, "a/../b" and "/etc" never.
std::string unsafeLinkTargetReason(const std::vector<std::string>& linkComponents, const std::string& strTarget);

}  // namespace Tool
}  // namespace Tamsor

#endif
