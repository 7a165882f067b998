// The zipfs tool, run as a separate process (in TZ=UTC) on archives made at test time by Info-ZIP zip (-y
// links, -P encryption, in Tokyo's zone), Python's zipfile (name encodings, zip64) and ZipBuilder (methods,
// duplicates, damage): listings agree with unzip's; every member is shown with its name, mode, method, time
// and refusal; bytes are the member's or none; escaping names and links are refused; errors have their exit
// statuses and words. Most cases are rows of (arguments, status, output, error). The tool is found through
// ZIPFS_BIN, or beside this test's build directory (build/tests -> build/tools).

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ZipFsFixture.h"

namespace Tamsor {
namespace Testing {
namespace {

std::string zipfsBinary() {
    const char* pFromEnvironment = std::getenv("ZIPFS_BIN");
    if (pFromEnvironment && *pFromEnvironment) return pFromEnvironment;
    char self[PATH_MAX] = {};
    if (::readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return "";
    std::string path = self;
    path.erase(path.rfind('/'));  // build/tests
    path.erase(path.rfind('/'));  // build
    return path + "/tools/zipfs";
}

std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

bool isDirectoryName(const std::string& name) {
    return !name.empty() && name.back() == '/';
}

bool exists(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// A run of zipfs and what it must give. In `args`, "{name}" stands for a path the test made (quoted); in the
// outputs, for the same path as printed. Standard output is compared with runs of spaces squeezed to one.
struct Row {
    std::string args;
    int status;
    std::string out;
    std::string err;
};

std::string squeezed(const std::string& text) {
    std::string result;
    for (const char c : text)
        if (c != ' ' || result.empty() || result.back() != ' ') result += c;
    return result;
}

const std::time_t kFileTime = 1700000000;  // 2023-11-14 22:13:20 UTC, 2023-11-15 07:13:20 in Tokyo

class ZipfsCli : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strBinary = zipfsBinary();
        if (::access(m_strBinary.c_str(), X_OK) != 0) GTEST_SKIP() << "zipfs not built at " << m_strBinary;
        if (runCommand("command -v zip && command -v unzip").empty()) GTEST_SKIP() << "Info-ZIP zip/unzip missing";
        m_files = {{"top.txt", "the top file\n"},
                   {"docs/readme.txt", makeContent(5000, 1)},
                   {"docs/img/logo.bin", makeContent(3000, 2, false)},
                   {"src/deep/er/y.txt", "deep\n"},
                   {"big.txt", makeContent(300000, 3)}};  // several 64 KiB pieces
        for (const auto& file : m_files) {
            const std::string path = m_dir.file("tree/" + file.first);
            ASSERT_EQ(0, std::system(("mkdir -p " + quote(path.substr(0, path.rfind('/')))).c_str()));
            m_dir.write("tree/" + file.first, file.second);
        }
    }

    // Info-ZIP's archive of the tree: with directory entries, or without them (-D).
    std::string zipTree(const std::string& name, bool bDirectoryEntries) {
        const std::string path = m_dir.file(name);
        int status = -1;
        runCommand("cd " + quote(m_dir.file("tree")) + " && zip -q -r " + (bDirectoryEntries ? "" : "-D ") +
                       quote(path) + " .",
                   &status);
        EXPECT_EQ(0, status);
        return path;
    }

    // Runs zipfs with `args`; a run that hangs is killed after a minute (status 124) rather than hang the test.
    Result zipfs(const std::string& args) {
        Result result;
        const std::string errFile = m_dir.file("stderr.txt");
        result.out =
            runCommand("TZ=UTC timeout 60 " + quote(m_strBinary) + " " + args + " 2>" + quote(errFile), &result.status);
        result.err = readFile(errFile);
        return result;
    }

    std::string unzip(const std::string& args) { return runCommand("unzip " + args + " 2>/dev/null"); }

    // Runs a shell command in the scratch directory; a failure fails the test.
    void shell(const std::string& command) {
        int status = -1;
        const std::string out = runCommand("cd " + quote(m_dir.path()) + " && (" + command + "\n) 2>&1", &status);
        ASSERT_EQ(0, status) << command << "\n" << out;
    }

    std::string fill(std::string text, bool bQuoted) const {
        for (const auto& path : m_paths)
            for (std::string::size_type at; (at = text.find("{" + path.first + "}")) != std::string::npos;)
                text.replace(at, path.first.size() + 2, bQuoted ? quote(path.second) : path.second);
        return text;
    }

    void checkRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            const Result result = zipfs(fill(row.args, true));
            EXPECT_EQ(row.status, result.status) << "zipfs " << row.args << "\n" << result.err;
            EXPECT_EQ(squeezed(fill(row.out, false)), squeezed(result.out)) << "zipfs " << row.args;
            EXPECT_EQ(fill(row.err, false), result.err) << "zipfs " << row.args;
        }
    }

    TempDir m_dir;
    std::string m_strBinary;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_paths;  // what "{name}" stands for in rows
};

const std::vector<std::string> kDirectories = {"docs/", "docs/img/", "src/", "src/deep/", "src/deep/er/"};

TEST_F(ZipfsCli, ListingsAgreeWithUnzipAndTheTree) {
    for (bool bDirectoryEntries : {true, false}) {
        SCOPED_TRACE(bDirectoryEntries);
        const std::string archive = zipTree(bDirectoryEntries ? "with-dirs.zip" : "no-dirs.zip", bDirectoryEntries);
        const Result ls = zipfs("ls -R " + quote(archive));
        EXPECT_EQ(0, ls.status) << ls.err;
        // Stored names as unzip lists them; without directory entries, exactly the implied directories on top.
        std::vector<std::string> files, directories;
        for (const std::string& name : lines(ls.out)) (isDirectoryName(name) ? directories : files).push_back(name);
        std::vector<std::string> stored = lines(unzip("-Z1 " + quote(archive)));
        if (bDirectoryEntries)
            stored.erase(std::remove_if(stored.begin(), stored.end(), isDirectoryName), stored.end());
        EXPECT_EQ(sorted(stored), sorted(files));
        EXPECT_EQ(sorted(kDirectories), sorted(directories));

        // Not recursive: only the top level, or only the named directory.
        EXPECT_EQ(sorted({"big.txt", "docs/", "src/", "top.txt"}), sorted(lines(zipfs("ls " + quote(archive)).out)));
        EXPECT_EQ(sorted({"docs/img/", "docs/readme.txt"}), sorted(lines(zipfs("ls " + quote(archive) + " docs").out)));

        EXPECT_NE(std::string::npos, zipfs("tree " + quote(archive)).out.find("\n5 directories, 5 files\n"));
        EXPECT_NE(std::string::npos,
                  zipfs("stat " + quote(archive) + " big.txt")
                      .out.find("Method: deflated\nEncrypted: no\nCRC-32: " + crcHex(m_files["big.txt"])));
    }
}

// ---- Reading and checking ------------------------------------------------------------------------------

TEST_F(ZipfsCli, CatGivesTheMemberBytes) {
    const std::string archive = zipTree("with-dirs.zip", true);
    for (const auto& file : m_files) {
        const Result cat = zipfs("cat " + quote(archive) + " " + quote(file.first));
        EXPECT_EQ(0, cat.status) << file.first << ": " << cat.err;
        EXPECT_EQ(file.second, cat.out) << file.first;
    }
    EXPECT_EQ(m_files["top.txt"] + m_files["src/deep/er/y.txt"] + m_files["top.txt"],
              zipfs("cat " + quote(archive) + " /top.txt src/deep/er/y.txt ./top.txt").out);
}

// ---- Extraction ----------------------------------------------------------------------------------------

TEST_F(ZipfsCli, ExtractWritesTheTreeAndRefusesToOverwrite) {
    const std::string archive = zipTree("no-dirs.zip", false);
    const std::string out = m_dir.file("out");
    Result extract = zipfs("extract " + quote(archive) + " -C " + quote(out));
    EXPECT_EQ(0, extract.status) << extract.err;
    for (const auto& file : m_files) EXPECT_EQ(file.second, readFile(out + "/" + file.first)) << file.first;

    m_dir.write("out/docs/readme.txt", "edited locally");
    extract = zipfs("extract " + quote(archive) + " docs -C " + quote(out));
    EXPECT_EQ(5, extract.status);
    EXPECT_NE(std::string::npos, extract.err.find("docs/readme.txt")) << extract.err;
    EXPECT_EQ("edited locally", readFile(out + "/docs/readme.txt"));

    extract = zipfs("extract " + quote(archive) + " docs --force -C " + quote(out));
    EXPECT_EQ(0, extract.status) << extract.err;
    EXPECT_EQ(m_files["docs/readme.txt"], readFile(out + "/docs/readme.txt"));

    // A symbolic link where a directory is expected is not followed out of the extraction directory.
    const std::string linked = m_dir.file("linked");
    ASSERT_EQ(0, ::mkdir(linked.c_str(), 0777));
    ASSERT_EQ(0, ::mkdir(m_dir.file("outside").c_str(), 0777));
    ASSERT_EQ(0, ::symlink(m_dir.file("outside").c_str(), (linked + "/docs").c_str()));
    extract = zipfs("extract " + quote(archive) + " docs -C " + quote(linked));
    EXPECT_EQ(5, extract.status);
    EXPECT_FALSE(exists(m_dir.file("outside/readme.txt")));
}

// ---- Scrambled archives --------------------------------------------------------------------------------

TEST_F(ZipfsCli, ScrambledCopyRoundTripsAndWorksEverywhere) {
    const std::string plain = zipTree("plain.zip", false);
    const std::string scrambled = m_dir.file("scrambled.zip");
    const std::string back = m_dir.file("back.zip");
    ASSERT_EQ(0, zipfs("scramble " + quote(plain) + " " + quote(scrambled)).status);
    ASSERT_EQ(0, zipfs("unscramble " + quote(scrambled) + " " + quote(back)).status);
    EXPECT_EQ(readFile(plain).size(), readFile(scrambled).size());
    EXPECT_TRUE(readFile(plain) == readFile(back));
    EXPECT_EQ("", runCommand("ls " + quote(m_dir.path()) + " | grep '\\.tmp\\.'"));  // no temporary file left

    EXPECT_EQ(zipfs("ls -lR " + quote(plain)).out, zipfs("ls -lR " + quote(scrambled)).out);
    const Result testScrambled = zipfs("test " + quote(scrambled));
    EXPECT_EQ(0, testScrambled.status) << testScrambled.err;
    // The lines before the summaries (which name the archives) agree.
    std::vector<std::string> tested[] = {lines(zipfs("test " + quote(plain)).out), lines(testScrambled.out)};
    for (std::vector<std::string>& listed : tested) listed.resize(std::max<std::size_t>(listed.size(), 1) - 1);
    EXPECT_EQ(tested[0], tested[1]);
    EXPECT_EQ(zipfs("tree " + quote(plain)).out.substr(plain.size()),
              zipfs("tree " + quote(scrambled)).out.substr(scrambled.size()));
    EXPECT_EQ(m_files["big.txt"], zipfs("cat " + quote(scrambled) + " big.txt").out);
    EXPECT_NE(std::string::npos, zipfs("stat " + quote(scrambled) + " docs").out.find("implied directory"));
    const Result extract = zipfs("extract " + quote(scrambled) + " src -C " + quote(m_dir.file("x")));
    EXPECT_EQ(0, extract.status) << extract.err;
    EXPECT_EQ(m_files["src/deep/er/y.txt"], readFile(m_dir.file("x/src/deep/er/y.txt")));

    EXPECT_EQ(0, zipfs("ls --scrambled " + quote(scrambled)).status);
    EXPECT_EQ(3, zipfs("ls --plain " + quote(scrambled)).status);
    EXPECT_EQ(3, zipfs("ls --scrambled " + quote(plain)).status);

    // A failed run leaves nothing at OUT.
    const std::string nowhere = m_dir.file("no/such/dir/out.zip");
    EXPECT_EQ(5, zipfs("scramble " + quote(plain) + " " + quote(nowhere)).status);
    EXPECT_FALSE(exists(nowhere));
}

// ---- What the archive says about its members -------------------------------------------------------------

// Info-ZIP archives of one tree (Unix modes, links, a setuid file), encrypted, and zipped in Tokyo with and
// without the extended timestamp; Python archives of every kind of name; a ZipBuilder archive of what the
// library refuses, with one damaged member.
TEST_F(ZipfsCli, EveryMemberWithWhatTheArchiveSaysOfIt) {
    shell(
        "mkdir -p meta/bin meta/docs && cd meta && printf '#!/bin/sh\\necho run\\n' >bin/run.sh && "
        "printf 'secret\\n' >private.txt && printf 'readme\\n' >docs/readme.txt && cp bin/run.sh bin/suid && "
        "chmod 755 bin bin/run.sh docs && chmod 600 private.txt && chmod 4755 bin/suid && chmod 644 docs/readme.txt && "
        "ln -s bin/run.sh link && ln -s ../../etc/passwd docs/evil && touch -h -d @1700000000 * bin/* docs/* && "
        "TZ=UTC zip -q -0 -y ../sym.zip bin/ bin/run.sh bin/suid private.txt link docs/ docs/readme.txt docs/evil && "
        "TZ=UTC zip -q -0 -P secret ../enc.zip private.txt && TZ=Asia/Tokyo zip -q -0 ../tokyo.zip private.txt && "
        "TZ=Asia/Tokyo zip -q -0 -X ../tokyo-dos.zip private.txt && mkdir ../in");
    shell(
        "python3 - names.zip <<'EOF'\n"
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
    const std::string payload = "stored payload, one byte flipped";
    std::string odd = ZipBuilder()
                          .add("a.txt", "alpha")
                          .add("b.bz2", "BZh91AY", 12)
                          .add("dup.txt", "first")
                          .add("dup.txt", "second")
                          .add("aes.bin", "AE", 99)
                          .add(std::string("nul\0x", 5), "n")
                          .add("data/payload.txt", payload)
                          .build();
    odd[odd.find(payload)] ^= 0x01;
    m_dir.write("odd.zip", odd);
    m_dir.write("evil.zip", ZipBuilder()
                                .add("../up.txt", "up")
                                .add("/abs.txt", "absolute")
                                .add("safe/../../esc.txt", "escape")
                                .add("win\\..\\bs.txt", "backslash")
                                .add("safe/one.txt", "one")
                                .add("dup.txt", "first copy")
                                .add("dup.txt", "second copy")
                                .build());
    m_paths["in/out"] = m_dir.file("in/out");
    for (const char* name : {"sym", "enc", "tokyo", "tokyo-dos", "names", "odd", "evil"})
        m_paths[name] = m_dir.file(std::string(name) + ".zip");
    m_paths["out"] = m_dir.file("out");
    m_paths["none"] = m_dir.file("none");
    const std::string kTime = "2023-11-14 22:13:20";

    checkRows({
        {"ls -l {sym}", 0,
         "drwxr-xr-x 0 0 stored " + kTime + " bin/\n-rw------- 7 7 stored " + kTime + " private.txt\n" +
             "lrwxrwxrwx 10 10 stored " + kTime + " link -> bin/run.sh\ndrwxr-xr-x 0 0 stored " + kTime + " docs/\n",
         ""},
        {"tree {sym}", 0,
         "{sym}\n|-- bin/\n| |-- run.sh\n| `-- suid\n|-- private.txt\n|-- link -> bin/run.sh\n`-- docs/\n"
         " |-- readme.txt\n `-- evil -> ../../etc/passwd\n\n2 directories, 6 files\n",
         ""},
        {"stat {sym} link", 0,
         "Name: link\nKind: symlink\nMode: lrwxrwxrwx (0777)\nTarget: bin/run.sh\nSize: 10\nCompressed size: 10\n"
         "Method: stored\nEncrypted: no\nCRC-32: e3459bc8\nModified: " +
             kTime + " +0000, from the extended timestamp field (UTC)\n",
         ""},
        {"cat {sym} ./link /bin/run.sh", 0, "bin/run.sh#!/bin/sh\necho run\n", ""},
        {"extract {sym} -C {out}", 5, "Extracted 4 files, 1 symbolic link and 2 directories into {out}\n",
         "zipfs: extract: 'docs/evil': symbolic link to '../../etc/passwd' skipped: link target would lead outside "
         "the extraction directory\n"},
        // Absolute names land inside with their "/" stripped; "..", backslashes and later duplicates do not.
        {"extract {evil} -C {in/out}", 5, "Extracted 3 files, 0 symbolic links and 0 directories into {in/out}\n",
         "zipfs: extract: '../up.txt': refused: '..' component would leave the directory\n"
         "zipfs: extract: 'safe/../../esc.txt': refused: '..' component would leave the directory\n"
         "zipfs: extract: 'win\\x5c..\\x5cbs.txt': refused: name holds a backslash\n"
         "zipfs: extract: skipping 'dup.txt': duplicate name: only the first member of a name is extracted\n"},
        // Encrypted members: shown and marked, never read.
        {"ls -l {enc}", 0, "-rw------- 7 19 stored " + kTime + " private.txt [refused: encrypted]\n", ""},
        {"cat {enc} private.txt", 5, "", "zipfs: cat: 'private.txt': encrypted members are not supported\n"},
        {"test {enc}", 5, "FAILED private.txt (encrypted members are not supported)\n1 of 1 file FAILED in {enc}.\n",
         ""},
        {"extract {enc} -C {none}", 5, "Extracted 0 files, 0 symbolic links and 0 directories into {none}\n",
         "zipfs: extract: 'private.txt': encrypted members are not supported\n"},
        // Times: the extended timestamp is UTC; without it (zip -X) the DOS fields hold Tokyo's wall clock.
        {"ls -l {tokyo}", 0, "-rw------- 7 7 stored " + kTime + " private.txt\n", ""},
        {"ls -l {tokyo-dos}", 0, "-rw------- 7 7 stored 2023-11-15 07:13:20 private.txt\n", ""},
        // Names: code page 437, UTF-8 without the flag, the Unicode Path field, Shift_JIS, the UTF-8 flag.
        {"ls -R {names}", 0,
         "\u00c4\u00d6.txt\ncaf\u00e9.txt\n\u03a9mega/\n\u03a9mega/\u65e5\u672c\u8a9e.txt\n\u00f4\u00b7\u00fb{.txt\n"
         "flagged/\nflagged/\u03a9.txt\n",
         ""},
        {"cat {names} \u00c4\u00d6.txt \u03a9mega/\u65e5\u672c\u8a9e.txt", 0, "cp437\nunicode\n", ""},
        {"stat {names} \u00c4\u00d6.txt", 0,
         "Name: \u00c4\u00d6.txt\nStored name: \\x8e\\x99.txt\nKind: file\nMode: -rw------- (0600)\nSize: 6\n"
         "Compressed size: 6\nMethod: stored\nEncrypted: no\nCRC-32: efc6418d\nModified: 2023-11-14 22:13:20 +0000, "
         "from the DOS fields (local time)\n",
         ""},
        {"cat --encoding=SHIFT_JIS {names} \u65e5\u672c.txt", 0, "sjis\n", ""},
        {"stat {names} \u03a9mega", 0,
         "Name: \u03a9mega/\nStored name: _mega/\nKind: implied directory\n"
         "Mode: drwxr-xr-x (0755)\nEntries: 1\n",
         ""},
        // What the library refuses, and a damaged member.
        {"ls {odd}", 0,
         "a.txt\nb.bz2 [refused: bzip2]\ndup.txt\ndup.txt [refused: duplicate name]\naes.bin [refused: encrypted]\n"
         "nul\\x00x [refused: NUL byte in name]\ndata/\n",
         ""},
        {"ls --walk {odd}", 0, "a.txt\ndup.txt\ndup.txt\nnul\ndata/\n", ""},  // zziplib's names end at a NUL
        {"cat {odd} b.bz2", 5, "", "zipfs: cat: 'b.bz2': compression method bzip2 is not supported\n"},
        {"cat {odd} data/payload.txt", 5, "", "zipfs: cat: 'data/payload.txt': CRC mismatch\n"},
        {"test {odd}", 5,
         "OK a.txt\nFAILED b.bz2 (compression method bzip2 is not supported)\nOK dup.txt\nOK dup.txt\n"
         "FAILED aes.bin (encrypted members are not supported)\nOK nul\\x00x\nFAILED data/payload.txt (CRC mismatch)\n"
         "3 of 7 files FAILED in {odd}.\n",
         ""},
    });

    // What extraction left on disk: modes (setuid dropped) and times where given, contents, and nothing where
    // the content is null.
    const struct {
        const char* path;
        mode_t mode;
        const char* content;
    } onDisk[] = {
        {"out/bin", S_IFDIR | 0755, ""},
        {"out/bin/run.sh", S_IFREG | 0755, "#!/bin/sh\necho run\n"},
        {"out/bin/suid", S_IFREG | 0755, "#!/bin/sh\necho run\n"},
        {"out/private.txt", S_IFREG | 0600, "secret\n"},
        {"out/link", S_IFLNK | 0777, "bin/run.sh"},
        {"out/docs/readme.txt", S_IFREG | 0644, "readme\n"},
        {"out/docs/evil", 0, nullptr},
        {"none/private.txt", 0, nullptr},
        {"in/out/abs.txt", 0, "absolute"},
        {"in/out/safe/one.txt", 0, "one"},
        {"in/out/dup.txt", 0, "first copy"},
        {"in/up.txt", 0, nullptr},
        {"in/esc.txt", 0, nullptr},
        {"esc.txt", 0, nullptr},
    };
    for (const auto& row : onDisk) {
        struct stat status;
        const std::string path = m_dir.file(row.path);
        ASSERT_EQ(row.content != nullptr, ::lstat(path.c_str(), &status) == 0) << row.path;
        if (!row.content) continue;
        EXPECT_EQ(row.mode ? row.mode : status.st_mode, status.st_mode) << row.path;
        EXPECT_EQ(row.mode ? kFileTime : status.st_mtime, status.st_mtime) << row.path;
        if (S_ISDIR(status.st_mode)) continue;
        EXPECT_EQ(row.content, S_ISLNK(status.st_mode) ? runCommand("readlink -n " + quote(path)) : readFile(path))
            << row.path;
    }
    // Decoded names on disk.
    EXPECT_EQ(0, zipfs("extract " + quote(m_paths["names"]) + " -C " + quote(m_dir.file("n"))).status);
    EXPECT_EQ("unicode\n", readFile(m_dir.file("n/\u03a9mega/\u65e5\u672c\u8a9e.txt")));
    EXPECT_EQ("cp437\n", readFile(m_dir.file("n/\u00c4\u00d6.txt")));
}

// Python writes zip64 end records past 65,535 members; binding refuses such archives, the index reads them.
TEST_F(ZipfsCli, ArchivesPastZziplibsLimits) {
    shell(
        "python3 -c \"import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    for i in range(65546): z.writestr('m/%05d' % i, str(i))\" z64.zip");
    m_paths["z64"] = m_dir.file("z64.zip");
    checkRows({
        {"stat {z64} m", 0, "Name: m/\nKind: implied directory\nMode: drwxr-xr-x (0755)\nEntries: 65546\n", ""},
        {"ls {z64}", 0, "m/\n", ""},
        {"cat {z64} m/65545 m/00007", 0, "655457", ""},
        {"ls --walk {z64}", 3, "",
         "zipfs: ls: cannot open '{z64}' for the library's walk: it holds 65546 entries; more than 65535 are not "
         "supported\n"},
    });
    EXPECT_EQ(65547u, lines(zipfs("ls -R " + quote(m_paths["z64"])).out).size());
}

// ---- Errors and help -----------------------------------------------------------------------------------

TEST_F(ZipfsCli, ErrorsHaveTheirExitStatus) {
    const std::string archive = zipTree("a.zip", true);
    const std::string notZip = m_dir.write("not.zip", "this is not an archive at all, just some text");
    const std::string fifo = m_dir.file("fifo.zip");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // A central directory whose compressed size points past the data: refused as a whole.
    std::string lying = ZipBuilder().add("a.txt", "alpha").add("dir/b.txt", "beta").build();
    lying.replace(lying.find(std::string("PK\x01\x02", 4)) + 20, 4, std::string("\xf0\xff\xff\x7f", 4));
    const struct {
        std::string args;
        int status;
    } cases[] = {
        {"", 2},
        {"frobnicate", 2},
        {"ls", 2},
        {"ls -Q " + quote(archive), 2},
        {"stat " + quote(archive), 2},
        {"ls --plain --scrambled " + quote(archive), 2},
        {"ls " + quote(m_dir.file("missing.zip")), 3},
        {"test " + quote(notZip), 3},
        {"cat " + quote(archive) + " no/such.txt", 4},
        {"stat " + quote(archive) + " nothing", 4},
        {"ls " + quote(archive) + " nodir", 4},
        {"cat " + quote(archive) + " docs", 4},
        {"scramble " + quote(m_dir.file("missing.zip")) + " " + quote(m_dir.file("o.zip")), 3},
        {"ls -R " + quote(m_dir.write("lying-size.zip", lying)), 3},
        {"ls " + quote(fifo), 3},
        {"ls --encoding=NO-SUCH-CODE-SET " + quote(archive), 2},
        {"scramble " + quote(archive) + " " + quote(archive), 2},
        {"scramble " + quote(archive) + " " + quote(m_dir.file("hard-link.zip")), 2},
        {"unscramble " + quote(archive) + " " + quote(m_dir.file("garbage.zip")), 3},
    };
    ASSERT_EQ(0, ::link(archive.c_str(), m_dir.file("hard-link.zip").c_str()));
    const std::string before = readFile(archive);
    for (const auto& c : cases) {
        const Result result = zipfs(c.args);
        EXPECT_EQ(c.status, result.status) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ(0u, result.err.find("zipfs: ")) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ(1u, lines(result.err).size()) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ("", result.out) << "zipfs " << c.args;
    }
    EXPECT_TRUE(before == readFile(archive));  // neither scramble wrote over its input
    EXPECT_FALSE(exists(m_dir.file("garbage.zip")));
    EXPECT_EQ("zipfs: ls: cannot open '" + fifo + "' as a plain ZIP archive: it is not a regular file\n",
              zipfs("ls " + quote(fifo)).err);
    // The library's walk says why binding refuses what the index reads: zziplib would list a.txt alone here.
    std::string partial = ZipBuilder().add("a.txt", "alpha").add("dir/b.txt", "beta").build();
    partial.replace(partial.size() - 14, 4, std::string("\x01\x00\x01\x00", 4));
    const std::string partialPath = m_dir.write("partial.zip", partial);
    EXPECT_EQ("zipfs: ls: cannot open '" + partialPath +
                  "' for the library's walk: it has an end record that counts fewer entries than its central "
                  "directory holds\n",
              zipfs("ls --walk " + quote(partialPath)).err);
    // One bad archive, the same words from every command.
    const std::string lyingSize = quote(m_dir.file("lying-size.zip"));
    const std::string words = zipfs("ls " + lyingSize).err.substr(std::string("zipfs: ls").size());
    EXPECT_EQ(0u, words.find(": cannot open '" + m_dir.file("lying-size.zip") + "' as a plain ZIP archive: it "));
    for (const char* command : {"tree", "test", "stat", "cat", "extract"}) {
        const std::string member = std::string(command) == "stat" || std::string(command) == "cat" ? " a.txt" : "";
        EXPECT_EQ("zipfs: " + std::string(command) + words, zipfs(std::string(command) + " " + lyingSize + member).err);
    }
}

TEST_F(ZipfsCli, EveryCommandHasHelp) {
    const Result help = zipfs("--help");
    EXPECT_EQ(0, help.status);
    for (const char* command : {"ls", "tree", "stat", "cat", "test", "extract", "scramble", "unscramble", "mount"}) {
        EXPECT_NE(std::string::npos, help.out.find(std::string("  ") + command + " ")) << command;
        const Result commandHelp = zipfs(std::string(command) + " --help");
        EXPECT_EQ(0, commandHelp.status) << command;
        EXPECT_EQ(0u, commandHelp.out.find(std::string("Usage: zipfs ") + command + " ")) << commandHelp.out;
    }
    EXPECT_NE(std::string::npos, zipfs("mount --help").out.find("restart_budget=SIZE"));
    const std::string catHelp = zipfs("cat --help").out;
    EXPECT_NE(std::string::npos, catHelp.find("1 MiB pieces"));
    EXPECT_EQ(std::string::npos, catHelp.find("64 KiB"));
    EXPECT_NE(std::string::npos, zipfs("ls --help").out.find("--walk"));
    EXPECT_EQ(0u, zipfs("--version").out.find("zipfs 1."));
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
