#ifndef TAMSOR_TESTS_TEMPDIR_H
#define TAMSOR_TESTS_TEMPDIR_H

#include <string>

namespace Tamsor {
namespace Testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();

    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& name) const { return m_strPath + "/" + name; }
    // Writes `bytes` to file(name) and returns that path.
    std::string write(const std::string& name, const std::string& bytes) const;

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

  private:
    std::string m_strPath;
};

// The whole content of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
// Runs a shell command, returns its standard output; `status` gets the exit status (128 + signal when killed).
std::string runCommand(const std::string& command, int* status = nullptr);

}  // namespace Testing
}  // namespace Tamsor

#endif
