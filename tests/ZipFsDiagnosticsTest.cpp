// Every diagnostic site of both source files: the logger (or assertion), level, exact text, file name and line
// that host log tooling matches on, each reached in turn through a scrambled file system (its callbacks have
// sites of their own; the rest is the plain file system's code), then the trace scopes of every operation. A site
// that moves, rewords or changes level or logger fails here; other suites only count diagnostics. The assertions
// at ZIPFileSystem:350 and :360 guard conversions of the library's own entries, which cannot fail.

#include <log4cplus/logger.h>
#include <zzip/plugin.h>

#include "ZipFsFixture.h"
#include "support/Abandon.h"

namespace Tamsor::Testing {
namespace {

struct Exposed : ZIPEncryptedFileSystem {
    const zzip_plugin_io& io() const { return m_pIOHandler->fd; }
};

std::string zipLine(int level, int line, const std::string& text) {
    return std::string(kZipLogger) + " " + std::to_string(level) + " ZIPFileSystem:" + std::to_string(line) + " " +
           text;
}
std::string assertion(int line, const std::string& condition) {
    return std::string(kAssertionLogger) + " 40000 ZIPFileSystem:" + std::to_string(line) +
           " Assertion failed: " + condition;
}
std::string callback(int line, const std::string& text = "Invalid fd 0x7fffffff") {
    return std::string(kEncryptedLogger) + " 40000 ZIPEncryptedFileSystem:" + std::to_string(line) + " " + text;
}

TEST(ZipFsDiagnosticsTest, EverySiteReportsItsTextLevelLoggerFileAndLine) {
    LogCapture log;
    TempDir dir;
    const std::string sites =
        ZipBuilder().add("a.txt", "a").add("", "nameless").add("weird.bin", "?", 99).add("b.txt", "b").build();
    const std::string path = dir.write("sites.zip", scrambled(sites)), missing = "/nonexistent/archive.zip";
    std::string partial = ZipBuilder().add("a.txt", "a").add("b.txt", "b").build();
    partial.replace(partial.size() - 14, 4, le16(1) + le16(1));  // zziplib would list a.txt alone
    partial = dir.write("partial.zip", scrambled(partial));
    char buffer[8];
    const int kBadFd = 0x7fffffff;  // names no descriptor record
    {
        Exposed fs;
        const zzip_plugin_io& io = fs.io();
        const int fd = io.open(path.c_str(), O_RDWR);
        fs.setZIPArchive(missing.c_str());
        fs.setZIPArchive(nullptr);
        fs.setZIPArchive(partial.c_str());
        fs.opendir("/");
        ASSERT_TRUE(fs.setZIPArchive(path.c_str()));
        fs.open("a.txt", O_CREAT | O_RDWR);
        fs.open("a.txt", O_CREAT, 0600);
        fs.open(nullptr, 0, 0);
        FileHandle pFile = fs.open("a.txt", 0);
        pFile->write("x", 1);
        pFile->close();
        pFile->read(buffer, 1);
        pFile->lseek(0, SEEK_SET);
        DirectoryHandle pRoot = fs.opendir("/");
        EntryHandle pA = pRoot->read(), pNameless = pRoot->read(), pB = pRoot->read();  // weird.bin is skipped
        for (const long result :
             std::initializer_list<long>{io.close(kBadFd), io.read(kBadFd, buffer, 8), io.read(kBadFd, nullptr, 8),
                                         io.read(fd, nullptr, 8), io.write(kBadFd, "abc", 3), io.write(fd, nullptr, 8),
                                         io.seeks(kBadFd, 0, SEEK_SET), io.filesize(kBadFd)})
            EXPECT_EQ(-1, result);
        // The file system's own logger says why a bind failed; the file-scope logger (same name) speaks for entries.
        fs.getLogger().setActive(false);
        fs.setZIPArchive(missing.c_str());
        fs.open("a.txt", O_CREAT);
        io.close(fd);
    }
    {
        const std::uint64_t uiBefore = StaticMemAllocator::totalLiveBlocks();
        std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
        pFs->setZIPArchive(dir.write("plain.zip", sites).c_str());
        abandon(pFs->opendir("/"));  // its entry may not be touched once the file system is gone
        pFs.reset();
        excuseBlocks(StaticMemAllocator::totalLiveBlocks() - uiBefore);
    }
    {
        struct Tableless : ZIPFileSystem {
            Tableless() { m_pIOHandler.reset(); }
        } tableless;
        EXPECT_FALSE(tableless.setZIPArchive(path.c_str()));
    }
    // In the order of the calls above; a bad descriptor is reported before a null buffer.
    const std::string kCreate = "You must provide a mode if you are creating a new file";
    const std::string kFewer = " has an end record that counts fewer entries than its central directory holds";
    // clang-format off
    EXPECT_EQ(logLines(log), (Names{
        zipLine(40000, 76, "Could not open ZIP archive " + missing), zipLine(40000, 76, "Could not open ZIP archive "),
        zipLine(40000, 76, "Could not open ZIP archive " + partial), zipLine(40000, 77, "ZIP archive " + partial + kFewer),
        zipLine(10000, 284, "Error opening ZIP archive "), zipLine(40000, 183, kCreate),
        assertion(194, "(flags & O_CREAT) == 0"), assertion(198, "pathname && \"please specify a file name\""),
        assertion(236, "0"), assertion(242, "!m_pFile.isNull()"), assertion(250, "!m_pFile.isNull()"),
        assertion(321, "!strNewEntryPathFromArchive.empty()"),
        zipLine(40000, 370, "Current entry weird.bin is neither a file nor a directory. NOT SUPPORTED YET"),
        callback(69), callback(81), callback(81), callback(87, "Invalid buffer, expecting a char* pointer"),
        callback(108), callback(116, "Invalid buffer, expecting a const char* pointer"), callback(132), callback(144),
        zipLine(40000, 183, kCreate), assertion(61, "m_uiNbOfEntriesOpen == 0"), assertion(71, "!m_pIOHandler.isNull()")}));
    // clang-format on
}

// Each operation traces its scope on the file system's own logger, unless a level above TRACE was cached.
TEST(ZipFsDiagnosticsTest, EveryOperationTracesItsScope) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.write("a.zip", scrambled(ZipBuilder().add("a.txt", "alpha").build()));
    {
        ZIPEncryptedFileSystem fs;
        EXPECT_TRUE(fs.setZIPArchive(path.c_str()));
        EXPECT_FALSE(fs.open("a.txt", 0).isNull() || fs.open("a.txt", 0, 0).isNull() || fs.opendir("/").isNull());
        EXPECT_TRUE(fs.exists("a.txt"));  // opendir alone answers while the archive can be reopened
        EXPECT_EQ(0, unlink(path.c_str()));
        EXPECT_TRUE(fs.exists("a.txt"));  // then open answers too
    }
    // clang-format off
    const std::string kImpl = "ZIPFileSystemImpl";
    Names wanted;
    for (const std::string& trace : {
             "ENTER: " + kImpl + " ctor", "EXIT: " + kImpl + " ctor", std::string("ENTER: ZIPFileSystem ctor"),
             std::string("EXIT: ZIPFileSystem ctor"), std::string("ENTER: ZIPEncryptedFileSystem ctor"),
             std::string("EXIT: ZIPEncryptedFileSystem ctor"), "ENTER: " + kImpl + "::setZIPArchive", "EXIT: " + kImpl + "::setZIPArchive",
             "ENTER: " + kImpl + "::open", "EXIT: " + kImpl + "::open", "ENTER: " + kImpl + "::open", "EXIT: " + kImpl + "::open",
             "ENTER: " + kImpl + "::opendir", "EXIT: " + kImpl + "::opendir",
             "ENTER: " + kImpl + "::exists", "ENTER: " + kImpl + "::opendir", "EXIT: " + kImpl + "::opendir", "EXIT: " + kImpl + "::exists",
             "ENTER: " + kImpl + "::exists", "ENTER: " + kImpl + "::opendir", "EXIT: " + kImpl + "::opendir",
             "ENTER: " + kImpl + "::open", "EXIT: " + kImpl + "::open", "EXIT: " + kImpl + "::exists",
             "ENTER: " + kImpl + " dtor", "EXIT: " + kImpl + " dtor"})
        wanted.push_back(std::string(kZipLogger) + ": " + trace);
    // clang-format on
    EXPECT_EQ(wanted, logLines(log, true));
    log.clear();
    log4cplus::Logger::getInstance(kZipLogger).setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    ZIPEncryptedFileSystem quiet;
    log4cplus::Logger::getInstance(kZipLogger).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
    EXPECT_TRUE(quiet.opendir("/").isNull());
    EXPECT_EQ(Names{}, logLines(log, true));
}

}  // namespace
}  // namespace Tamsor::Testing
