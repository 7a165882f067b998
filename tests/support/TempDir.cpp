#include "TempDir.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace Tamsor {
namespace Testing {

namespace {

std::string temporaryRoot() {
    const char* pTmpDir = getenv("TMPDIR");
    return pTmpDir && *pTmpDir ? std::string(pTmpDir) : std::string("/tmp");
}

int removeOne(const char* path, const struct stat*, int, struct FTW*) {
    // Keep going on failure: a leftover file must not stop the rest from being removed.
    ::remove(path);
    return 0;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = temporaryRoot() + "/tamsor-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::runtime_error("TempDir: mkdtemp(" + pattern + ") failed: " + std::strerror(errno));
    }
    m_strPath = buffer.data();
}

TempDir::~TempDir() {
    // Depth first so that every directory is empty when its turn comes; FTW_PHYS so that a symbolic link is
    // removed, never followed out of the directory.
    nftw(m_strPath.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::file(const std::string& name) const {
    return m_strPath + "/" + name;
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
    if (!in) throw std::runtime_error("readFile: cannot open " + path);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw std::runtime_error("readFile: cannot read " + path);
    return content.str();
}

std::string runCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pPipe = popen(command.c_str(), "r");
    if (!pPipe) {
        if (status) *status = -1;
        return output;
    }
    char buffer[65536];
    std::size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), pPipe)) > 0) output.append(buffer, count);
    const int waitStatus = pclose(pPipe);
    if (status) {
        // The exit status as a shell would report it: 128 + signal for a command that was killed.
        if (waitStatus == -1) {
            *status = -1;
        } else if (WIFEXITED(waitStatus)) {
            *status = WEXITSTATUS(waitStatus);
        } else {
            *status = WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
        }
    }
    return output;
}

}  // namespace Testing
}  // namespace Tamsor
