// `zipfs mount` for real: one archive, made once for the suite by Info-ZIP zip (-y links, -P encryption) and
// Python's zipfile (bzip2, damaged members, odd names, local headers that tell another story than the central
// directory, a tree unzip extracts, large members, and more than 65,535 members in one directory, so zziplib
// refuses it and its listing takes several replies), mounted in the foreground through FUSE by the built tool
// with a restart-point budget of about one point and a log file, and read by ordinary programs; a small
// scrambled one is mounted in the background. Skipped where this machine cannot mount (no /dev/fuse, no
// fusermount3) or a tool is missing. Archives of every kind of member, and two archives at once, are mounted
// with each set of options in turn. The tool is $ZIPFS_BIN, or tools/zipfs beside this test's directory in
// the build tree. Nothing stays mounted, whatever happens.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include "TempDir.h"
#include "ZipBuilder.h"

namespace Tamsor {
namespace {

using Testing::readFile;
using Testing::runCommand;

std::string toolPath() {
    const char* pFromEnvironment = getenv("ZIPFS_BIN");
    if (pFromEnvironment && *pFromEnvironment) return pFromEnvironment;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "tools" / "zipfs").string();
}

// Polls `condition` for up to ten seconds: mounting and unmounting finish in another process.
bool eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 200 && !condition(); ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return condition();
}

// Standard output and error of a shell command run in `directory`, and its status.
std::string run(const std::string& directory, const std::string& command, int* pStatus = nullptr) {
    return runCommand("cd '" + directory + "' && { " + command + "\n} 2>&1", pStatus);
}

bool isMounted(const std::string& directory) {
    return run("/", "mountpoint -q '" + directory + "' && echo yes") == "yes\n";
}

class ZipfsMountTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        int status = 0;
        run("/",
            "test -r /dev/fuse -a -w /dev/fuse -a -x '" + toolPath() + "' && for c in fusermount3 unzip zip " +
                "python3 mountpoint pgrep; do command -v $c >/dev/null || exit 1; done",
            &status);
        if (status != 0) s_strSkip = "no usable /dev/fuse, fusermount3, unzip, zip, python3, mountpoint or pgrep";
        if (!s_strSkip.empty()) return;
        s_pDir = new Testing::TempDir;
        const std::string made = run(
            s_pDir->path(),
            "mkdir mnt src && cd src && printf '#!/bin/sh\\necho hi\\n' > run.sh && printf 'mine\\n' > private.txt && "
            "printf 'secret\\n' > enc.txt && ln -s run.sh link && chmod 755 run.sh && chmod 600 private.txt && "
            "chmod 644 enc.txt && touch -h -d @1700000000 run.sh link && zip -q -P pw ../a.zip enc.txt && "
            "zip -q -y ../a.zip run.sh private.txt link && cd .. && python3 - <<'EOF' && unzip -q a.zip 'docs/*' "
            "'src/*' top.txt empty.txt -d unzipped\n"
            "import random, zipfile\n"
            "rng = random.Random(5)\n"
            "words = [bytes(rng.choices(b'etaoinshrd', k=rng.randint(2, 9))) for _ in range(500)]\n"
            "text = lambda n: b' '.join(rng.choices(words, k=n))\n"
            "z = zipfile.ZipFile('a.zip', 'a')\n"
            "def add(name, data, method=zipfile.ZIP_STORED):\n"
            "    info = zipfile.ZipInfo(name); info.compress_type = method; info.external_attr = 0o100644 << 16\n"
            "    z.writestr(info, data)\n"
            "add('big.txt', text(600000), zipfile.ZIP_DEFLATED); add('big2.txt', text(300000), zipfile.ZIP_DEFLATED)\n"
            "add('stored.bin', rng.randbytes(1 << 20))\n"
            "for name in ('/abs.txt', '../x', 'nul?name', 'run.sh'): add(name, b'absolute\\n')\n"
            "add('bz.txt', b'bzip2\\n' * 2, zipfile.ZIP_BZIP2); add('pp.txt', b'p' * 10); pp = "
            "z.filelist[-1].header_offset\n"
            "add('bad.txt', b'FLIP' + b'.' * 300000); add('bad2.txt', b'FLOP' + b'.' * 300000)\n"
            "add('docs/readme.txt', text(1000), zipfile.ZIP_DEFLATED); add('docs/img/pixels.bin', "
            "rng.randbytes(7000))\n"
            "add('src/deep/nested/code.c', text(40000), zipfile.ZIP_DEFLATED)\n"
            "add('top.txt', b'top level\\n'); add('empty.txt', b'')\n"
            "add('../evil.sh', b'echo evil\\n'); z.filelist[-1].filename = 'notes.txt'  # the local header's name\n"
            "add('packed.txt', text(100), zipfile.ZIP_DEFLATED); packed = z.filelist[-1].header_offset\n"
            "for i in range(65600): add('many/%d%s' % (i, 'x' * (i * 7 % 13)), b'')\n"
            "for i in range(20): add('parts/%d' % i, text(30 + 5 * i), zipfile.ZIP_DEFLATED)\n"
            "for i in range(8): add('seq/%d' % i, b'SEQ%d ' % i + text(20 + i), 8 if i != 3 else 0)\n"
            "z.close()\n"
            "d = bytearray(open('a.zip', 'rb').read())\n"
            "for marker in (b'FLIP', b'FLOP', b'SEQ3 '): d[d.find(marker)] ^= 1\n"
            "d[packed + 8] = 0  # the local header says stored\n"
            "d[pp + 8] = d[d.rfind(b'pp.txt') - 36] = 98  # PPMd, which no decoder here reads\n"
            "open('a.zip', 'wb').write(d.replace(b'nul?name', b'nul\\0name'))\n"
            "EOF",
            &status);
        // In the foreground, its standard error in server.err and its exit status, once it ends, in status.
        s_strMountPoint = file("mnt");
        run(s_pDir->path(), "( " + quoted(toolPath()) + " mount -f -o restart_budget=64K,logfile=log a.zip mnt " +
                                "2>server.err; echo $? >status ) >/dev/null 2>&1 &");
        eventually([] { return isMounted(s_strMountPoint) || access(file("status").c_str(), R_OK) == 0; });
        s_bServing = isMounted(s_strMountPoint);
        if (!s_bServing) s_strFailure = "cannot mount:\n" + made + readFile(file("server.err"));
    }

    // The foreground server must end with status 0 once unmounted: a sanitizer's report would end it otherwise.
    static void TearDownTestSuite() {
        if (!s_pDir) return;
        // Whatever is still mounted, however often (lazily where the plain way is refused); "missing" is mounted only
        // when a missing mount point is made despite --no-mkdir.
        run(s_pDir->path(),
            "for d in mnt busy empty kinds made missing helper mnt busy empty kinds; do "
            "! mountpoint -q $d || fusermount3 -u $d || fusermount3 -uz $d; done");
        const std::string status = file("status");
        EXPECT_TRUE(!s_bServing ||
                    (eventually([&] { return access(status.c_str(), R_OK) == 0; }) && readFile(status) == "0\n"))
            << "the server's end:\n"
            << readFile(file("server.err"));
        delete s_pDir;
    }

    void SetUp() override {
        if (!s_strSkip.empty()) GTEST_SKIP() << s_strSkip;
        ASSERT_EQ("", s_strFailure);
    }

    static std::string quoted(const std::string& text) { return "'" + text + "'"; }  // paths here hold no quote
    static std::string file(const std::string& name) { return s_pDir->file(name); }

    // How often `part` occurs in `text`.
    static int count(const std::string& text, const std::string& part) {
        int found = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
        return found;
    }

    static Testing::TempDir* s_pDir;
    static std::string s_strSkip, s_strFailure, s_strMountPoint;
    static bool s_bServing;
};

Testing::TempDir* ZipfsMountTest::s_pDir = nullptr;
std::string ZipfsMountTest::s_strSkip, ZipfsMountTest::s_strFailure, ZipfsMountTest::s_strMountPoint;
bool ZipfsMountTest::s_bServing = false;

// Members as stored (modes, a link, a time in UTC, a name made relative, what unzip extracts), each refusal
// and each damaged member failing with its errno, every change refused, and every member left out or
// refused named once in the log file however often it is tried.
TEST_F(ZipfsMountTest, ShowsWhatTheArchiveSaysAndFailsRatherThanGiveWrongBytes) {
    const struct {
        const char* command;
        int status;
        const char* output;
    } rows[] = {
        {"stat -c '%A %s %Y %N' run.sh link", 0,
         "-rwxr-xr-x 18 1700000000 'run.sh'\nlrwxrwxrwx 6 1700000000 'link' -> 'run.sh'\n"},
        {"stat -c '%A %s %h %N' private.txt enc.txt abs.txt src/deep/nested", 0,
         "-rw------- 5 1 'private.txt'\n-rw-r--r-- 7 1 'enc.txt'\n-rw-r--r-- 9 1 'abs.txt'\ndrwxr-xr-x 0 2 "
         "'src/deep/nested'\n"},
        {"LC_ALL=C ls -A", 0,
         "abs.txt\nbad.txt\nbad2.txt\nbig.txt\nbig2.txt\nbz.txt\ndocs\nempty.txt\nenc.txt\nlink\nmany\nnotes.txt\n"
         "nul\npacked.txt\nparts\npp.txt\nprivate.txt\nrun (1).sh\nrun.sh\nseq\nsrc\nstored.bin\ntop.txt\nx\n"},
        {"cat x nul 'run (1).sh'", 0, "absolute\nabsolute\nabsolute\n"},
        {"cat link abs.txt && ./run.sh", 0, "#!/bin/sh\necho hi\nabsolute\nhi\n"},
        {"diff -r ../unzipped/docs docs && diff -r ../unzipped/src src && cmp ../unzipped/top.txt top.txt", 0, ""},
        {"cat enc.txt", 1, "cat: enc.txt: Permission denied\n"},
        {"cat enc.txt", 1, "cat: enc.txt: Permission denied\n"},
        // Once a member has been opened, the kernel opens files by itself: a refusal comes with the first read.
        {"python3 -c \"import os\nfd = os.open('enc.txt', os.O_RDONLY); print('opened')\ntry: os.read(fd, 9)\n"
         "except OSError as e: print(e.strerror)\"",
         0, "opened\nPermission denied\n"},
        {"cat bz.txt pp.txt", 1, "bzip2\nbzip2\ncat: pp.txt: Operation not supported\n"},
        {"cat bad.txt >/dev/null", 1, "cat: bad.txt: Input/output error\n"},
        {"cat notes.txt packed.txt; cat notes.txt packed.txt", 1,
         "cat: notes.txt: Input/output error\ncat: packed.txt: Input/output error\ncat: notes.txt: Input/output "
         "error\ncat: packed.txt: Input/output error\n"},
        // Only the last bytes, never the ones before: the stored member is checked by a whole read of its own.
        {"dd if=bad2.txt bs=4 skip=75000 status=none", 1, "dd: error reading 'bad2.txt': Input/output error\n"},
        {"head -c 4 bad2.txt", 0, "GLOP"},
        {"python3 -c \"import errno, os\nfor change in (lambda: open('top.txt', 'w'), lambda: open('new', 'x'), "
         "lambda: os.mkdir('docs/new'), lambda: os.remove('top.txt'), lambda: os.rename('top.txt', 'moved')):\n"
         "    try: change(); print('changed')\n    except OSError as e: print(errno.errorcode[e.errno])\"",
         0, "EROFS\nEROFS\nEROFS\nEROFS\nEROFS\n"},
    };
    for (const auto& row : rows) {
        int status = 0;
        EXPECT_EQ(row.output, run(s_strMountPoint, row.command, &status)) << row.command;
        EXPECT_EQ(row.status, status) << row.command;
    }
    const std::string sizesAndTimes = "stat -c '%n %s %Y' docs/img/pixels.bin top.txt empty.txt";
    EXPECT_EQ(run(file("unzipped"), sizesAndTimes), run(s_strMountPoint, sizesAndTimes));
    const std::string log = readFile(file("log"));
    for (const char* line :
         {"'nul\\x00name' (member 10) shown as if its name ended at its NUL byte",
          "'run.sh' (member 11) shown as 'run (1).sh': an earlier member holds its name",
          "'enc.txt': it is encrypted and no password was given: see --password-file; refused",
          "'pp.txt': compression method ppmd is not supported; refused", "'bad.txt': read failed: CRC mismatch",
          "'bad2.txt': read failed: CRC mismatch", "'notes.txt': its local header names another file; refused",
          "'packed.txt': its local header disagrees with the central directory; refused"})
        EXPECT_EQ(1, count(log, line)) << line << " in:\n" << log;
}

// Four processes at once, two on one member, read at random offsets or in sequence (half of them past the
// kernel's cache, so that the mount sees their very offsets and sizes), with restart points evicted and made
// again; every byte is compared with Python's. The listing of 65,600 names takes several replies. Then twenty
// members read in small pieces, in turn, by two threads in opposite orders: more than the mount keeps a
// decoder for, so that each piece goes on from a member whose stream was dropped or is busy in the other.
TEST_F(ZipfsMountTest, RandomReadsFromSeveralProcessesAtOnce) {
    s_pDir->write(
        "reads.py",
        "import os, random, sys, zipfile; mnt, member, seed, direct = sys.argv[1:]\n"
        "data, rng, end = zipfile.ZipFile('a.zip').read(member), random.Random(int(seed)), 0\n"
        "fd = os.open(os.path.join(mnt, member), os.O_RDONLY | (os.O_DIRECT if direct == '1' else 0))\n"
        "for _ in range(400):  # seed 0: in sequence, in pieces of every size\n"
        "    n, offset = rng.choice([1, 4095, 65536, 300000]), rng.randrange(len(data) + 2)\n"
        "    offset = offset if seed != '0' else end % (len(data) + 1); end = offset + n\n"
        "    if os.pread(fd, n, offset) != data[offset:end]: sys.exit('%s: wrong at %d' % (member, offset))\n");
    int status = 0;
    const std::string output =
        run(s_pDir->path(),
            "for args in 'big.txt 1 0' 'big.txt 2 1' 'big2.txt 0 1' 'stored.bin 4 0'; do python3 reads.py mnt $args & "
            "done; failed=0; for job in $(jobs -p); do wait $job || failed=1; done; ls mnt/many | wc -l; exit $failed",
            &status);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ("65600\n", output);
    s_pDir->write("parts.py",
                  "import os, threading, zipfile\n"
                  "names = ['parts/%d' % i for i in range(20)]\n"
                  "data, wrong = {n: zipfile.ZipFile('a.zip').read(n) for n in names}, []\n"
                  "def walk(order, step):\n"
                  "    fds, got = [os.open('mnt/' + n, os.O_RDONLY | os.O_DIRECT) for n in order], [b''] * 20\n"
                  "    while any(len(got[i]) < len(data[n]) for i, n in enumerate(order)):\n"
                  "        for i in range(20): got[i] += os.pread(fds[i], step, len(got[i]))\n"
                  "    wrong.extend(n for i, n in enumerate(order) if got[i] != data[n])\n"
                  "walks = [threading.Thread(target=walk, args=a) for a in ((names, 7), (names[::-1], 11))]\n"
                  "for w in walks: w.start()\n"
                  "for w in walks: w.join()\n"
                  "print(sum(map(len, data.values())) > 20 * 100, sorted(wrong))\n");
    EXPECT_EQ("True []\n", run(s_pDir->path(), "python3 parts.py 2>&1"));
    const std::string log = readFile(file("log"));
    EXPECT_EQ(0, count(log, "big") + count(log, "stored.bin") + count(log, "parts/")) << log;
}

// Two small members read whole in a directory's order: the next few are read ahead into the kernel's cache
// (fincore sees their pages before any program reads them) with their own bytes, all but the damaged one,
// which fails its read as before; the member after the window is not read ahead.
TEST_F(ZipfsMountTest, ReadsTheNextFilesOfADirectoryReadInOrder) {
    const std::string resident = "fincore -n -o PAGES seq/2 seq/3 seq/4 seq/5 seq/6 | awk '{printf \"%s \", $1}'";
    EXPECT_EQ("0 0 0 0 0 ", run(s_strMountPoint, "stat seq/* >/dev/null && " + resident));
    EXPECT_EQ("1 0 1 1 0 ", run(s_strMountPoint,
                                "cat seq/0 seq/1 >/dev/null && for i in $(seq 100); do "
                                "[ \"$(" +
                                    resident +
                                    ")\" = '1 0 1 1 0 ' ] && break; sleep 0.05; "
                                    "done; " +
                                    resident));
    EXPECT_EQ(run(s_pDir->path(),
                  "python3 -c \"import sys, zipfile; z = zipfile.ZipFile('a.zip')\n"
                  "for i in (2, 4, 5): sys.stdout.buffer.write(z.read('seq/%d' % i))\" | cksum"),
              run(s_strMountPoint, "cat seq/2 seq/4 seq/5 | cksum"));
    int status = 0;
    EXPECT_EQ("cat: seq/3: Input/output error\n", run(s_strMountPoint, "cat seq/3 2>&1 >/dev/null", &status));
    EXPECT_EQ(1, status);
}

// Bad archives get the words `ls` gives them; bad options and mount points are usage errors, and nothing is
// mounted over a non-empty directory or a mount of ours unless -o nonempty says so. The scrambled archive
// that goes over the non-empty directory is served in the background until it is unmounted.
TEST_F(ZipfsMountTest, RefusesWhatItCannotMountAndServesInTheBackground) {
    s_pDir->write("one.zip", Testing::ZipBuilder().add("top.txt", "top level\n").build());
    s_pDir->write("not.zip", "plain text, no ZIP records");
    const std::string zipfs = quoted(toolPath()) + " ";
    ASSERT_EQ("", run(s_pDir->path(),
                      "mkdir empty busy && touch busy/x && " + zipfs + "scramble one.zip one.scr && " +
                          "printf 'pw\\n' >pw && printf 'no\\n' >no && cd src && zip -q -P pw ../enc.zip enc.txt"));
    const std::string lsWords = run(s_pDir->path(), zipfs + "ls not.zip");
    const std::string at = "zipfs: mount: cannot mount at ";
    const struct {
        std::string args;
        int status;
        std::string output;
    } rows[] = {
        {"not.zip empty", 3, "zipfs: mount: " + lsWords.substr(lsWords.find(": ls: ") + 6)},
        {"-o no_such_fuse_option one.zip empty", 2, "fuse: unknown option(s): `-o no_such_fuse_option'\n"},
        {"-o fmask=9 one.zip empty", 2, "zipfs: mount: bad mask in 'fmask=9' (permission bits in octal: 022)\n"},
        {"-o restart_budget=G one.zip empty", 2,
         "zipfs: mount: bad size in 'restart_budget=G' (a number of bytes, or with K, M or G: 64M)\n"},
        {"one.zip one.zip", 2, at + "'one.zip': Not a directory\n"},
        {"--no-mkdir one.zip missing", 2, at + "'missing': No such file or directory\n"},
        {"one.zip nodir/such", 2, at + "'nodir/such': cannot create it: No such file or directory\n"},
        {"one.zip busy", 2, at + "'busy': the directory is not empty (give -o nonempty to mount over it)\n"},
        {"one.zip mnt", 2,
         at + "'mnt': it is a mount point of fuse.zipfs already (unmount it with fusermount3 -u, or give -o "
              "nonempty)\n"},
        {"--password-file no enc.zip empty", 5,
         "zipfs: mount: the password opens none of the encrypted members of 'enc.zip'\n"},
        {"-o nonempty one.scr busy", 0, ""},
        {"--password-file pw enc.zip empty", 0, ""},
        {"one.zip made", 0, ""},  // made, and removed after the unmount
    };
    for (const auto& row : rows) {
        int status = 0;
        EXPECT_EQ(row.output, run(s_pDir->path(), zipfs + "mount " + row.args, &status)) << row.args;
        EXPECT_EQ(row.status, status) << row.args;
    }
    EXPECT_EQ("top level\n", readFile(file("busy/top.txt")));
    EXPECT_EQ("secret\n", readFile(file("empty/enc.txt")));
    EXPECT_EQ("", run("/", "fusermount3 -u " + quoted(file("empty"))));
    EXPECT_EQ("top level\n", readFile(file("made/top.txt")));
    EXPECT_EQ("", run("/", "fusermount3 -u " + quoted(file("made"))));
    EXPECT_TRUE(eventually([&] { return access(file("made").c_str(), F_OK) != 0; })) << "made/ is still there";
    const std::string serving = "pgrep -f 'mount -o nonempty one.scr busy$'";
    EXPECT_NE("", run("/", serving));
    EXPECT_EQ("", run("/", "fusermount3 -u " + quoted(file("busy"))));
    EXPECT_TRUE(eventually([&] { return run("/", serving).empty(); })) << "the server did not exit";
}

// Each kind of member as itself, a file and a directory of one name both reachable, and what the options
// leave out or mask; each row a mount of its own.
TEST_F(ZipfsMountTest, ShowsEachKindAsItselfAsTheOptionsSay) {
    Testing::ZipBuilder kinds;
    // PKWARE's Unix field (owner 7/8, then a link name or a device's numbers) and an NTFS time to 100 ns.
    const auto field = [](std::uint16_t tag, const std::string& body) {
        return Testing::le16(tag) + Testing::le16(static_cast<std::uint16_t>(body.size())) + body;
    };
    const auto unixField = [&](const std::string& data) {
        return field(0x000d, Testing::le32(0) + Testing::le32(1600000000) + Testing::le16(7) + Testing::le16(8) + data);
    };
    const std::uint64_t ntfsTime = (1700000000ull + 11644473600ull) * 10000000ull + 1234567;
    const std::string ntfs =
        field(0x000a, Testing::le32(0) + Testing::le16(1) + Testing::le16(24) + Testing::le64(ntfsTime) +
                          Testing::le64(ntfsTime) + Testing::le64(ntfsTime));
    const std::pair<const char*, std::uint32_t> members[] = {{"dir/", 040750},      {"dir/file.txt", 0100640},
                                                             {"dir/link", 0120777}, {"pet/cat", 0100644},
                                                             {"pet/cat/", 040755},  {"pet/cat/kitten", 0100600}};
    for (const auto& member : members) {
        const std::string name = member.first;
        kinds.add(name, name == "dir/link" ? "file.txt" : name.back() == '/' ? "" : name + "\n");
        kinds.last().unixMode = member.second;
        if (name == "dir/file.txt") kinds.last().extra = ntfs;
    }
    const std::tuple<const char*, std::uint32_t, std::string> specials[] = {
        {"fifo", 010644, ""},
        {"sock", 0140755, ""},
        {"dev", 020640, unixField(Testing::le32(1) + Testing::le32(3))},
        {"hard", 0100644, unixField("dir/file.txt")},
        {"gone", 0100644, unixField("lost/x")}};
    for (const auto& special : specials) {
        kinds.add(std::get<0>(special), "").last().unixMode = std::get<1>(special);
        kinds.last().extra = std::get<2>(special);
    }
    s_pDir->write("kinds.zip", kinds.build());
    s_pDir->write("two.zip", Testing::ZipBuilder().add("dir/file.txt", "two\n").add("dir/other.txt", "o\n").build());
    const std::string cat = "'pet/cat/' (member 5", taken = "an earlier member holds its name\n";
    const std::string one = "zipfs: mount: kinds.zip: " + cat + ") shown as 'pet/cat (1)': " + taken;
    const std::string both = "zipfs: mount: kinds.zip, two.zip: ";
    const struct {
        std::string args;
        std::string notes;
        const char* command;
        const char* output;
    } rows[] = {
        {"kinds.zip", one,
         "stat -c '%n %A %h' dir dir/file.txt dir/link pet 'pet/cat (1)' 'pet/cat (1)/kitten' && readlink "
         "dir/link && cat dir/link pet/cat 'pet/cat (1)/kitten'",
         "dir drwxr-x--- 2\ndir/file.txt -rw-r----- 2\ndir/link lrwxrwxrwx 1\npet drwxr-xr-x 3\npet/cat (1) "
         "drwxr-xr-x 2\npet/cat (1)/kitten -rw------- 1\nfile.txt\ndir/file.txt\npet/cat\npet/cat/kitten\n"},
        // A hard link is the inode of the member it names, or a link to where that member would be; a device's
        // numbers, the time's nanoseconds, and the mounting user as the owner.
        {"kinds.zip", one,
         "stat -c '%n %F %h' fifo sock dev hard dir/file.txt gone && stat -c '%t,%T' dev && [ $(stat -c %i hard) = "
         "$(stat -c %i dir/file.txt) ] && [ $(stat -c %u dev) = $(id -u) ] && readlink gone && cat hard && "
         "date -r dir/file.txt +%N",
         "fifo fifo 1\nsock socket 1\ndev character special file 1\nhard regular file 2\ndir/file.txt regular file "
         "2\ngone symbolic link 1\n1,3\nlost/x\ndir/file.txt\n123456700\n"},
        {"-o nosymlinks,nospecials,fmask=077,dmask=027 kinds.zip", one,
         "ls -A . dir pet; stat -c '%n %A' dir dir/file.txt pet; cat dir/link",
         ".:\ndir\nhard\npet\n\ndir:\nfile.txt\n\npet:\ncat\ncat (1)\ndir drwxr-x---\ndir/file.txt -rw-------\n"
         "pet drwxr-x---\ncat: dir/link: No such file or directory\n"},
        {"-o nohardlinks,owners kinds.zip", one,
         "stat -c '%n %h' hard dir/file.txt && stat -c %u/%g dev && [ $(stat -c %i hard) != $(stat -c %i "
         "dir/file.txt) ] && cat hard",
         "hard 1\ndir/file.txt 1\n7/8\ndir/file.txt\n"},
        // Two archives merged, and each in its own directory.
        {"kinds.zip two.zip",
         both + cat + " of kinds.zip) shown as 'pet/cat (1)': " + taken + both +
             "'dir/file.txt' (member 1 of two.zip) shown as 'dir/file (1).txt': " + taken,
         "LC_ALL=C ls dir && cat dir/file.txt 'dir/file (1).txt' dir/other.txt",
         "file (1).txt\nfile.txt\nlink\nother.txt\ndir/file.txt\ntwo\no\n"},
        {"-o subdirs kinds.zip two.zip", both + cat + " of kinds.zip) shown as 'kinds.zip/pet/cat (1)': " + taken,
         "ls . kinds.zip two.zip/dir",
         ".:\nkinds.zip\ntwo.zip\n\nkinds.zip:\ndev\ndir\nfifo\ngone\nhard\npet\nsock\n\ntwo.zip/"
         "dir:\nfile.txt\nother.txt\n"},
    };
    const std::string zipfs = quoted(toolPath()) + " mount ";
    for (const auto& row : rows) {
        ASSERT_EQ(row.notes, run(s_pDir->path(), "mkdir -p kinds && " + zipfs + row.args + " kinds"));
        EXPECT_EQ(row.output, run(file("kinds"), row.command)) << row.args;
        EXPECT_EQ("", run("/", "fusermount3 -u " + quoted(file("kinds"))));
    }
}

// mount(8) and /etc/fstab lines of type fuse.zipfs run mount.fuse3, which runs `zipfs ARCHIVE DIR -o OPTIONS`
// from the PATH (here a directory holding only a link to the tool) and takes its own options out.
TEST_F(ZipfsMountTest, MountsTheWayMountAndFstabDo) {
    if (run("/", "command -v mount.fuse3 || echo none") == "none\n") GTEST_SKIP() << "no mount.fuse3";
    s_pDir->write("two.zip", Testing::ZipBuilder().add("two.txt", "second\n").build());
    ASSERT_EQ("", run(s_pDir->path(), "mkdir -p bin helper && ln -sf " + quoted(toolPath()) + " bin/zipfs"));
    EXPECT_EQ("", run(s_pDir->path(),
                      std::string("PATH=\"$PWD/bin:$PATH\" mount.fuse3 \"$PWD/two.zip\" \"$PWD/helper\" -o ") +
                          "ro,nodev,nosuid,noauto,nofail,_netdev -t fuse.zipfs"));
    EXPECT_EQ("second\n", readFile(file("helper/two.txt")));
    EXPECT_EQ("fuse.zipfs\n", run("/", "findmnt -no FSTYPE " + quoted(file("helper"))));
    EXPECT_EQ("", run("/", "fusermount3 -u " + quoted(file("helper"))));
    EXPECT_EQ("zipfs: unknown command 'two.zip' (try 'zipfs --help')\n",
              run(s_pDir->path(), "bin/zipfs two.zip two.zip -o ro"));
}

}  // namespace
}  // namespace Tamsor
