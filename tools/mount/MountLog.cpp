#include "MountLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "Diagnostics.h"

namespace Tamsor {
namespace Tool {

MountLog::~MountLog() {
    if (m_pFile) std::fclose(m_pFile);
    if (m_bSyslog) closelog();
}

bool MountLog::useFile(const std::string& path, std::string& rError) {
    std::FILE* pFile = std::fopen(path.c_str(), "ae");
    if (!pFile) {
        rError = "cannot open log file '" + path + "': " + errnoText(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pFile) std::fclose(m_pFile);
    m_pFile = pFile;
    return true;
}

void MountLog::toBackground() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pFile || m_bSyslog) return;
    openlog("zipfs", LOG_PID, LOG_DAEMON);
    m_bSyslog = true;
}

void MountLog::write(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bSyslog) {
        syslog(LOG_WARNING, "%s%s", m_strPrefix.c_str(), text.c_str());
    } else if (m_pFile) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        struct tm local;
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &local));
        std::fprintf(m_pFile, "%s zipfs[%d]: %s%s\n", stamp, static_cast<int>(getpid()), m_strPrefix.c_str(),
                     text.c_str());
        std::fflush(m_pFile);
    } else {
        std::fprintf(stderr, "zipfs: %s%s\n", m_strPrefix.c_str(), text.c_str());
    }
}

}  // namespace Tool
}  // namespace Tamsor
