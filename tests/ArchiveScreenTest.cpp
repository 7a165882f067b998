// Binding refuses what zziplib would show only in part, read wrongly or trip over, with the usual ERROR line
// and a second one that says why; and it refuses nothing that Info-ZIP accepts.

#include <sys/stat.h>

#include <string>

#include "zip/ArchiveScreen.h"
#include "ZipFsFixture.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Testing {
namespace {

// A file system that shows its I/O table, to screen through it directly.
class TableFileSystem : public ZIPFileSystem {
  public:
    union _zzip_plugin_io* ioTable() {
        return m_pIOHandler.get();
    }
};

class ArchiveScreenTest : public ZipFsTest {
  protected:
    // Binds a fresh file system to `path`, expects a refusal, and gives the reason line (empty when none).
    std::string refusalOf(const std::string& path, ZIPFileSystem* pFs = nullptr) {
        std::unique_ptr<ZIPFileSystem> pOwned;
        if (!pFs) pFs = (pOwned = std::unique_ptr<ZIPFileSystem>(new ZIPFileSystem)).get();
        m_log.clear();
        EXPECT_FALSE(pFs->setZIPArchive(path.c_str()));
        EXPECT_TRUE(pFs->open("a.txt", 0).isNull());
        const std::vector<std::string> lines = diagnosticsOf(m_log);
        EXPECT_GE(lines.size(), 1u);
        if (lines.empty()) return std::string();
        EXPECT_EQ(lines[0], expected({zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + path, 76)})[0]);
        if (lines.size() < 2) return std::string();
        EXPECT_EQ(lines.size(), 2u);
        const std::string prefix = "ZIP archive " + path + " ";
        const std::size_t at = lines[1].find(prefix);
        EXPECT_NE(at, std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find("at ZIPFileSystem:77 "), std::string::npos) << lines[1];
        return at == std::string::npos ? lines[1] : lines[1].substr(at + prefix.size(), std::string::npos);
    }

    // Runs a Python zipfile script that writes `name` in the scratch directory; false when Python is missing.
    bool pythonZip(const std::string& name, const std::string& body) {
        int status = 0;
        runCommand("cd '" + m_dir.path() + "' && python3 -c \"import zipfile\nwith zipfile.ZipFile('" + name +
                       "', 'w') as z:\n" + body + "\" 2>&1",
                   &status);
        return status == 0;
    }

    std::string patched(std::string bytes, std::size_t at, const std::string& value) {
        bytes.replace(at, value.size(), value);
        return bytes;
    }
};

std::string reasonOf(const std::string& line) {
    return line.substr(0, line.size() - 1);  // the described line ends with the closing quote
}

TEST_F(ArchiveScreenTest, MoreThan65535EntriesAreRefusedNotShownInPart) {
    if (!pythonZip("many.zip", "    for i in range(70000): z.writestr('f%d' % i, '')"))
        GTEST_SKIP() << "python3 is needed to write a zip64 archive";
    const std::string path = m_dir.file("many.zip");
    EXPECT_EQ(reasonOf(refusalOf(path)), "holds 70000 entries; more than 65535 are not supported");

    // The same through the scrambling callbacks: the screen reads through the file system's own table.
    std::string bytes = readFile(path);
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
    const std::string scrambled = m_dir.write("many-scrambled.zip", bytes);
    std::unique_ptr<ZIPFileSystem> pScrambled(new ZIPEncryptedFileSystem);
    EXPECT_EQ(reasonOf(refusalOf(scrambled, pScrambled.get())),
              "holds 70000 entries; more than 65535 are not supported");
}

TEST_F(ArchiveScreenTest, Exactly65535EntriesStillBindAndListWhole) {
    if (!pythonZip("full.zip", "    for i in range(65535): z.writestr('f%d' % i, '')"))
        GTEST_SKIP() << "python3 is needed";
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(m_dir.file("full.zip"));
    ASSERT_TRUE(pFs);
    DirectoryHandle pTop = pFs->opendir("/");
    ASSERT_FALSE(pTop.isNull());
    std::size_t count = 0;
    while (!pTop->read().isNull()) ++count;
    EXPECT_EQ(count, 65535u);
}

TEST_F(ArchiveScreenTest, Zip64RecordsAreRefused) {
    m_dir.write("h.txt", "hello\n");
    int status = 0;
    runCommand("cd '" + m_dir.path() + "' && zip -q -fz z64.zip h.txt 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "Info-ZIP zip is needed";
    EXPECT_EQ(reasonOf(refusalOf(m_dir.file("z64.zip"))), "uses zip64 records, which are not supported");
}

TEST_F(ArchiveScreenTest, LyingEndRecordsAndCentralDirectoriesAreRefused) {
    ZipBuilder builder;
    builder.add("a.txt", "alpha").add("b.txt", makeContent(5000, 3), ZipBuilder::kDeflated);
    const std::string good = builder.build();
    const std::size_t end = good.size() - 22;
    const std::size_t central = good.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);

    const struct {
        const char* label;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"directory offset past the end", patched(good, end + 16, le32(0x00FFFFF0)),
         "has a central directory that lies outside the file"},
        {"more entries than records", patched(good, end + 8, std::string("\x03\x00\x03\x00", 4)),
         "has a central directory that holds fewer entries than its end record says"},
        {"disagreeing entry counts", patched(good, end + 8, std::string("\x01\x00", 2)),
         "has an end record whose entry counts disagree"},
        {"a member of 2 GiB", patched(good, central + 24, le32(0x80000000)),
         "has a member 'a.txt' of 2147483648 bytes; members of 2 GiB and more are not supported"},
        {"data running into the central directory", patched(good, central + 20, le32(0x7FFFFFF0)),
         "has a member 'a.txt' whose data runs past the central directory"},
        {"a name running past the directory", patched(good, central + 28, std::string("\xff\x0f", 2)),
         "has a central directory entry that runs past its end"},
        {"cut inside the end record", good.substr(0, good.size() - 5), "ends inside its end record"},
        {"shorter than an end record", std::string("PK\x05\x06\0\0", 6), "is too short to be a ZIP archive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(reasonOf(refusalOf(m_dir.write("lying.zip", c.bytes))), c.reason);
    }
}

TEST_F(ArchiveScreenTest, WhatIsNoRegularFileIsRefusedWithoutBlocking) {
    const std::string fifo = m_dir.file("fifo.zip");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(reasonOf(refusalOf(fifo)), "is not a regular file");  // an open would wait for a writer forever
    EXPECT_EQ(reasonOf(refusalOf("/dev/zero")), "is not a regular file");
    EXPECT_EQ(refusalOf(m_dir.path()), "");  // zziplib opens archives only, and refuses a directory at once
}

TEST_F(ArchiveScreenTest, ArchivesThatInfoZipAcceptsAllPass) {
    ZipBuilder builder;
    builder.add("a.txt", "alpha").addDirectory("d/").add("d/b.txt", makeContent(70000, 5), ZipBuilder::kDeflated);
    builder.setComment("an archive comment");
    const std::string withComment = builder.build();
    const std::string prefixed = std::string(100, 'x') + withComment;  // as a self-extracting stub would
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {{"comment", withComment}, {"prefix before the archive", prefixed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = m_dir.write("ok.zip", c.bytes);
        int status = 0;
        runCommand("unzip -tqq '" + path + "' >/dev/null 2>&1", &status);
        if (status > 1) GTEST_SKIP() << "unzip is needed";    // 1 is unzip's warning status for a prefix
        EXPECT_EQ(screenArchive(path.c_str(), nullptr), "");  // no table: passes without reading
        std::unique_ptr<TableFileSystem> pFs(new TableFileSystem);
        EXPECT_EQ(screenArchive(path.c_str(), pFs->ioTable()), "");
        EXPECT_TRUE(pFs->setZIPArchive(path.c_str()) || c.bytes == prefixed);  // zziplib's own view of a prefix
    }
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
