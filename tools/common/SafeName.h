#ifndef TAMSOR_TOOLS_SAFENAME_H
#define TAMSOR_TOOLS_SAFENAME_H

// Which member names may be written under an extraction directory.

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

// Why `strName` must not be extracted ("absolute name", "'..' component", ...), or "" when it may.
// Refused: empty names, NUL bytes, backslashes (another system's separator: "..\x" would climb there), a
// leading "/", and any ".." component.
std::string unsafeNameReason(const std::string& strName);

// The components to create under the extraction directory: empty and "." components dropped.
std::vector<std::string> pathComponents(const std::string& strName);

}  // namespace Tool
}  // namespace Tamsor

#endif
