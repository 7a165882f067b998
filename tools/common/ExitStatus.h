#ifndef TAMSOR_TOOLS_EXITSTATUS_H
#define TAMSOR_TOOLS_EXITSTATUS_H

namespace Tamsor {
namespace Tool {

// The exit statuses of every zipfs command. When several problems meet in one run, the highest wins.
enum ExitStatus {
    kExitOk = 0,
    kExitUsage = 2,      // bad command line
    kExitArchive = 3,    // the archive cannot be opened or read as a ZIP archive
    kExitNotFound = 4,   // a named member is not in the archive
    kExitDataError = 5,  // an I/O error, a CRC error, or a member refused or skipped
};

inline int worstOf(int a, int b) {
    return a > b ? a : b;
}

}  // namespace Tool
}  // namespace Tamsor

#endif
