#include "TempDir.h"

#include <ftw.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Tamsor {
namespace Testing {

TempDir::TempDir() {
    const char* pRoot = std::getenv("TMPDIR");
    m_strPath = std::string(pRoot && *pRoot ? pRoot : "/tmp") + "/tamsor-test-XXXXXX";
    if (!mkdtemp(&m_strPath[0])) throw std::runtime_error("TempDir: mkdtemp failed in " + m_strPath);
}

// Depth first, so that each directory is empty when its turn comes; links are removed, never followed.
TempDir::~TempDir() {
    nftw(
        m_strPath.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path), 0; }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    const std::string path = file(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("TempDir: cannot write " + path);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    if (!in) throw std::runtime_error("readFile: cannot open " + path);
    content << in.rdbuf();  // sets failbit on an empty file, which is no error
    return content.str();
}

std::string runCommand(const std::string& command, int* status) {
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
