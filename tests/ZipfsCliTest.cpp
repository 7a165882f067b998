// The zipfs tool, run as a separate process (in TZ=UTC) on one set of archives made once for the suite by
// Info-ZIP zip (a tree, -y links, -P encryption, in Tokyo's zone with and without the extended timestamp),
// Python's zipfile (every kind of name) and ZipBuilder (methods, duplicates, damage, escaping names, local headers
// that tell another story than the central directory, a zip bomb of overlapping members): listings
// agree with unzip's; every member is shown with its name, mode, method, time and refusal; bytes are the
// member's or none; escaping names and links are refused; errors have their exit statuses and one line. Cases
// are rows of (arguments, status, output, error). The tool is $ZIPFS_BIN, or tools/zipfs beside this test's
// directory in the build tree.

#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ZipFsFixture.h"
#include "support/ZipBomb.h"

namespace Tamsor {
namespace Testing {
namespace {

std::string zipfsBinary() {
    const char* pFromEnvironment = std::getenv("ZIPFS_BIN");
    if (pFromEnvironment && *pFromEnvironment) return pFromEnvironment;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "tools" / "zipfs").string();
}

// A run of zipfs in the scratch directory and what it must give, after `before` (a shell command) has run
// there. Standard output is compared with runs of spaces squeezed to one.
struct Row {
    Row(std::string a, int s, std::string o, std::string e = "", std::string b = "")
        : args(std::move(a)), status(s), out(std::move(o)), err(std::move(e)), before(std::move(b)) {}
    std::string args;
    int status;
    std::string out, err, before;
};

std::string squeezed(const std::string& text) {
    std::string result;
    for (const char c : text)
        if (c != ' ' || result.empty() || result.back() != ' ') result += c;
    return result;
}

const std::string kTime = "2023-11-14 22:13:20";
const std::string kNoPassword =
    "it is encrypted and no password was given: see --password-file";  // @1700000000 in UTC, 07:13:20 the next day in
                                                                       // Tokyo

// Why a member of the zip bomb is refused, `other` being the member it is found to overlap.
std::string bomb(const std::string& other) {
    return "its data overlaps that of member '" + other + "': a possible zip bomb";
}

class ZipfsCli : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (runCommand("test -x " + quote(zipfsBinary()) + " && command -v zip && command -v unzip").empty())
            s_strSkip = "no zipfs at " + zipfsBinary() + ", or no Info-ZIP zip and unzip";
        if (!s_strSkip.empty()) return;
        s_pDir = new TempDir;
        s_files = {{"top.txt", "the top file\n"},
                   {"docs/readme.txt", makeContent(5000, 1)},
                   {"docs/img/logo.bin", makeContent(3000, 2, false)},
                   {"src/deep/er/y.txt", "deep\n"},
                   {"big.bin", makeContent(1200000, 3, false)}};  // the archive passes 1 MiB: scrambling's pieces
        shell("mkdir -p tree/docs/img tree/src/deep/er meta/bin meta/docs in");
        for (const auto& file : s_files) s_pDir->write("tree/" + file.first, file.second);
        shell(
            "cd tree && zip -q ../tree.zip big.bin docs/img/logo.bin docs/readme.txt src/deep/er/y.txt top.txt && cd "
            "../meta && printf '#!/bin/sh\\necho run\\n' >bin/run.sh && "
            "printf 'secret\\n' >private.txt && printf 'readme\\n' >docs/readme.txt && cp bin/run.sh bin/suid && "
            "chmod 755 bin bin/run.sh docs && chmod 600 private.txt && chmod 4755 bin/suid && "
            "chmod 644 docs/readme.txt && ln -s bin/run.sh link && ln -s ../../etc/passwd docs/evil && "
            "touch -h -d @1700000000 * bin/* docs/* && TZ=UTC zip -q -0 -y ../sym.zip bin/ bin/run.sh bin/suid "
            "private.txt link docs/ docs/readme.txt docs/evil && TZ=UTC zip -q -0 -P secret ../enc.zip private.txt "
            "&& TZ=Asia/Tokyo zip -q -0 ../tokyo.zip private.txt && "
            "TZ=Asia/Tokyo zip -q -0 -X ../tokyo-dos.zip private.txt && cd .. && python3 - names.zip <<'EOF'\n"
            "import struct, sys, zipfile, zlib\n"
            "class Raw(zipfile.ZipInfo):  # the name's bytes as given, without the UTF-8 flag\n"
            "    def _encodeFilenameFlags(self): return self.raw, self.flag_bits\n"
            "def add(z, raw, data, extra=b''):\n"
            "    info = Raw(raw.decode('latin-1'), (2023, 11, 14, 22, 13, 20)); info.raw = raw; info.extra = extra\n"
            "    z.writestr(info, data)\n"
            "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
            "    add(z, b'\\x8e\\x99.txt', b'cp437\\n')\n"
            "    add(z, 'caf\\u00e9.txt'.encode(), b'utf8\\n')\n"
            "    u, stored = '\\u03a9mega/\\u65e5\\u672c\\u8a9e.txt'.encode(), b'_mega/___.txt'\n"
            "    add(z, stored, b'unicode\\n', struct.pack('<HHBI', 0x7075, 5 + len(u), 1, zlib.crc32(stored)) + u)\n"
            "    add(z, '\\u65e5\\u672c.txt'.encode('shift_jis'), b'sjis\\n')\n"
            "    z.writestr(zipfile.ZipInfo('flagged/\\u03a9.txt'), b'flagged\\n')\n"
            "EOF");
        // Each member's data is its number; the last one of the first archive is damaged.
        ZipBuilder odd, evil, twoFaced;
        const std::pair<std::string, std::uint16_t> oddMembers[] = {
            {"a.txt", 0},           {"b.ppmd", 98},  {"dup.txt", 0},
            {"dup.txt", 0},         {"aes.bin", 99}, {std::string("nul\0x", 5), 0},
            {"data/payload.txt", 0}};
        for (const auto& member : oddMembers)
            odd.add(member.first, "data " + std::to_string(&member - oddMembers), member.second);
        const std::string longName(300, 'l');
        for (const char* name :
             {"../up.txt", "/abs.txt", "safe/../../esc.txt", "win\\..\\bs.txt", "safe/one.txt", "dup.txt", "dup.txt",
              "pet/cat", "pet/cat/x.txt", longName.c_str(), "pet/", "pet/cat/y.txt"})
            evil.add(name, std::to_string(evil.members().size()));
        std::string damaged = odd.build();
        damaged[damaged.find("data 6")] ^= 0x01;
        s_pDir->write("odd.zip", damaged);
        s_pDir->write("evil.zip", evil.build());
        // A local header that names another file, and one that says stored where the directory says deflated.
        twoFaced.add("ok.txt", "fine\n").add("notes.txt", "echo evil\n").last().localName = "../evil.sh";
        std::string twoFacedBytes = twoFaced.add("packed.txt", makeContent(2000, 4), ZipBuilder::kDeflated).build();
        twoFacedBytes[twoFacedBytes.find("packed.txt") - 22] = 0;
        s_pDir->write("twofaced.zip", twoFacedBytes);
        s_pDir->write("bomb.zip", zipBomb(3, 1 << 20));
    }
    static void TearDownTestSuite() { delete s_pDir; }

    void SetUp() override {
        if (!s_strSkip.empty()) GTEST_SKIP() << s_strSkip;
        ASSERT_TRUE(s_pDir && s_bMade) << "the archives could not be made";
    }

    // Runs a shell command in the scratch directory, gives its output; a failure fails the test (and the set-up).
    static std::string shell(const std::string& command) {
        int status = -1;
        const std::string out = runCommand("cd " + quote(s_pDir->path()) + " && (" + command + "\n) 2>&1", &status);
        s_bMade = s_bMade && status == 0;
        EXPECT_EQ(0, status) << command << "\n" << out;
        return out;
    }

    // Runs zipfs in the scratch directory; one that hangs is killed after a minute (status 124).
    static Row zipfs(const std::string& args) {
        Row result(args, -1, "");
        result.out = runCommand(
            "cd " + quote(s_pDir->path()) + " && TZ=UTC timeout 60 " + quote(zipfsBinary()) + " " + args + " 2>err",
            &result.status);
        result.err = readFile(s_pDir->file("err"));
        return result;
    }

    static void checkRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            if (!row.before.empty()) shell(row.before);
            const Row result = zipfs(row.args);
            EXPECT_EQ(row.status, result.status) << "zipfs " << row.args << "\n" << result.err;
            EXPECT_EQ(squeezed(row.out), squeezed(result.out)) << "zipfs " << row.args;
            EXPECT_EQ(row.err, result.err) << "zipfs " << row.args;
        }
    }

    static TempDir* s_pDir;
    static bool s_bMade;
    static std::string s_strSkip;
    static std::map<std::string, std::string> s_files;  // the tree's files and their bytes
};

TempDir* ZipfsCli::s_pDir = nullptr;
bool ZipfsCli::s_bMade = true;
std::string ZipfsCli::s_strSkip;
std::map<std::string, std::string> ZipfsCli::s_files;

// Stored names as unzip lists them, each directory they imply (Info-ZIP stored none) before its first member.
TEST_F(ZipfsCli, ListsAndReadsWhatUnzipDoes) {
    EXPECT_EQ(shell("unzip -Z1 tree.zip"), shell(quote(zipfsBinary()) + " ls -R tree.zip | grep -v '/$'"));
    checkRows({
        {"ls -R tree.zip", 0,
         "big.bin\ndocs/\ndocs/img/\ndocs/img/logo.bin\ndocs/readme.txt\nsrc/\nsrc/deep/\nsrc/deep/er/\n"
         "src/deep/er/y.txt\ntop.txt\n"},
        {"ls tree.zip", 0, "big.bin\ndocs/\nsrc/\ntop.txt\n"},
        {"ls tree.zip docs", 0, "docs/img/\ndocs/readme.txt\n"},
        {"tree tree.zip", 0,  // stored members first, then the directories they imply
         "tree.zip\n|-- big.bin\n|-- top.txt\n|-- docs/\n| |-- readme.txt\n| `-- img/\n| `-- logo.bin\n`-- src/\n"
         " `-- deep/\n `-- er/\n `-- y.txt\n\n5 directories, 5 files\n"},
    });
    EXPECT_NE(std::string::npos,
              zipfs("stat tree.zip docs/readme.txt")
                  .out.find("Method: deflated\nEncryption: none\nCRC-32: " + crcHex(s_files["docs/readme.txt"])));
}

TEST_F(ZipfsCli, ShowsWhatTheArchiveSaysOfEachMember) {
    checkRows({
        {"ls -lR sym.zip", 0,
         "drwxr-xr-x 0 0 stored " + kTime + " bin/\n-rwxr-xr-x 19 19 stored " + kTime + " bin/run.sh\n" +
             "-rwsr-xr-x 19 19 stored " + kTime + " bin/suid\n-rw------- 7 7 stored " + kTime + " private.txt\n" +
             "lrwxrwxrwx 10 10 stored " + kTime + " link -> bin/run.sh\ndrwxr-xr-x 0 0 stored " + kTime + " docs/\n" +
             "-rw-r--r-- 7 7 stored " + kTime + " docs/readme.txt\nlrwxrwxrwx 16 16 stored " + kTime +
             " docs/evil -> ../../etc/passwd\n"},
        {"tree sym.zip", 0,
         "sym.zip\n|-- bin/\n| |-- run.sh\n| `-- suid\n|-- private.txt\n|-- link -> bin/run.sh\n`-- docs/\n"
         " |-- readme.txt\n `-- evil -> ../../etc/passwd\n\n2 directories, 6 files\n"},
        {"stat sym.zip link", 0,
         "Name: link\nKind: symlink\nMode: lrwxrwxrwx (0777)\nTarget: bin/run.sh\nOwner: " +
             std::to_string(::getuid()) + "/" + std::to_string(::getgid()) +
             "\nSize: 10\nCompressed size: 10\n"
             "Method: stored\nEncryption: none\nCRC-32: e3459bc8\nModified: " +
             kTime + " +0000, from the extended timestamp field (UTC)\n"},
        {"cat sym.zip ./link /bin/run.sh", 0, "bin/run.sh#!/bin/sh\necho run\n"},
        // Times: the extended timestamp is UTC; without it (zip -X) the DOS fields hold Tokyo's wall clock.
        {"ls -l tokyo.zip", 0, "-rw------- 7 7 stored " + kTime + " private.txt\n"},
        {"ls -l tokyo-dos.zip", 0, "-rw------- 7 7 stored 2023-11-15 07:13:20 private.txt\n"},
        // Names: code page 437, UTF-8 without the flag, the Unicode Path field, Shift_JIS, the UTF-8 flag.
        {"ls -R names.zip", 0,
         "\u00c4\u00d6.txt\ncaf\u00e9.txt\n\u03a9mega/\n\u03a9mega/\u65e5\u672c\u8a9e.txt\n\u00f4\u00b7\u00fb{.txt\n"
         "flagged/\nflagged/\u03a9.txt\n"},
        {"cat names.zip \u00c4\u00d6.txt \u03a9mega/\u65e5\u672c\u8a9e.txt", 0, "cp437\nunicode\n"},
        {"stat names.zip \u00c4\u00d6.txt", 0,
         "Name: \u00c4\u00d6.txt\nStored name: \\x8e\\x99.txt\nKind: file\nMode: -rw------- (0600)\nSize: 6\n"
         "Compressed size: 6\nMethod: stored\nEncryption: none\nCRC-32: efc6418d\nModified: 2023-11-14 22:13:20 +0000, "
         "from the DOS fields (local time)\n"},
        {"cat --encoding=SHIFT_JIS names.zip \u65e5\u672c.txt", 0, "sjis\n"},
        {"stat names.zip \u03a9mega", 0,
         "Name: \u03a9mega/\nStored name: _mega/\nKind: implied directory\nMode: drwxr-xr-x (0755)\nEntries: 1\n"},
        {"ls -lR odd.zip", 0,  // made on MS-DOS (no modes) on 1980-01-01, as the builder writes
         "-rw-r--r-- 6 6 stored 1980-01-01 00:00:00 a.txt\n-rw-r--r-- 6 6 ppmd 1980-01-01 00:00:00 b.ppmd [refused: "
         "ppmd]\n"
         "-rw-r--r-- 6 6 stored 1980-01-01 00:00:00 dup.txt\n-rw-r--r-- 6 6 stored 1980-01-01 00:00:00 dup.txt "
         "[refused: duplicate name]\n"
         "-rw-r--r-- 6 6 aes+unsupported 1980-01-01 00:00:00 aes.bin [refused: encryption]\n"
         "-rw-r--r-- 6 6 stored 1980-01-01 00:00:00 nul\\x00x [refused: NUL byte in name]\ndrwxr-xr-x - - - - data/\n"
         "-rw-r--r-- 6 6 stored 1980-01-01 00:00:00 data/payload.txt\n"},
    });
}

// Encrypted members, unsupported methods and members that readers would read differently (local headers that
// tell another story, a zip bomb's overlapping members) are never read; damage fails with no bytes.
TEST_F(ZipfsCli, RefusedAndDamagedMembersFail) {
    checkRows({
        {"ls -l enc.zip", 0, "-rw------- 7 19 stored+zipcrypto " + kTime + " private.txt\n"},
        {"cat enc.zip private.txt", 5, "", "zipfs: cat: 'private.txt': " + kNoPassword + "\n"},
        {"test enc.zip", 5, "FAILED private.txt (" + kNoPassword + ")\n1 of 1 file FAILED in enc.zip.\n"},
        // The password is private.txt's own first line.
        {"cat --password-file meta/private.txt enc.zip private.txt", 0, "secret\n"},
        {"cat --password-file - enc.zip private.txt <meta/private.txt", 0, "secret\n"},
        {"test --password-file meta/docs/readme.txt enc.zip", 5,
         "FAILED private.txt (wrong password)\n1 of 1 file FAILED in enc.zip.\n"},
        {"cat --password-file none enc.zip private.txt", 2, "",
         "zipfs: cat: cannot read the password file 'none': No such file or directory\n"},
        {"cat odd.zip b.ppmd", 5, "", "zipfs: cat: 'b.ppmd': compression method ppmd is not supported\n"},
        {"cat odd.zip data/payload.txt", 5, "", "zipfs: cat: 'data/payload.txt': CRC mismatch\n"},
        {"test odd.zip", 5,
         "OK a.txt\nFAILED b.ppmd (compression method ppmd is not supported)\nOK dup.txt\nOK dup.txt\n"
         "FAILED aes.bin (its encryption is not supported)\nOK nul\\x00x\nFAILED data/payload.txt (CRC mismatch)\n"
         "3 of 7 files FAILED in odd.zip.\n"},
        {"test -q odd.zip", 5,
         "FAILED b.ppmd (compression method ppmd is not supported)\nFAILED aes.bin (its encryption is not "
         "supported)\nFAILED data/payload.txt (CRC mismatch)\n3 of 7 files FAILED in odd.zip.\n"},
        {"test twofaced.zip", 5,
         "OK ok.txt\nFAILED notes.txt (its local header names another file)\nFAILED packed.txt (its local header "
         "disagrees with the central directory)\n2 of 3 files FAILED in twofaced.zip.\n"},
        {"cat twofaced.zip notes.txt", 5, "", "zipfs: cat: 'notes.txt': its local header names another file\n"},
        {"test bomb.zip", 5,
         "FAILED a (" + bomb("c") + ")\nFAILED b (" + bomb("a") + ")\nFAILED c (" + bomb("a") +
             ")\n3 of 3 files FAILED in bomb.zip.\n"},
        // cat keeps only the members it is given: the one that c overlaps goes unnamed.
        {"cat bomb.zip c", 5, "", "zipfs: cat: 'c': its data overlaps another member's: a possible zip bomb\n"},
    });
}

TEST_F(ZipfsCli, ExtractsInsideTheDirectoryOnly) {
    const std::string none = "Extracted 0 files, 0 symbolic links and 0 directories into ";
    checkRows({
        {"extract sym.zip -C out", 5, "Extracted 4 files, 1 symbolic link and 2 directories into out\n",
         "zipfs: extract: 'docs/evil': symbolic link to '../../etc/passwd' skipped: link target would lead outside "
         "the extraction directory\n"},
        // Every member lands inside, as the mount shows it: "/" and ".." components dropped, a backslash a
        // character like another, a taken name numbered, a long one shortened.
        {"extract evil.zip -C in/out", 0, "Extracted 11 files, 0 symbolic links and 1 directory into in/out\n",
         "zipfs: extract: 'dup.txt' (member 7) shown as 'dup (1).txt': an earlier member holds its name\n"
         "zipfs: extract: 'pet/cat/x.txt' (member 9) shown under 'pet/cat (1)/': a file holds the name 'cat'\n"
         "zipfs: extract: '" +
             std::string(300, 'l') + "' (member 10) shown as '" + std::string(246, 'l') +
             "~d1efa505': its name is too long\n"},
        {"extract enc.zip -C none", 5, none + "none\n", "zipfs: extract: 'private.txt': " + kNoPassword + "\n"},
        {"extract names.zip -C n", 0, "Extracted 5 files, 0 symbolic links and 0 directories into n\n"},
        {"extract bomb.zip -C bombed", 5, none + "bombed\n",
         "zipfs: extract: 'a': " + bomb("c") + "\nzipfs: extract: 'b': " + bomb("a") +
             "\nzipfs: extract: 'c': " + bomb("a") + "\n"},
        {"extract twofaced.zip -C two", 5, "Extracted 1 file, 0 symbolic links and 0 directories into two\n",
         "zipfs: extract: 'notes.txt': its local header names another file\nzipfs: extract: 'packed.txt': its local "
         "header disagrees with the central directory\n"},
        {"extract tree.zip -C t", 0, "Extracted 5 files, 0 symbolic links and 0 directories into t\n"},
        {"extract tree.zip docs -C t", 5, none + "t\n",
         "zipfs: extract: 'docs/img/logo.bin': exists, not overwritten (use --force)\n"
         "zipfs: extract: 'docs/readme.txt': exists, not overwritten (use --force)\n",
         "echo edited >t/docs/readme.txt"},
        {"extract tree.zip docs/readme.txt --force -C t", 0,
         "Extracted 1 file, 0 symbolic links and 0 directories into t\n"},
        // unzip's spellings: -o overwrites, -d names the directory, -q keeps quiet about what went well.
        {"extract -q tree.zip docs/readme.txt -d t", 5, "",
         "zipfs: extract: 'docs/readme.txt': exists, not overwritten (use --force)\n"},
        {"extract -oq tree.zip docs/readme.txt -d t", 0, ""},
        {"extract tree.zip -C t -d u", 2, "", "zipfs: extract: -C and -d both name the directory: give one\n"},
        // A symbolic link where a directory is expected is not followed out of the extraction directory.
        {"extract tree.zip docs/readme.txt -C linked", 5, none + "linked\n",
         "zipfs: extract: 'docs/readme.txt': cannot create its directory: Not a directory\n",
         "mkdir linked outside && ln -s \"$PWD/outside\" linked/docs"},
    });
    EXPECT_EQ("", shell("diff -r tree t"));
    // What extraction left on disk: modes (setuid dropped) and times, contents, and nothing where refused.
    EXPECT_EQ(
        "out/bin 755 1700000000\nout/bin/run.sh 755 1700000000\nout/bin/suid 755 1700000000\n"
        "out/private.txt 600 1700000000\nout/link 777 1700000000\nout/docs/readme.txt 644 1700000000\n",
        shell("stat -c '%n %a %Y' out/bin out/bin/run.sh out/bin/suid out/private.txt "
              "out/link out/docs/readme.txt"));
    EXPECT_EQ("#!/bin/sh\necho run\nsecret\nreadme\n145023678119\nunicode\ncp437\nbin/run.sh\n",
              shell("cat out/bin/suid out/private.txt out/docs/readme.txt && echo $(cat in/out/abs.txt "
                    "in/out/safe/one.txt in/out/dup.txt in/out/up.txt in/out/safe/esc.txt in/out/'win\\..\\bs.txt' "
                    "'in/out/dup (1).txt' in/out/pet/cat 'in/out/pet/cat (1)/'?.txt in/out/lll*~d1efa505) && cat "
                    "n/\u03a9mega/\u65e5\u672c\u8a9e.txt "
                    "n/\u00c4\u00d6.txt && readlink out/link"));
    EXPECT_EQ("", shell("ls -d out/docs/evil none/private.txt in/up.txt in/esc.txt esc.txt "
                        "outside/readme.txt bombed/? two/notes.txt evil.sh two/packed.txt 2>/dev/null || true"));
    EXPECT_EQ("fine\n", shell("cat two/ok.txt"));
}

// Every kind a Unix archive holds (made by the builder: Info-ZIP's zip stores neither hard links, FIFOs nor devices)
// shows as ls -l shows it, with owners, device numbers and NTFS nanoseconds in stat; cat gives a hard link its
// member's bytes and nothing of the rest; extract makes hard links, FIFOs and (with --specials, as root) devices.
class ZipfsCliKinds : public ZipfsCli {
  protected:
    void SetUp() override {
        ZipfsCli::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const auto unixField = [](const std::string& data) {
            return le16(0x000d) + le16(std::uint16_t(12 + data.size())) + le32(0) + le32(1700000000) + le16(0) +
                   le16(0) + data;
        };
        const std::string ticks = le64((1700000000ull + 11644473600ull) * 10000000ull + 12345);
        ZipBuilder kinds;
        const struct {
            const char* name;
            const char* data;
            std::uint32_t mode;
            std::string extra;
        } members[] = {
            {"f", "data\n", 0100640,
             le16(0x000a) + le16(32) + le32(0) + le16(1) + le16(24) + ticks + ticks + ticks + le16(0x7875) + le16(11) +
                 "\x01\x04" + le32(1234) + "\x04" + le32(5678)},
            {"h", "", 0100640, unixField("f")},
            {"h-none", "", 0100640, unixField("none")},
            {"p", "", 010644, ""},
            {"s", "", 0140755, ""},
            {"b", "", 060660, unixField(le32(8) + le32(1))},
            {"c", "", 020666, unixField(le32(1) + le32(3))},
            {"l", "zz", 0120777, unixField("f")},
        };
        for (const auto& member : members) {
            kinds.add(member.name, member.data).last().extra = member.extra;
            kinds.last().unixMode = member.mode;
        }
        s_pDir->write("kinds.zip", kinds.build());
    }
};

TEST_F(ZipfsCliKinds, ShowsEachKindAndMakesWhatItCan) {
    const std::string dos = " 1980-01-01 00:00:00 ";
    checkRows({
        {"ls -l kinds.zip", 0,
         "-rw-r----- 5 5 stored " + kTime + " f\n-rw-r----- 0 0 stored " + kTime + " h link to f\n" +
             "-rw-r----- 0 0 stored " + kTime + " h-none link to none\nprw-r--r-- 0 0 stored" + dos + "p\n" +
             "srwxr-xr-x 0 0 stored" + dos + "s\nbrw-rw---- 8, 1 0 stored " + kTime + " b\n" +
             "crw-rw-rw- 1, 3 0 stored " + kTime + " c\nlrwxrwxrwx 2 2 stored " + kTime + " l -> f\n"},
        {"tree kinds.zip", 0,
         "kinds.zip\n|-- f\n|-- h link to f\n|-- h-none link to none\n|-- p [fifo]\n|-- s [socket]\n"
         "|-- b [block device]\n|-- c [character device]\n`-- l -> f\n\n0 directories, 8 files\n"},
        {"stat kinds.zip f", 0,
         "Name: f\nKind: file\nMode: -rw-r----- (0640)\nOwner: 1234/5678\nSize: 5\nCompressed size: 5\n"
         "Method: stored\nEncryption: none\nCRC-32: e6c1c582\nModified: " +
             kTime + ".001234500 +0000, from the NTFS field (UTC)\n"},
        {"stat kinds.zip c", 0,
         "Name: c\nKind: character device\nMode: crw-rw-rw- (0666)\nDevice: 1, 3\nOwner: 0/0\nSize: 0\n"
         "Compressed size: 0\nMethod: stored\nEncryption: none\nCRC-32: 00000000\nModified: " +
             kTime + " +0000, from the Unix field (UTC)\n"},
        {"stat kinds.zip h-none", 0,
         "Name: h-none\nKind: hard link\nMode: -rw-r----- (0640)\nTarget: none (no earlier member of that name: its "
         "bytes are unknown)\nOwner: 0/0\nSize: 0\nCompressed size: 0\nMethod: stored\nEncryption: none\n"
         "CRC-32: 00000000\nModified: " +
             kTime + " +0000, from the Unix field (UTC)\n"},
        {"cat kinds.zip h l", 0, "data\nzz"},
        {"cat kinds.zip p", 4, "", "zipfs: cat: 'p' is a fifo\n"},
        {"cat kinds.zip b", 4, "", "zipfs: cat: 'b' is a block device\n"},
        {"cat kinds.zip h-none", 5, "",
         "zipfs: cat: 'h-none' is a hard link to 'none', which no earlier member holds\n"},
        {"test kinds.zip", 0, "OK f\nOK l\nNo errors detected in kinds.zip (2 files tested).\n"},
        {"extract kinds.zip -C k", 5, "Extracted 2 files, 1 symbolic link, 1 special file and 0 directories into k\n",
         "zipfs: extract: 'h-none': hard link to 'none' skipped: no earlier member holds it\n"
         "zipfs: extract: 's': skipped: a socket is not extracted\n"
         "zipfs: extract: 'b': block device skipped: devices are made only with --specials\n"
         "zipfs: extract: 'c': character device skipped: devices are made only with --specials\n"},
        {"extract kinds.zip h -C one", 0, "Extracted 1 file, 0 symbolic links and 0 directories into one\n"},
    });
    EXPECT_EQ(
        "k/f 640 2 regular file\nk/h 640 2 regular file\nk/p 644 1 fifo\nk/l 777 1 symbolic link\n"
        "one/h 640 1 regular file\nf\ndata\n",
        shell("stat -c '%n %a %h %F' k/f k/h k/p k/l one/h && readlink k/l && cat one/h"));
    EXPECT_EQ(shell("stat -c %i k/f"), shell("stat -c %i k/h"));
    EXPECT_EQ(std::to_string(::getuid()) + "\n", shell("stat -c %u k/f"));  // not the archive's 1234 unasked
}

// Devices and owners are made only as root, and only when asked.
TEST_F(ZipfsCliKinds, MakesDevicesAndOwnersAsRootWhenAsked) {
    if (::geteuid() != 0) GTEST_SKIP() << "devices and owners can be made only as root";
    checkRows({{"extract kinds.zip f b c -C dev --specials --same-owner", 0,
                "Extracted 1 file, 0 symbolic links, 2 special files and 0 directories into dev\n"}});
    EXPECT_EQ(
        "dev/f 1234/5678 regular file 0,0\ndev/b 0/0 block special file 8,1\n"
        "dev/c 0/0 character special file 1,3\n",
        shell("stat -c '%n %u/%g %F %t,%T' dev/f dev/b dev/c"));
}

// The scrambled copy is read like the plain one (the library unscrambles at true offsets, so every 1 MiB
// piece must be scrambled at its own), and unscrambles to the same bytes.
TEST_F(ZipfsCli, ScrambledCopyRoundTrips) {
    checkRows({
        {"scramble tree.zip s.zip", 0, ""},
        {"unscramble s.zip back.zip", 0, ""},
        {"ls --plain s.zip", 3, "",
         "zipfs: ls: cannot open 's.zip' as a plain ZIP archive: it has no end record (it looks "
         "scrambled: drop --plain)\n"},
        {"unscramble tree.zip garbage.zip", 3, "",
         "zipfs: unscramble: 'tree.zip' does not look like a scrambled ZIP archive (it looks plain); nothing "
         "written (--force unscrambles it anyway)\n"},
        {"scramble tree.zip no/such/out.zip", 5, "",
         "zipfs: scramble: cannot create a temporary file beside 'no/such/out.zip': No such file or directory\n"},
    });
    EXPECT_EQ("", shell("cmp tree.zip back.zip"));
    EXPECT_EQ(zipfs("ls -lR tree.zip").out, zipfs("ls -lR s.zip").out);
    EXPECT_TRUE(sameBytes(s_files["big.bin"], zipfs("cat s.zip big.bin").out));
    EXPECT_EQ("", shell("ls -d garbage.zip no *.tmp.* 2>/dev/null || true"));
}

// `text` converted from code set `from` to code set `to` by iconv.
std::string converted(const std::string& text, const char* from, const char* to) {
    const iconv_t converter = iconv_open(to, from);
    std::string in(text), out(text.size() * 4, '\0');
    char *pIn = &in[0], *pOut = &out[0];
    std::size_t inLeft = in.size(), outLeft = out.size();
    EXPECT_NE(static_cast<std::size_t>(-1), iconv(converter, &pIn, &inLeft, &pOut, &outLeft)) << text;
    iconv_close(converter);
    return out.substr(0, out.size() - outLeft);
}

// Names as Windows zip tools store them, in the system's code page without the UTF-8 flag (each member's data
// is its name), and the code page they come out in: an archive's names together tell it, also to a look at the
// part of it that holds one short name alone; Western names stay code page 437 (these accented letters are
// CP850's too), as do a single short name and names that would read as Russian only with box drawing in them;
// one name from elsewhere stays CP437 alone; --encoding decides instead.
TEST_F(ZipfsCli, NamesInTheCodePageOfTheirArchive) {
    const struct {
        const char* archive;
        const char* codeSet;
        const char* shownAs;  // "": listed with its directories below
        std::vector<std::string> names;
    } archives[] = {
        {"sjis.zip",
         "CP932",
         "",
         {"議事録_2023年4月.docx", "見積書（最終版）.xlsx", "写真/運動会/IMG_0012.JPG", "docs/メモ.txt"}},
        {"ru.zip", "CP866", "", {"Отчёт за 2022 год.doc", "Договор поставки.docx", "Фотографии/Отпуск/DSC_0456.jpg"}},
        {"gbk.zip", "GBK", "GBK", {"员工名单.csv", "设计方案.dwg", "合同_最终版.pdf"}},
        {"gbk2.zip", "GBK", "GBK", {"发票扫描件.pdf", "年度总结报告.doc"}},
        {"gbk3.zip", "GBK", "CP437", {"发票扫描件.pdf", "员工名单.csv"}},
        {"ko.zip", "CP949", "CP949", {"회의록_2023년.docx", "견적서.xlsx", "제주도 사진.jpg"}},
        {"de.zip",
         "CP437",
         "CP437",
         {"Café.txt", "Übersicht Größen.xlsx", "Résumé.doc", "Señor García.docx", "Schöne Grüße.txt",
          "Crème brûlée.doc", "Ärzte.csv", "Müller.pdf"}},
        {"fr.zip",
         "CP850",
         "CP850",
         {"Année 2023.pdf", "Françoise.txt", "Noël.txt", "Été 2019.jpg", "Canción.mp3", "Corazón.txt", "Déjà vu.mp3",
          "Hôtel de ville.jpg", "Mañana.doc", "Niño.jpg", "Naïve.txt", "Crêpes.txt", "Pâté.txt"}},
        {"short.zip", "CP866", "CP437", {"Отчёт.txt"}},
        {"mixed.zip",
         "CP932",
         "CP932",
         {"議事録_2023年4月.docx", "見積書（最終版）.xlsx", "企画書_新製品.pptx", "請求書_株式会社山田.pdf"}},
    };
    std::vector<Row> rows;
    for (const auto& row : archives) {
        ZipBuilder builder;
        std::string listed;
        for (const std::string& name : row.names) {
            builder.add(converted(name, "UTF-8", row.codeSet), name);
            if (*row.shownAs) listed += converted(converted(name, "UTF-8", row.codeSet), row.shownAs, "UTF-8") + "\n";
        }
        if (std::string(row.archive) == "mixed.zip")
            builder.add(converted("Café.txt", "UTF-8", "CP437"), ""), listed += "Café.txt\n";
        s_pDir->write(row.archive, builder.build());
        if (*row.shownAs) rows.push_back(Row(std::string("ls ") + row.archive, 0, listed));
    }
    rows.insert(rows.end(),
                {
                    {"ls -R sjis.zip", 0,
                     "議事録_2023年4月.docx\n見積書（最終版）.xlsx\n写真/\n写真/運動会/\n写真/運動会/"
                     "IMG_0012.JPG\ndocs/\ndocs/メモ.txt\n"},
                    {"ls -R sjis.zip docs", 0, "docs/メモ.txt\n"},
                    {"ls -R ru.zip", 0,
                     "Отчёт за 2022 год.doc\nДоговор поставки.docx\nФотографии/\nФотографии/Отпуск/\n"
                     "Фотографии/Отпуск/DSC_0456.jpg\n"},
                    {"ls --encoding=CP866 short.zip", 0, "Отчёт.txt\n"},
                    {"cat --encoding=CP437 sjis.zip docs/メモ.txt", 4, "",
                     "zipfs: cat: 'docs/メモ.txt': no such member in sjis.zip\n"},
                    {"cat gbk.zip 设计方案.dwg", 0, "设计方案.dwg"},
                    {"extract ru.zip -C ru", 0, "Extracted 3 files, 0 symbolic links and 0 directories into ru\n"},
                });
    checkRows(rows);
    EXPECT_EQ("Фотографии/Отпуск/DSC_0456.jpg", shell("cat ru/Фотографии/Отпуск/DSC_0456.jpg"));
}

TEST_F(ZipfsCli, ErrorsHaveTheirExitStatusAndOneLine) {
    // An end record that counts fewer entries than there are: the index reads the archive, binding refuses it.
    std::string partial = ZipBuilder().add("a.txt", "alpha").add("dir/b.txt", "beta").build();
    partial.replace(partial.size() - 14, 4, std::string("\x01\x00\x01\x00", 4));
    s_pDir->write("partial.zip", partial);
    s_pDir->write("not.zip", "this is not an archive at all, just some text");
    checkRows({
        {"ls", 2, "", "zipfs: ls: missing operand (try 'zipfs ls --help')\n"},
        {"ls --plain --scrambled tree.zip", 2, "",
         "zipfs: ls: --plain and --scrambled exclude each other (try 'zipfs ls --help')\n"},
        {"ls --encoding=NO-SUCH tree.zip", 2, "", "zipfs: ls: unknown encoding 'NO-SUCH' (iconv -l lists them)\n"},
        {"scramble tree.zip hard.zip", 2, "",
         "zipfs: scramble: 'hard.zip' is the input itself; refusing to overwrite it\n", "ln tree.zip hard.zip"},
        {"ls missing.zip", 3, "", "zipfs: ls: cannot open 'missing.zip': No such file or directory\n"},
        {"ls fifo", 3, "", "zipfs: ls: cannot open 'fifo' as a plain ZIP archive: it is not a regular file\n",
         "mkfifo fifo"},
        {"test not.zip", 3, "", "zipfs: test: cannot open 'not.zip' as a plain ZIP archive: it has no end record\n"},
        {"ls --walk partial.zip", 3, "",
         "zipfs: ls: cannot open 'partial.zip' for the library's walk: it has an end record that counts fewer "
         "entries than its central directory holds\n"},
        {"cat tree.zip no/such.txt", 4, "", "zipfs: cat: 'no/such.txt': no such member in tree.zip\n"},
        {"cat tree.zip docs", 4, "", "zipfs: cat: 'docs' is a directory\n"},
        {"cat evil.zip /abs.txt", 0, "1"},  // stored with its "/", and found so, as unzip -p finds it
    });
}

// A bar on standard error while more than 64 MiB are read, only where it is a terminal (script(1) gives one) and
// never with -q; nothing anywhere else (the rows above check standard error whole).
TEST_F(ZipfsCli, ShowsProgressOnATerminalOnly) {
    if (runCommand("command -v script").empty()) GTEST_SKIP() << "no script(1) to give zipfs a terminal";
    s_pDir->write("zeros.zip", ZipBuilder().add("zeros", std::string(65 << 20, '\0'), ZipBuilder::kDeflated).build());
    const struct {
        const char* command;
        const char* afterBar;  // what follows the bar, once it is taken off the line; null: no bar
    } rows[] = {{"test zeros.zip", "\x1b[KOK zeros\n"},
                {"extract -d zeros zeros.zip", "\x1b[KExtracted 1 file"},
                {"test -q zeros.zip", nullptr},
                {"test zeros.zip 2>/dev/null", nullptr}};
    for (const auto& row : rows) {
        const std::string out =
            shell("script -qec " + quote(quote(zipfsBinary()) + " " + row.command) + " /dev/null | tr '\\r' '\\n'");
        EXPECT_EQ(row.afterBar != nullptr, out.find("] 100% (65/65 MiB)") != std::string::npos) << row.command << ":\n"
                                                                                                << out;
        if (row.afterBar) { EXPECT_NE(std::string::npos, out.find(row.afterBar)) << row.command; }
    }
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
