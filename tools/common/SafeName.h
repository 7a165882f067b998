#ifndef TAMSOR_TOOLS_SAFENAME_H
#define TAMSOR_TOOLS_SAFENAME_H

// Where a member may go under a folder of the user's (an extraction directory): names and symbolic link
// targets judged by their text alone, before anything is created. Pure functions.

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

// The components of `strName` (a decoded member name) under the folder: leading "/"s are stripped, so that
// an absolute name lands inside like any other, and empty and "." components are dropped. Refused, with the
// reason returned: a NUL byte, a backslash (another system's separator: "..\x" would climb there) and any
// ".." component. "" when accepted; `rComponents` may then be empty (the folder itself).
std::string safeRelativePath(const std::string& strName, std::vector<std::string>& rComponents);

// Why a symbolic link at `linkComponents` (from safeRelativePath) must not point at `strTarget`, or "". A
// target stays inside when it is relative and its ".." components all come first, no more of them than the
// link has directories above it: they climb only through directories this extraction made (never through
// links), and what follows only descends. So "../x" is accepted one level down, "a/../b" and "/etc" never.
std::string unsafeLinkTargetReason(const std::vector<std::string>& linkComponents, const std::string& strTarget);

}  // namespace Tool
}  // namespace Tamsor

#endif
