#ifndef TAMSOR_TOOLS_MOUNTLOG_H
#define TAMSOR_TOOLS_MOUNTLOG_H

// Where a mount's lines go (members not shown, refusals, data errors): standard error while the mount has
// a terminal (always with -f; in the background until it forks), then syslog (facility daemon, tag
// "zipfs"); or, from the start, the file named with -o logfile=FILE, appended to with a time on each line.
//
// Threads: any; each line is written whole under a lock. Costs: one write (or syslog call) a line.

#include <cstdio>
#include <mutex>
#include <string>

namespace Tamsor {
namespace Tool {

class MountLog {
  public:
    // Every line starts with `prefix` ("mount: ARCHIVE: ").
    explicit MountLog(const std::string& prefix) : m_strPrefix(prefix) {}
    ~MountLog();

    // Appends to `path` from now on; false, with the reason in `rError`, when it cannot be opened.
    bool useFile(const std::string& path, std::string& rError);
    // Called once the process has no terminal any more: lines go to syslog unless they go to a file.
    void toBackground();
    void write(const std::string& text);

    MountLog(const MountLog&) = delete;
    MountLog& operator=(const MountLog&) = delete;

  private:
    const std::string m_strPrefix;
    std::mutex m_mutex;
    std::FILE* m_pFile = nullptr;  // guarded by m_mutex, like the choice below
    bool m_bSyslog = false;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
