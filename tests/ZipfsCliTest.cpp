// The zipfs tool, run as a separate process on archives made by Info-ZIP zip and by ZipBuilder: its listings,
// bytes and checks agree with unzip's; corrupted data, escaping names and existing files are refused; a
// scrambled copy works with every command; errors have their exit statuses. The tool is found through
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
            runCommand("timeout 60 " + quote(m_strBinary) + " " + args + " 2>" + quote(errFile), &result.status);
        result.err = readFile(errFile);
        return result;
    }

    std::string unzip(const std::string& args) { return runCommand("unzip " + args + " 2>/dev/null"); }

    TempDir m_dir;
    std::string m_strBinary;
    std::map<std::string, std::string> m_files;
};

const std::vector<std::string> kDirectories = {"docs/", "docs/img/", "src/", "src/deep/", "src/deep/er/"};

// name -> size from `zipfs ls -l` ("-" sizes, of implied directories, left out).
std::map<std::string, std::string> zipfsLengths(const std::string& listing) {
    std::map<std::string, std::string> lengths;
    for (const std::string& line : lines(listing)) {
        std::istringstream in(line);
        std::string size, compressed, method, date, time, name;
        in >> size >> compressed >> method >> date >> time >> std::ws;
        std::getline(in, name);
        if (size != "-") lengths[name] = size;
    }
    return lengths;
}

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

        // Sizes: the files' own, and 0 for stored directory entries.
        std::map<std::string, std::string> sizes;
        for (const auto& file : m_files) sizes[file.first] = std::to_string(file.second.size());
        if (bDirectoryEntries)
            for (const std::string& directory : kDirectories) sizes[directory] = "0";
        const Result longListing = zipfs("ls -lR " + quote(archive));
        EXPECT_EQ(0, longListing.status);
        EXPECT_EQ(sizes, zipfsLengths(longListing.out)) << longListing.out;

        // Not recursive: only the top level, or only the named directory.
        EXPECT_EQ(sorted({"big.txt", "docs/", "src/", "top.txt"}), sorted(lines(zipfs("ls " + quote(archive)).out)));
        EXPECT_EQ(sorted({"docs/img/", "docs/readme.txt"}), sorted(lines(zipfs("ls " + quote(archive) + " docs").out)));
    }
}

TEST_F(ZipfsCli, TreeAndStatShowImpliedDirectories) {
    const std::string noDirs = zipTree("no-dirs.zip", false);
    const Result tree = zipfs("tree " + quote(noDirs));
    EXPECT_EQ(0, tree.status);
    for (const char* expected : {"docs/", "img/", "logo.bin", "src/", "deep/", "er/", "y.txt", "top.txt"})
        EXPECT_NE(std::string::npos, tree.out.find(expected)) << expected << " missing from\n" << tree.out;
    EXPECT_NE(std::string::npos, tree.out.find("5 directories, 5 files"));

    Result stat = zipfs("stat " + quote(noDirs) + " docs");
    EXPECT_EQ(0, stat.status);
    EXPECT_NE(std::string::npos, stat.out.find("Kind: implied directory"));
    EXPECT_NE(std::string::npos, stat.out.find("Entries: 2"));
    EXPECT_NE(std::string::npos,
              zipfs("stat " + quote(zipTree("with-dirs.zip", true)) + " docs/").out.find("Kind: directory"));

    stat = zipfs("stat " + quote(noDirs) + " big.txt");
    EXPECT_EQ(0, stat.status);
    EXPECT_NE(std::string::npos, stat.out.find("Kind: file"));
    EXPECT_NE(std::string::npos, stat.out.find("Size: 300000\n"));
    EXPECT_NE(std::string::npos, stat.out.find("Method: deflated"));
    EXPECT_NE(std::string::npos, stat.out.find("CRC-32: " + crcHex(m_files["big.txt"])));
}

// ---- Reading and checking ------------------------------------------------------------------------------

TEST_F(ZipfsCli, CatGivesTheMemberBytes) {
    const std::string archive = zipTree("with-dirs.zip", true);
    for (const auto& file : m_files) {
        const Result cat = zipfs("cat " + quote(archive) + " " + quote(file.first));
        EXPECT_EQ(0, cat.status) << file.first << ": " << cat.err;
        EXPECT_EQ(file.second, cat.out) << file.first;
    }
    EXPECT_EQ(m_files["top.txt"] + m_files["src/deep/er/y.txt"],
              zipfs("cat " + quote(archive) + " /top.txt src/deep/er/y.txt").out);
}

TEST_F(ZipfsCli, TestAndCatCatchACorruptedDataByte) {
    const std::string payload = "payload bytes that are stored as they are, so that one can be flipped";
    ZipBuilder builder;
    builder.add("first.txt", makeContent(1000, 5), ZipBuilder::kDeflated).add("data/payload.txt", payload);
    const std::string good = m_dir.write("good.zip", builder.build());
    Result test = zipfs("test " + quote(good));
    EXPECT_EQ(0, test.status) << test.out;
    EXPECT_NE(std::string::npos, test.out.find("OK first.txt\nOK data/payload.txt\n"));

    std::string bytes = builder.build();
    const std::size_t at = bytes.find(payload);
    ASSERT_NE(std::string::npos, at);
    bytes[at + 10] ^= 0x01;
    const std::string bad = m_dir.write("bad.zip", bytes);
    test = zipfs("test " + quote(bad));
    EXPECT_EQ(5, test.status);
    EXPECT_NE(std::string::npos, test.out.find("OK first.txt"));
    EXPECT_NE(std::string::npos, test.out.find("FAILED data/payload.txt"));
    EXPECT_NE(std::string::npos, test.out.find("1 of 2 files FAILED"));

    const Result cat = zipfs("cat " + quote(bad) + " data/payload.txt");
    EXPECT_EQ(5, cat.status);
    EXPECT_EQ(payload.size(), cat.out.size());  // streamed first, judged at the end
    EXPECT_NE(std::string::npos, cat.err.find("data/payload.txt")) << cat.err;
    EXPECT_NE(std::string::npos, cat.err.find("CRC mismatch")) << cat.err;
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

TEST_F(ZipfsCli, ExtractRefusesNamesThatEscape) {
    ZipBuilder builder;
    builder.add("../up.txt", "up")
        .add("/abs-zipfs-test.txt", "absolute")
        .add("safe/../../esc.txt", "escape")
        .add("win\\..\\..\\bs.txt", "backslash")
        .add("safe/one.txt", "one")
        .add("dup.txt", "first copy")
        .add("dup.txt", "second copy");
    const std::string archive = m_dir.write("evil.zip", builder.build());
    ASSERT_EQ(0, ::mkdir(m_dir.file("in").c_str(), 0777));
    const std::string out = m_dir.file("in/out");

    const Result extract = zipfs("extract " + quote(archive) + " -C " + quote(out));
    EXPECT_EQ(5, extract.status);
    for (const char* refused : {"../up.txt", "/abs-zipfs-test.txt", "safe/../../esc.txt", "bs.txt", "dup.txt"})
        EXPECT_NE(std::string::npos, extract.err.find(refused)) << refused << " not named in\n" << extract.err;
    EXPECT_EQ("one", readFile(out + "/safe/one.txt"));
    EXPECT_EQ("first copy", readFile(out + "/dup.txt"));
    for (const char* escaped : {"in/up.txt", "up.txt", "in/esc.txt", "esc.txt", "in/out/abs-zipfs-test.txt"})
        EXPECT_FALSE(exists(m_dir.file(escaped))) << escaped;
    EXPECT_EQ(sorted({"dup.txt", "safe"}), sorted(lines(runCommand("ls " + quote(out)))));
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

// ---- Errors and help -----------------------------------------------------------------------------------

TEST_F(ZipfsCli, ErrorsHaveTheirExitStatus) {
    const std::string archive = zipTree("a.zip", true);
    const std::string notZip = m_dir.write("not.zip", "this is not an archive at all, just some text");
    const std::string fifo = m_dir.file("fifo.zip");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // Central directories whose compressed size or local header offset points past the data: the tool cannot
    // read their member list.
    const std::string good = ZipBuilder().add("a.txt", "alpha").add("dir/b.txt", "beta").build();
    std::string lying[2] = {good, good};
    const std::size_t record = good.find(std::string("PK\x01\x02", 4));
    lying[0].replace(record + 20, 4, std::string("\xf0\xff\xff\x7f", 4));
    lying[1].replace(record + 42, 4, std::string("\xf0\xff\xff\x7f", 4));
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
        {"ls -R " + quote(m_dir.write("lying-size.zip", lying[0])), 3},
        {"ls -R " + quote(m_dir.write("lying-offset.zip", lying[1])), 3},
        {"ls " + quote(fifo), 3},
    };
    for (const auto& c : cases) {
        const Result result = zipfs(c.args);
        EXPECT_EQ(c.status, result.status) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ(0u, result.err.find("zipfs: ")) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ(1u, lines(result.err).size()) << "zipfs " << c.args << "\n" << result.err;
        EXPECT_EQ("", result.out) << "zipfs " << c.args;
    }
    // A refused archive's error line ends with binding's reason, however quiet the tool is.
    EXPECT_EQ("zipfs: ls: cannot open '" + fifo + "' as a plain ZIP archive: it is not a regular file\n",
              zipfs("ls " + quote(fifo)).err);
    std::string partial = good;  // its end record counts one entry of two: zziplib would list only a.txt
    partial.replace(good.size() - 14, 4, std::string("\x01\x00\x01\x00", 4));
    const std::string partialPath = m_dir.write("partial.zip", partial);
    EXPECT_EQ("zipfs: ls: cannot open '" + partialPath +
                  "' as a plain ZIP archive: it has an end record that counts fewer entries than its central "
                  "directory holds\n",
              zipfs("ls " + quote(partialPath)).err);
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
    EXPECT_NE(std::string::npos, zipfs("mount --help").out.find("single-threaded"));
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
