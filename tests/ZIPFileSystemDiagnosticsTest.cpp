// Every diagnostic site of the ZIP file system in one place: the logger (or assertion), level, exact text,
// file name and line that host log tooling matches on. A site that moves, rewords or changes level fails here;
// the other suites only check that a diagnostic came. Lines 350 and 360 are not listed: they guard conversions
// of the library's own entries to their own classes, which cannot fail.

#include <fcntl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ZipFsFixture.h"
#include "support/Abandon.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace Testing {
namespace {

class ZipFsDiagnosticsTest : public ZipFsTest {
  protected:
    void SetUp() override {
        m_strPath =
            writeArchive(ZipBuilder().add("a.txt", "a").add("", "nameless").add("weird.bin", "?", 99).add("b.txt", "b"),
                         "sites.zip");
        std::string partial = ZipBuilder().add("a.txt", "a").add("b.txt", "b").build();
        partial.replace(partial.size() - 14, 4, le16(1) + le16(1));  // zziplib would list a.txt alone
        m_strPartial = m_dir.write("partial.zip", partial);
    }

    std::string m_strPath;
    std::string m_strPartial;
};

// One site: how to reach it, and what it must report. `trigger` runs on a fresh file system bound to the
// sites archive (or on one of its own); it clears the capture right before the step that reports, and may
// do nothing after it that reports anything else.
struct Site {
    const char* label;
    std::function<void(ZIPFileSystem&, LogCapture&, const std::string& archive)> trigger;
    std::vector<Diagnostic> wanted;
};

std::vector<Site> allSites(const std::string& partial) {
    return {
        {"destroyed under a live entry",
         [](ZIPFileSystem&, LogCapture& log, const std::string& path) {
             const std::uint64_t uiBefore = StaticMemAllocator::totalLiveBlocks();
             std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
             pFs->setZIPArchive(path.c_str());
             abandon(pFs->opendir("/"));  // its entry may not be touched once the file system is gone
             log.clear();
             pFs.reset();
             excuseBlocks(StaticMemAllocator::totalLiveBlocks() - uiBefore);
         },
         {assertionAt("m_uiNbOfEntriesOpen == 0", 61)}},
        {"bind failure",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.setZIPArchive("/nonexistent/archive.zip");
         },
         {zipLineAt(kErrorLogLevel, "Could not open ZIP archive /nonexistent/archive.zip", 76)}},
        {"bind to no path",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.setZIPArchive(nullptr);
         },
         {zipLineAt(kErrorLogLevel, "Could not open ZIP archive ", 76)}},
        {"archive that zziplib would show in part",
         [partial](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.setZIPArchive(partial.c_str());
         },
         {zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + partial, 76),
          zipLineAt(kErrorLogLevel,
                    "ZIP archive " + partial +
                        " has an end record that counts fewer entries than its central directory holds",
                    77)}},
        {"creating without a mode",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.open("a.txt", O_CREAT | O_RDWR);
         },
         {zipLineAt(kErrorLogLevel, "You must provide a mode if you are creating a new file", 183)}},
        {"creating with a mode",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.open("a.txt", O_CREAT, 0600);
         },
         {assertionAt("(flags & O_CREAT) == 0", 194)}},
        {"null file name",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             log.clear();
             fs.open(nullptr, 0, 0);
         },
         {assertionAt("pathname && \"please specify a file name\"", 198)}},
        {"write",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             FileHandle pFile = fs.open("a.txt", 0);
             log.clear();
             if (!pFile.isNull()) pFile->write("x", 1);
         },
         {assertionAt("0", 236)}},
        {"read when closed",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             FileHandle pFile = fs.open("a.txt", 0);
             if (pFile.isNull()) return;
             pFile->close();
             log.clear();
             char byte;
             pFile->read(&byte, 1);
         },
         {assertionAt("!m_pFile.isNull()", 242)}},
        {"seek when closed",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             FileHandle pFile = fs.open("a.txt", 0);
             if (pFile.isNull()) return;
             pFile->close();
             log.clear();
             pFile->lseek(0, SEEK_SET);
         },
         {assertionAt("!m_pFile.isNull()", 250)}},
        {"directory without an archive",
         [](ZIPFileSystem&, LogCapture& log, const std::string&) {
             std::unique_ptr<ZIPFileSystem> pUnbound(new ZIPFileSystem);
             log.clear();
             pUnbound->opendir("/");
         },
         {zipLineAt(kDebugLogLevel, "Error opening ZIP archive ", 284)}},
        {"nameless member",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             DirectoryHandle pRoot = fs.opendir("/");
             if (pRoot.isNull()) return;
             EntryHandle pFirst = pRoot->read();  // a.txt
             log.clear();
             pRoot->read();
         },
         {assertionAt("!strNewEntryPathFromArchive.empty()", 321)}},
        {"member of an unsupported method",
         [](ZIPFileSystem& fs, LogCapture& log, const std::string&) {
             DirectoryHandle pRoot = fs.opendir("/");
             if (pRoot.isNull()) return;
             EntryHandle pFirst = pRoot->read();  // a.txt
             pRoot->read();                       // the nameless member
             log.clear();
             pRoot->read();  // skips weird.bin, gives b.txt
         },
         {zipLineAt(kErrorLogLevel, "Current entry weird.bin is neither a file nor a directory. NOT SUPPORTED YET",
                    370)}},
    };
}

TEST_F(ZipFsDiagnosticsTest, EverySiteReportsItsTextLevelAndLine) {
    for (const Site& site : allSites(m_strPartial)) {
        SCOPED_TRACE(site.label);
        {
            std::unique_ptr<ZIPFileSystem> pFs = bindTo(m_strPath);
            ASSERT_TRUE(pFs);
            site.trigger(*pFs, m_log, m_strPath);
            EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
        }
        // Only the site's line, over every logger, from the step that reports to the file system's end.
        std::vector<std::string> wanted;
        for (const Diagnostic& d : site.wanted) wanted.push_back(expected({d}).front());
        EXPECT_EQ(diagnosticsOf(m_log), wanted);
        m_log.clear();
    }
}

// The ZIP file system's ERROR lines follow its logger's level (the file system's own logger caches it when
// constructed, so the level is set first); assertions go to their own logger and still report.
TEST_F(ZipFsDiagnosticsTest, AFatalLevelSilencesTheErrorLines) {
    ScopedLoggerLevel level(kZipLogger, kFatalLogLevel);
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    EXPECT_FALSE(pFs->setZIPArchive("/nonexistent/archive.zip"));
    ASSERT_TRUE(pFs->setZIPArchive(m_strPath.c_str()));
    EXPECT_TRUE(pFs->open("a.txt", O_CREAT).isNull());
    {
        DirectoryHandle pRoot = pFs->opendir("/");
        ASSERT_FALSE(pRoot.isNull());
        EntryHandle pA = pRoot->read();
        ASSERT_FALSE(pA.isNull());
        EXPECT_STREQ(pA->getPath(), "a.txt");
        EXPECT_TRUE(pRoot->read().isNull());  // the nameless member
        EntryHandle pB = pRoot->read();       // weird.bin skipped in silence
        ASSERT_FALSE(pB.isNull());
        EXPECT_STREQ(pB->getPath(), "b.txt");
    }
    EXPECT_TRUE(pFs->open("a.txt", O_CREAT, 0600).isNull());
    pFs.reset();
    EXPECT_EQ(m_log.eventsOf(kZipLogger).size(), 0u);
    EXPECT_EQ(m_log.eventsOf(kAssertionLogger).size(), 2u);  // the nameless member, creating with a mode
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
