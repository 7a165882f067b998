#ifndef TAMSOR_TOOLS_PASSWORD_H
#define TAMSOR_TOOLS_PASSWORD_H

// Where the password of encrypted members comes from: the first line of a file (--password-file FILE, "-"
// for standard input), else a prompt on the terminal, without echo, the first time an encrypted member needs
// one. A password never goes on a command line (where ps shows it) or into a log line.
//
// Threads: one at a time.

#include <string>

namespace Tamsor {
namespace Tool {

class PasswordSource {
  public:
    // From `path` ("-": standard input) when not empty, read at once; else from the terminal when asked.
    // False, with `rError`, when the file cannot be read.
    bool open(const std::string& path, std::string& rError);

    // The password given, or "" when none is (yet).
    const std::string& password() const { return m_strPassword; }
    // Asks on the terminal for the password of `archive`, once: true with a password when there is a
    // terminal to ask on and none was given, false otherwise.
    bool prompt(const std::string& archive);

  private:
    std::string m_strPassword;
    bool m_bAsked = false;  // given from a file, or asked for already
};

}  // namespace Tool
}  // namespace Tamsor

#endif
