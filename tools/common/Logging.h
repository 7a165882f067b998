#ifndef TAMSOR_TOOLS_LOGGING_H
#define TAMSOR_TOOLS_LOGGING_H

// The tool's log4cplus set-up, done before any file system is made (file systems cache their level when
// constructed).

#include <string>

namespace Tamsor {
namespace Tool {

enum class Verbosity { Quiet, Debug, Trace };

// Quiet: nothing the library logs reaches the terminal (the tool prints its own one-line errors). Debug and
// Trace: the "corvane.zzip" loggers at that level, with warnings and errors of every logger, on standard
// error. When ZIPFS_LOG_CONFIG names a file, that log4cplus properties file decides instead. False, with
// `rError` set, when that file cannot be read.
bool setUpLogging(Verbosity verbosity, std::string& rError);

}  // namespace Tool
}  // namespace Tamsor

#endif
