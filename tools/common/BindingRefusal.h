#ifndef TAMSOR_TOOLS_BINDINGREFUSAL_H
#define TAMSOR_TOOLS_BINDINGREFUSAL_H

// Why binding refused an archive, for the tool's own one-line error. The file system says why on a second
// ERROR line of its logger ("ZIP archive <path> <reason>"); an appender of the tool's own keeps the last such
// line, however quiet the tool is, so that "cannot open" can be followed by the reason.

#include <string>

namespace Tamsor {
namespace Tool {

// Attaches the appender to the file system's logger. With `bQuiet` the logger is also set to ERROR (the tool
// shows nothing the library logs, yet the reason must be logged to be caught). Once, before any file system
// is made: a file system caches its logger's level when it is constructed.
void catchBindingRefusals(bool bQuiet);

// The reason given for `path` since the last call, or "" when none was; forgets it.
std::string takeBindingRefusal(const std::string& path);

}  // namespace Tool
}  // namespace Tamsor

#endif
