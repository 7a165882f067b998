#include "Password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "Diagnostics.h"

namespace Tamsor {
namespace Tool {

namespace {

// The first line of `in`, its line ending dropped.
std::string firstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Echo off on `fd` while a line is read from it; restored whatever happens.
class EchoOff {
  public:
    explicit EchoOff(int fd) : m_fd(fd), m_bOff(::tcgetattr(fd, &m_saved) == 0) {
        if (!m_bOff) return;
        struct termios quiet = m_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        m_bOff = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (m_bOff) ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
    }

  private:
    const int m_fd;
    struct termios m_saved;
    bool m_bOff;
};

}  // namespace

bool PasswordSource::open(const std::string& path, std::string& rError) {
    if (path.empty()) return true;
    m_bAsked = true;
    if (path == "-") {
        m_strPassword = firstLine(std::cin);
        return true;
    }
    std::ifstream file(path);
    if (!file) {
        rError = "cannot read the password file '" + path + "': " + errnoText(errno);
        return false;
    }
    m_strPassword = firstLine(file);
    return true;
}

bool PasswordSource::prompt(const std::string& archive) {
    if (m_bAsked) return false;
    m_bAsked = true;
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    const std::string question = "Password for " + archive + ": ";
    bool bRead = ::write(fd, question.data(), question.size()) == static_cast<ssize_t>(question.size());
    std::string line;
    {
        EchoOff quiet(fd);
        for (char c; bRead && ::read(fd, &c, 1) == 1 && c != '\n';) line += c;
    }
    ::close(fd);
    if (!bRead) return false;
    m_strPassword = line;
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
