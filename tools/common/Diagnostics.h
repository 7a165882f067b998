#ifndef TAMSOR_TOOLS_DIAGNOSTICS_H
#define TAMSOR_TOOLS_DIAGNOSTICS_H

#include <string>

namespace Tamsor {
namespace Tool {

// Prints "zipfs: <message>" as one line on standard error.
void reportError(const std::string& message);

// The text of an errno value.
std::string errnoText(int error);

}  // namespace Tool
}  // namespace Tamsor

#endif
