// `zipfs mount` for real: archives made by Info-ZIP zip (-y links, -P encryption), Python's zipfile (bzip2,
// odd names, zip64 with more than 65,535 members) and ZipBuilder, mounted through FUSE by the built tool and
// read by ordinary programs, several at once. Skipped where this machine cannot mount (no /dev/fuse, no
// fusermount3) or a tool is missing. The tool is $ZIPFS_BIN, or tools/zipfs beside this test's directory in
// the build tree. Every test unmounts what it mounted, whatever happens.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
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
    runCommand("for c in fusermount3 unzip zip python3 mountpoint; do command -v $c >/dev/null || exit 1; done",
               &status);
    if (status != 0) return "fusermount3, unzip, zip, python3 or mountpoint is not installed";
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

// Standard output and error of a shell command, and its status.
std::string run(const std::string& command, int* pStatus = nullptr) {
    return runCommand("{ " + command + "\n} 2>&1", pStatus);
}

bool isMounted(const std::string& directory) {
    int status = 0;
    run("mountpoint -q " + shellWord(directory), &status);
    return status == 0;
}

// Whether a zipfs process serving `mountPoint` still runs (a zombie has no command line and does not count).
bool isServing(const std::string& mountPoint) {
    std::error_code error;  // processes come and go while /proc is read
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        std::string commandLine;
        const int fd = ::open((it->path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[4096];
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            commandLine.append(buffer, static_cast<std::size_t>(n));
        if (fd >= 0) ::close(fd);
        const std::string program = commandLine.substr(0, commandLine.find('\0'));
        if (program.size() >= 5 && program.compare(program.size() - 5, 5, "zipfs") == 0 &&
            commandLine.find('\0' + mountPoint + '\0') != std::string::npos)
            return true;
    }
    return false;
}

class ZipfsMountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = missingPrerequisite();
        if (!reason.empty()) GTEST_SKIP() << reason;
        m_strMountPoint = m_dir.file("mnt");
        m_strLog = m_dir.file("server.err");
        ASSERT_EQ(0, mkdir(m_strMountPoint.c_str(), 0755));
    }

    // Never leaves a mount behind (a lazy unmount if the plain one is refused); a server started by mount()
    // must then end with status 0: a sanitizer's report would end it otherwise.
    void TearDown() override {
        if (!m_strMountPoint.empty() && isMounted(m_strMountPoint)) {
            int status = 0;
            run("fusermount3 -u " + shellWord(m_strMountPoint), &status);
            if (status != 0) run("fusermount3 -uz " + shellWord(m_strMountPoint));
        }
        if (!m_bServing) return;
        const std::string status = m_dir.file("status");
        EXPECT_TRUE(eventually([&] { return access(status.c_str(), R_OK) == 0; }) && Testing::readFile(status) == "0\n")
            << "the server's end:\n"
            << Testing::readFile(m_strLog);
    }

    // `zipfs mount -f` in a shell of its own, its standard error (the log, unless `options` say otherwise) in
    // m_strLog: 0 once the mount is up, else the tool's exit status.
    int mount(const std::string& archive, const std::string& options = "") {
        const std::string status = m_dir.file("status");
        runCommand("( " + shellWord(toolPath()) + " mount -f " + options + " " + shellWord(archive) + " " +
                   shellWord(m_strMountPoint) + " 2>" + shellWord(m_strLog) + "; echo $? > " + shellWord(status) +
                   " ) >/dev/null 2>&1 &");
        eventually([&] { return isMounted(m_strMountPoint) || access(status.c_str(), R_OK) == 0; });
        m_bServing = isMounted(m_strMountPoint);
        return m_bServing ? 0 : std::stoi("0" + Testing::readFile(status));
    }

    // Runs `script` (a shell script, Python's zipfile within reach) in the scratch directory; false when it fails.
    bool make(const std::string& script) {
        int status = 0;
        const std::string output = run("cd " + shellWord(m_dir.path()) + " && " + script, &status);
        EXPECT_EQ(0, status) << output;
        return status == 0;
    }

    // How many lines of the log hold `text`.
    int logged(const std::string& text) {
        std::istringstream log(Testing::readFile(m_strLog));
        int count = 0;
        for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    Testing::TempDir m_dir;  // first declared, last destroyed: it is removed only after the unmount
    std::string m_strMountPoint;
    std::string m_strLog;
    bool m_bServing = false;  // mount() started a server
};

// Members as stored (modes, a link, a time in UTC, a name made relative), each refusal and each damaged member
// failing, and every member left out or refused named once in the log however often it is tried.
TEST_F(ZipfsMountTest, ShowsWhatTheArchiveSaysAndFailsRatherThanGiveWrongBytes) {
    ASSERT_TRUE(make(
        "mkdir src && cd src && printf '#!/bin/sh\\necho hi\\n' > run.sh && printf 'mine\\n' > private.txt && "
        "printf 'secret\\n' > enc.txt && ln -s run.sh link && chmod 755 run.sh && chmod 600 private.txt && "
        "chmod 644 enc.txt && touch -h -d @1700000000 run.sh link && "
        "zip -q -P pw ../a.zip enc.txt && zip -q -y ../a.zip run.sh private.txt link && cd .. && python3 - <<'EOF'\n"
        "import zipfile\n"
        "z = zipfile.ZipFile('a.zip', 'a')\n"
        "def add(name, data, method=zipfile.ZIP_STORED):\n"
        "    info = zipfile.ZipInfo(name); info.compress_type = method; info.external_attr = 0o100644 << 16\n"
        "    z.writestr(info, data)\n"
        "for name in ('/abs.txt', '../x', 'nul?name', 'run.sh'): add(name, b'absolute\\n')\n"
        "add('bz.txt', b'b' * 100, zipfile.ZIP_BZIP2)\n"
        "add('bad.txt', b'FLIP' + b'.' * 300000)\n"
        "add('bad2.txt', b'FLOP' + b'.' * 300000)\n"
        "z.close()\n"
        "d = bytearray(open('a.zip', 'rb').read())\n"
        "for marker in (b'FLIP', b'FLOP'): d[d.find(marker)] ^= 1\n"
        "open('a.zip', 'wb').write(d.replace(b'nul?name', b'nul\\0name'))\n"
        "EOF"));
    ASSERT_EQ(0, mount(m_dir.file("a.zip")));
    const struct {
        const char* command;
        int status;
        const char* output;
    } rows[] = {
        {"stat -c '%A %s %Y %N' run.sh link", 0,
         "-rwxr-xr-x 18 1700000000 'run.sh'\nlrwxrwxrwx 6 1700000000 'link' -> 'run.sh'\n"},
        {"stat -c '%A %s %N' private.txt enc.txt abs.txt", 0,
         "-rw------- 5 'private.txt'\n-rw-r--r-- 7 'enc.txt'\n-rw-r--r-- 9 'abs.txt'\n"},
        {"ls -A", 0, "abs.txt\nbad.txt\nbad2.txt\nbz.txt\nenc.txt\nlink\nprivate.txt\nrun.sh\n"},
        {"cat link abs.txt && ./run.sh", 0, "#!/bin/sh\necho hi\nabsolute\nhi\n"},
        {"cat enc.txt", 1, "cat: enc.txt: Permission denied\n"},
        {"cat enc.txt", 1, "cat: enc.txt: Permission denied\n"},
        {"cat bz.txt", 1, "cat: bz.txt: Operation not supported\n"},
        {"cat bad.txt >/dev/null", 1, "cat: bad.txt: Input/output error\n"},
        // Only the last bytes, never the ones before: the stored member is checked by a whole read of its own.
        {"dd if=bad2.txt bs=4 skip=75000 status=none", 1, "dd: error reading 'bad2.txt': Input/output error\n"},
        {"head -c 4 bad2.txt", 0, "GLOP"},
    };
    for (const auto& row : rows) {
        int status = 0;
        const std::string output = run("cd " + shellWord(m_strMountPoint) + " && " + row.command, &status);
        EXPECT_EQ(row.status, status) << row.command;
        EXPECT_EQ(row.output, output) << row.command;
    }
    for (const char* line : {"'../x' (member 6) not shown: a '..' in its name", "'nul\\x00name' (member 7) not shown",
                             "'run.sh' (member 8) not shown: an earlier member has the same path",
                             "'enc.txt': encrypted members are not supported; open refused",
                             "'bz.txt': compression method bzip2 is not supported; open refused",
                             "'bad.txt': read failed: CRC mismatch", "'bad2.txt': read failed: CRC mismatch"})
        EXPECT_EQ(1, logged(line)) << line << " in:\n" << Testing::readFile(m_strLog);
}

// Four processes at once, two on one member, read at random offsets or in sequence (half of them past the
// kernel's cache, so that the mount sees their very offsets and sizes) in members of an archive that zziplib
// refuses (zip64, more than 65,535 members in one directory, under names of mixed lengths: its listing takes
// several replies), with a restart-point budget of about one point, so that points are evicted and made again;
// every byte is compared with Python's.
TEST_F(ZipfsMountTest, RandomReadsFromSeveralProcessesAtOnce) {
    ASSERT_TRUE(
        make("python3 - <<'EOF'\n"
             "import random, zipfile\n"
             "rng = random.Random(5)\n"
             "words = [bytes(rng.choices(b'etaoinshrd', k=rng.randint(2, 9))) for _ in range(500)]\n"
             "text = lambda n: b' '.join(rng.choices(words, k=n))\n"
             "with zipfile.ZipFile('many.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
             "    z.writestr('big.txt', text(600000)); z.writestr('big2.txt', text(300000))\n"
             "    z.writestr(zipfile.ZipInfo('stored.bin'), rng.randbytes(1 << 20))\n"
             "    for i in range(65600): z.writestr('many/%d%s' % (i, 'x' * (i * 7 % 13)), b'')\n"
             "EOF\n"
             "cat > reads.py <<'EOF'\n"
             "import os, random, sys, zipfile\n"
             "mnt, member, seed, direct = sys.argv[1:]\n"
             "data = zipfile.ZipFile('many.zip').read(member)\n"
             "fd = os.open(os.path.join(mnt, member), os.O_RDONLY | (os.O_DIRECT if direct == '1' else 0))\n"
             "rng = random.Random(int(seed))\n"
             "end = 0  # seed 0: in sequence, in pieces of every size\n"
             "for _ in range(400):\n"
             "    n = rng.choice([1, 4095, 65536, 300000])\n"
             "    offset = rng.randrange(len(data) + 2) if seed != '0' else end % (len(data) + 1)\n"
             "    if os.pread(fd, n, offset) != data[offset:offset + n]: sys.exit('%s: wrong bytes at %d' % (member, "
             "offset))\n"
             "    end = offset + n\n"
             "EOF"));
    ASSERT_EQ(0, mount(m_dir.file("many.zip"), "-o restart_budget=64K,logfile=" + shellWord(m_dir.file("log"))));
    int status = 0;
    const std::string output =
        run("cd " + shellWord(m_dir.path()) + " && for args in 'big.txt 1 0' 'big.txt 2 1' 'big2.txt 0 1' " +
                "'stored.bin 4 0'; do python3 reads.py mnt $args & done; failed=0; for job in $(jobs -p); do " +
                "wait $job || failed=1; done; ls mnt/many | wc -l; exit $failed",
            &status);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ("65600\n", output);
    EXPECT_EQ("", Testing::readFile(m_dir.file("log")) + Testing::readFile(m_strLog));
}

// A plain archive in the background and its scrambled twin in the foreground show what unzip extracts,
// with sizes and times; each server ends when its mount is unmounted.
TEST_F(ZipfsMountTest, PlainAndScrambledArchivesShowWhatUnzipExtracts) {
    ZipBuilder builder;  // docs/img, src/deep and src/deep/nested are implied by the names
    builder.addDirectory("docs/")
        .add("docs/readme.txt", Testing::makeContent(5000, 1), ZipBuilder::kDeflated)
        .add("docs/img/pixels.bin", Testing::makeContent(70000, 2, false))
        .add("src/deep/nested/code.c", Testing::makeContent(200000, 3), ZipBuilder::kDeflated)
        .add("top.txt", "top level\n")
        .add("empty.txt", "");
    std::string bytes = builder.build();
    const std::string plain = m_dir.write("sample.zip", bytes);
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
    const std::string scrambled = m_dir.write("sample.scr", bytes);
    const std::string extracted = m_dir.file("unzipped");
    ASSERT_TRUE(make("unzip -q sample.zip -d unzipped"));
    for (const bool bScrambled : {false, true}) {
        SCOPED_TRACE(bScrambled ? "scrambled, foreground" : "plain, background");
        int status = 0;
        if (bScrambled)
            ASSERT_EQ(0, mount(scrambled));
        else
            ASSERT_EQ("", run(shellWord(toolPath()) + " mount " + shellWord(plain) + " " + shellWord(m_strMountPoint)));
        EXPECT_EQ("", run("diff -r " + shellWord(extracted) + " " + shellWord(m_strMountPoint), &status));
        const auto sizesAndTimes = [](const std::string& directory) {
            return run("cd " + shellWord(directory) + " && stat -c '%n %s %Y' docs/img/pixels.bin top.txt empty.txt");
        };
        EXPECT_EQ(sizesAndTimes(extracted), sizesAndTimes(m_strMountPoint));
        EXPECT_EQ("drwxr-xr-x 2\n", run("stat -c '%A %h' " + shellWord(m_strMountPoint + "/src/deep/nested")));
        EXPECT_TRUE(isServing(m_strMountPoint));
        EXPECT_EQ("", run("fusermount3 -u " + shellWord(m_strMountPoint), &status));
        EXPECT_TRUE(eventually([this] { return !isServing(m_strMountPoint); })) << "the server did not exit";
    }
}

TEST_F(ZipfsMountTest, RefusesEveryChange) {
    ASSERT_EQ(0, mount(m_dir.write("one.zip", ZipBuilder().addDirectory("docs/").add("top.txt", "top\n").build())));
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
    EXPECT_EQ("top\n", Testing::readFile(top));
}

// Bad archives get the words `ls` gives them; bad options and mount points are usage errors, and nothing is
// mounted over a non-empty directory or a mount of ours unless -o nonempty says so.
TEST_F(ZipfsMountTest, RefusesWhatItCannotMount) {
    const std::string archive = m_dir.write("one.zip", ZipBuilder().add("a.txt", "a\n").build());
    const std::string notArchive = m_dir.write("not.zip", "plain text, no ZIP records");
    const std::string file = m_dir.write("a-file", "x");
    const std::string lsWords = run(shellWord(toolPath()) + " ls " + shellWord(notArchive));
    const struct {
        std::string before, options, archive, mountPoint;
        int status;
        std::string output;
    } rows[] = {
        {"", "", notArchive, m_strMountPoint, 3, "zipfs: mount: " + lsWords.substr(lsWords.find(": ls: ") + 6)},
        {"", "-o no_such_fuse_option", archive, m_strMountPoint, 2,
         "fuse: unknown option(s): `-o no_such_fuse_option'\n"},
        {"", "-o restart_budget=G", archive, m_strMountPoint, 2,
         "zipfs: mount: bad size in 'restart_budget=G' (a number of bytes, or with K, M or G: 64M)\n"},
        {"", "", archive, file, 2, "zipfs: mount: cannot mount at '" + file + "': Not a directory\n"},
        {"", "", archive, m_dir.file("missing"), 2,
         "zipfs: mount: cannot mount at '" + m_dir.file("missing") + "': No such file or directory\n"},
        {"touch " + shellWord(m_strMountPoint + "/x"), "", archive, m_strMountPoint, 2,
         "zipfs: mount: cannot mount at '" + m_strMountPoint +
             "': the directory is not empty (give -o nonempty to mount over it)\n"},
        {"", "-o nonempty", archive, m_strMountPoint, 0, ""},
        {"", "", archive, m_strMountPoint, 2,
         "zipfs: mount: cannot mount at '" + m_strMountPoint +
             "': it is a mount point of fuse.zipfs already (unmount it with fusermount3 -u, or give -o nonempty)\n"},
    };
    for (const auto& row : rows) {
        if (!row.before.empty()) run(row.before);
        int status = 0;
        const std::string output = run(shellWord(toolPath()) + " mount " + row.options + " " + shellWord(row.archive) +
                                           " " + shellWord(row.mountPoint),
                                       &status);
        EXPECT_EQ(row.status, status) << row.options << " " << row.mountPoint;
        EXPECT_EQ(row.output, output) << row.options << " " << row.mountPoint;
    }
    EXPECT_EQ("a\n", Testing::readFile(m_strMountPoint + "/a.txt"));  // the one that went over x
}

}  // namespace
}  // namespace Tamsor
