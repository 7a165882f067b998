// `zipfs mount` for real: archives mounted through FUSE by the built tool, compared with what unzip extracts
// from the same archive. Skipped where this machine cannot mount (no /dev/fuse, no fusermount3) or the tool
// or unzip is missing. The tool is $ZIPFS_BIN, or tools/zipfs beside this test's directory in the build tree.
// Every test unmounts what it mounted, whatever happens.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "TempDir.h"
#include "ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace {

using Testing::runCommand;
using Testing::ZipBuilder;

std::string shellWord(const std::string& text) {
    return "'" + text + "'";  // the paths used here hold no quote
}

std::string toolPath() {
    const char* pFromEnvironment = getenv("ZIPFS_BIN");
    if (pFromEnvironment && *pFromEnvironment) return pFromEnvironment;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "tools" / "zipfs").string();
}

std::string missingPrerequisite() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing or not usable";
    int status = 0;
    runCommand("command -v fusermount3 >/dev/null && command -v unzip >/dev/null && command -v mountpoint >/dev/null",
               &status);
    if (status != 0) return "fusermount3, unzip or mountpoint is not installed";
    if (access(toolPath().c_str(), X_OK) != 0) return "the zipfs tool is not at " + toolPath() + " (set ZIPFS_BIN)";
    return std::string();
}

// Polls `condition` for up to ten seconds: mounting and unmounting finish in another process.
bool eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

bool isMounted(const std::string& directory) {
    int status = 0;
    runCommand("mountpoint -q " + shellWord(directory), &status);
    return status == 0;
}

// A process's command line, or what could be read of it: the process may exit meanwhile, and then reading
// fails with ESRCH (which a file stream would throw as an exception).
std::string readCommandLine(const std::filesystem::path& path) {
    std::string commandLine;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return commandLine;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        commandLine.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return commandLine;
}

// Whether a zipfs process serving `mountPoint` still runs (a zombie has no command line and does not count).
bool isServing(const std::string& mountPoint) {
    // Processes come and go while /proc is read: the iteration reports errors rather than throwing.
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string commandLine = readCommandLine(it->path() / "cmdline");
        const std::string program = commandLine.substr(0, commandLine.find('\0'));
        if (program.size() >= 5 && program.compare(program.size() - 5, 5, "zipfs") == 0 &&
            commandLine.find('\0' + mountPoint + '\0') != std::string::npos) {
            return true;
        }
    }
    return false;
}

// No directory members: docs/img, src/deep and src/deep/nested are implied by the names.
ZipBuilder sampleArchive() {
    ZipBuilder builder;
    builder.addDirectory("docs/")
        .add("docs/readme.txt", Testing::makeContent(5000, 1), ZipBuilder::kDeflated)
        .add("docs/img/pixels.bin", Testing::makeContent(70000, 2, false))
        .add("src/deep/nested/code.c", Testing::makeContent(200000, 3), ZipBuilder::kDeflated)
        .add("top.txt", "top level\n")
        .add("empty.txt", "")
        .add("big/large.txt", Testing::makeContent(3 << 20, 4), ZipBuilder::kDeflated);
    return builder;
}

class ZipfsMountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = missingPrerequisite();
        if (!reason.empty()) GTEST_SKIP() << reason;
        m_strMountPoint = m_dir.file("mnt");
        m_strExtracted = m_dir.file("unzipped");
        ASSERT_EQ(0, mkdir(m_strMountPoint.c_str(), 0755));
        m_strArchive = m_dir.file("sample.zip");
        sampleArchive().writeTo(m_strArchive);
        int status = 0;
        runCommand("unzip -q " + shellWord(m_strArchive) + " -d " + shellWord(m_strExtracted), &status);
        ASSERT_EQ(0, status) << "unzip could not extract the sample archive";
    }

    // Never leaves a mount behind: a lazy unmount if the plain one is refused.
    void TearDown() override {
        if (m_strMountPoint.empty() || !isMounted(m_strMountPoint)) return;
        int status = 0;
        runCommand("fusermount3 -u " + shellWord(m_strMountPoint) + " 2>/dev/null", &status);
        if (status != 0) runCommand("fusermount3 -uz " + shellWord(m_strMountPoint) + " 2>/dev/null");
        eventually([this] { return !isServing(m_strMountPoint); });
    }

    // `zipfs mount` in the background; its exit status (the mount is up when it returns 0).
    int mount(const std::string& archive, const std::string& options = "") {
        int status = 0;
        runCommand(shellWord(toolPath()) + " mount " + options + " " + shellWord(archive) + " " +
                       shellWord(m_strMountPoint) + " 2>&1",
                   &status);
        return status;
    }

    std::string run(const std::string& command, int* pStatus) {
        return runCommand("{ " + command + "; } 2>&1", pStatus);
    }

    // The output of diff -r between unzip's extraction and the mount; empty when they agree.
    std::string differences() {
        int status = 0;
        const std::string output =
            run("diff -r " + shellWord(m_strExtracted) + " " + shellWord(m_strMountPoint), &status);
        return status == 0 ? std::string() : "diff status " + std::to_string(status) + ":\n" + output;
    }

    Testing::TempDir m_dir;  // first declared, last destroyed: it is removed only after the unmount
    std::string m_strMountPoint;
    std::string m_strExtracted;
    std::string m_strArchive;
};

TEST_F(ZipfsMountTest, PlainArchiveShowsWhatUnzipExtracts) {
    ASSERT_EQ(0, mount(m_strArchive));
    ASSERT_TRUE(isMounted(m_strMountPoint));
    EXPECT_EQ("", differences());

    int status = 0;
    // Implied directories are directories, read-only like everything else; files keep sizes and times.
    EXPECT_EQ("dr-xr-xr-x\n", run("stat -c %A " + shellWord(m_strMountPoint + "/src/deep/nested"), &status));
    EXPECT_EQ("code.c\n", run("ls " + shellWord(m_strMountPoint + "/src/deep/nested"), &status));
    for (const char* name : {"/docs/img/pixels.bin", "/top.txt", "/empty.txt", "/big/large.txt"}) {
        const std::string sizeAndTime = "stat -c '%s %Y' ";
        EXPECT_EQ(run(sizeAndTime + shellWord(m_strExtracted + name), &status),
                  run(sizeAndTime + shellWord(m_strMountPoint + name), &status))
            << name;
        EXPECT_EQ("-r--r--r--\n", run("stat -c %A " + shellWord(m_strMountPoint + name), &status)) << name;
    }
}

TEST_F(ZipfsMountTest, ReadsDeflatedMembersAtAnyOffset) {
    ASSERT_EQ(0, mount(m_strArchive));
    // Forward past the start, then back: both the seek ahead and the inflate again from the start.
    for (const char* blocks : {"skip=40 count=3", "skip=2 count=5", "skip=44 count=6"}) {
        const std::string slice = std::string(" bs=64k ") + blocks + " status=none";
        int status = 0;
        EXPECT_EQ(run("dd if=" + shellWord(m_strExtracted + "/big/large.txt") + slice, &status),
                  run("dd if=" + shellWord(m_strMountPoint + "/big/large.txt") + slice, &status))
            << blocks;
        EXPECT_EQ(0, status);
    }
}

TEST_F(ZipfsMountTest, ScrambledArchiveServedInTheForeground) {
    std::string bytes = Testing::readFile(m_strArchive);
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
    const std::string scrambled = m_dir.write("sample.scr", bytes);
    const std::string statusFile = m_dir.file("status");
    runCommand("( " + shellWord(toolPath()) + " mount --scrambled -f " + shellWord(scrambled) + " " +
               shellWord(m_strMountPoint) + "; echo $? > " + shellWord(statusFile) + " ) >/dev/null 2>&1 &");
    ASSERT_TRUE(eventually([this] { return isMounted(m_strMountPoint); })) << "the mount never came up";
    EXPECT_EQ("", differences());

    int status = 0;
    run("fusermount3 -u " + shellWord(m_strMountPoint), &status);
    EXPECT_EQ(0, status);
    ASSERT_TRUE(eventually([&] { return access(statusFile.c_str(), R_OK) == 0 && !isServing(m_strMountPoint); }));
    EXPECT_EQ("0\n", Testing::readFile(statusFile)) << "a clean unmount ends the tool with status 0";
}

TEST_F(ZipfsMountTest, RefusesEveryChange) {
    ASSERT_EQ(0, mount(m_strArchive));
    const std::string top = m_strMountPoint + "/top.txt";
    for (const std::string& change :
         {"echo changed > " + shellWord(top), "touch " + shellWord(m_strMountPoint + "/new.txt"),
          "mkdir " + shellWord(m_strMountPoint + "/docs/new"), "rm " + shellWord(top),
          "mv " + shellWord(top) + " " + shellWord(m_strMountPoint + "/moved.txt")}) {
        int status = 0;
        const std::string output = run(change, &status);
        EXPECT_NE(0, status) << change;
        EXPECT_NE(std::string::npos, output.find("Read-only file system")) << change << ": " << output;
    }
    EXPECT_EQ("top level\n", Testing::readFile(top));
}

TEST_F(ZipfsMountTest, UnmountEndsTheBackgroundServer) {
    ASSERT_EQ(0, mount(m_strArchive));
    ASSERT_TRUE(isServing(m_strMountPoint));
    int status = 0;
    run("fusermount3 -u " + shellWord(m_strMountPoint), &status);
    EXPECT_EQ(0, status);
    EXPECT_FALSE(isMounted(m_strMountPoint));
    // A server that lingered after its unmount would hold the archive and its process forever.
    EXPECT_TRUE(eventually([this] { return !isServing(m_strMountPoint); })) << "the server did not exit";
}

TEST_F(ZipfsMountTest, RefusesWhatItCannotMount) {
    EXPECT_EQ(3, mount(m_dir.write("not-an-archive.zip", "plain text, no ZIP records")));
    EXPECT_EQ(2, mount(m_strArchive, "-o no_such_fuse_option"));
    const std::string file = m_dir.write("a-file", "x");
    int status = 0;
    runCommand(shellWord(toolPath()) + " mount " + shellWord(m_strArchive) + " " + shellWord(file) + " 2>&1", &status);
    EXPECT_EQ(5, status) << "a mount point that is not a directory";
    EXPECT_FALSE(isMounted(m_strMountPoint));
    EXPECT_FALSE(isMounted(file));
}

}  // namespace
}  // namespace Tamsor
