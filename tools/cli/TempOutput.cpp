#include "TempOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Tamsor {
namespace Tool {

namespace {

// What the signal handler may touch: a fixed buffer and a flag, set before the handler is installed.
char g_pendingPath[4096];
volatile std::sig_atomic_t g_bPending = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingAndDie(int signalNumber) {
    if (g_bPending) ::unlink(g_pendingPath);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void installHandlers() {
    for (const int signalNumber : kSignals) {
        struct sigaction action {};
        action.sa_handler = &removePendingAndDie;
        sigemptyset(&action.sa_mask);
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void restoreHandlers() {
    for (const int signalNumber : kSignals) std::signal(signalNumber, SIG_DFL);
}

// The permissions a new file would get: 0666 less the umask (mkstemp makes 0600).
mode_t defaultFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

TempOutput::~TempOutput() {
    if (!m_bCommitted) discard();
}

bool TempOutput::create(const std::string& strDestination) {
    m_strDestination = strDestination;
    std::string pattern = strDestination + ".tmp.XXXXXX";
    if (pattern.size() >= sizeof(g_pendingPath)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    installHandlers();
    // The signals wait while the file is made and its name armed: none can find a file it does not know of.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (const int signalNumber : kSignals) sigaddset(&blocked, signalNumber);
    ::sigprocmask(SIG_BLOCK, &blocked, &previous);
    m_fd = ::mkstemp(buffer.data());
    const int savedErrno = errno;
    if (m_fd >= 0) {
        std::memcpy(g_pendingPath, buffer.data(), buffer.size());
        g_bPending = 1;
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (m_fd < 0) {
        restoreHandlers();
        errno = savedErrno;
        return false;
    }
    m_strTemporary = buffer.data();
    ::fchmod(m_fd, defaultFileMode());
    return true;
}

bool TempOutput::commit() {
    const int fd = m_fd;
    m_fd = -1;
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int savedErrno = errno;
        ::close(fd);
        errno = savedErrno;
        return false;
    }
    if (::close(fd) != 0) return false;
    if (::rename(m_strTemporary.c_str(), m_strDestination.c_str()) != 0) return false;
    m_bCommitted = true;
    g_bPending = 0;
    restoreHandlers();
    return true;
}

void TempOutput::discard() {
    if (m_strTemporary.empty()) return;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    ::unlink(m_strTemporary.c_str());
    g_bPending = 0;
    restoreHandlers();
}

}  // namespace Tool
}  // namespace Tamsor
