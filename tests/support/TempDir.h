#ifndef TAMSOR_TESTS_TEMPDIR_H
#define TAMSOR_TESTS_TEMPDIR_H

#include <ftw.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace Tamsor {
namespace Testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        const char* pRoot = std::getenv("TMPDIR");
        m_strPath = std::string(pRoot && *pRoot ? pRoot : "/tmp") + "/tamsor-test-XXXXXX";
        if (!mkdtemp(&m_strPath[0])) throw std::runtime_error("TempDir: mkdtemp failed in " + m_strPath);
    }
    // Depth first, so that each directory is empty when its turn comes; links are removed, never followed.
    ~TempDir() {
        nftw(
            m_strPath.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path), 0; }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& name) const { return m_strPath + "/" + name; }
    // Writes `bytes` to file(name) and returns that path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw std::runtime_error("TempDir: cannot write " + file(name));
        return file(name);
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

  private:
    std::string m_strPath;
};

// The whole content of a file; throws std::runtime_error when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    if (!in) throw std::runtime_error("readFile: cannot open " + path);
    content << in.rdbuf();  // sets failbit on an empty file, which is no error
    return content.str();
}

// Runs a shell command, returns its standard output; `status` gets the exit status (128 + signal when killed).
inline std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pPipe = popen(command.c_str(), "r");
    char buffer[65536];
    for (std::size_t n; pPipe && (n = fread(buffer, 1, sizeof(buffer), pPipe)) > 0;) output.append(buffer, n);
    const int waited = pPipe ? pclose(pPipe) : -1;
    if (status)
        *status = waited == -1          ? -1
                  : WIFEXITED(waited)   ? WEXITSTATUS(waited)
                  : WIFSIGNALED(waited) ? 128 + WTERMSIG(waited)
                                        : -1;
    return output;
}

}  // namespace Testing
}  // namespace Tamsor

#endif
