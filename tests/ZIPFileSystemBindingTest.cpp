// The ZIP file system's life and binding: construction and destruction, binding and rebinding, failed binds,
// existence tests, and the trace scopes of the file system's own logger.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
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

const char kAlpha[] = "alpha, the first member";

class ZipFsBindingTest : public ZipFsTest {
  protected:
    static ZipBuilder sample() {
        ZipBuilder builder;
        builder.add("a.txt", kAlpha)
            .addDirectory("docs/")
            .add("docs/b.txt", makeContent(5000, 2), ZipBuilder::kDeflated);
        return builder;
    }

    std::string sampleArchive() const { return writeArchive(sample(), "sample.zip"); }
};

TEST_F(ZipFsBindingTest, AFreshFileSystemIsUnboundAndLivesInItsOwnAllocatorBlock) {
    const std::uint64_t uiBefore = StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks;
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    EXPECT_EQ(StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks, uiBefore + 1);
    EXPECT_EQ(pFs->getZIPArchive(), "");
    EXPECT_FALSE(pFs->exists("/"));
    EXPECT_FALSE(pFs->exists("a.txt"));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    pFs.reset();
    EXPECT_EQ(StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks, uiBefore);
}

// Neither a doubled separator, a "." component nor a relative path is normalised away; directories reopen the
// archive by the path as given.
TEST_F(ZipFsBindingTest, BindingKeepsTheGivenPathAsGiven) {
    sampleArchive();
    const std::string unnormalised = m_dir.path() + "//./sample.zip";
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(unnormalised);
    ASSERT_TRUE(pFs);
    EXPECT_EQ(pFs->getZIPArchive(), unnormalised);
    FileHandle pFile = pFs->open("a.txt", O_RDONLY);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_EQ(readToEnd(*pFile, 64), kAlpha);

    ScopedWorkingDirectory cwd(m_dir.path());
    ASSERT_TRUE(cwd.changed());
    ASSERT_TRUE(pFs->setZIPArchive("sample.zip"));
    EXPECT_EQ(pFs->getZIPArchive(), "sample.zip");
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    EXPECT_EQ(listRest(*pRoot), (std::vector<std::string>{"file:a.txt", "dir:docs/"}));
}

TEST_F(ZipFsBindingTest, AFailedBindReportsAndLeavesTheFileSystemUnbound) {
    const std::string good = sampleArchive();
    const std::string bytes = sample().build();
    const std::string::size_type central = bytes.find(std::string("PK\x01\x02", 4));
    const std::string::size_type endRecord = bytes.size() - 22;  // no comment
    ASSERT_EQ(bytes.rfind(std::string("PK\x05\x06", 4)), endRecord);
    ASSERT_EQ(mkdir(m_dir.file("folder.zip").c_str(), 0755), 0);
    const std::string paths[] = {m_dir.file("missing.zip"),
                                 m_dir.file("folder.zip"),
                                 m_dir.write("text.zip", makeContent(3000, 9)),
                                 m_dir.write("empty.zip", ""),
                                 m_dir.write("cut1.zip", bytes.substr(0, central + (endRecord - central) / 2)),
                                 m_dir.write("cut2.zip", bytes.substr(0, endRecord)),
                                 ""};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        std::unique_ptr<ZIPFileSystem> pFs = bindTo(good);
        ASSERT_TRUE(pFs);
        m_log.clear();
        EXPECT_FALSE(pFs->setZIPArchive(path.empty() ? nullptr : path.c_str()));
        EXPECT_GE(diagnosticCount(), 1u);
        EXPECT_EQ(pFs->getZIPArchive(), "");
        EXPECT_TRUE(pFs->open("a.txt", 0).isNull());
        EXPECT_FALSE(pFs->exists("a.txt"));
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    }
}

TEST_F(ZipFsBindingTest, AFileOpenedBeforeARebindKeepsReadingItsOwnArchive) {
    const std::string contentA = makeContent(300000, 11);
    const std::string contentB = makeContent(1000, 12);
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(
        writeArchive(ZipBuilder().add("a.txt", contentA, ZipBuilder::kDeflated).add("only-a.txt", "A"), "a.zip"));
    ASSERT_TRUE(pFs);
    FileHandle pFromA = pFs->open("a.txt", 0);
    ASSERT_FALSE(pFromA.isNull());
    std::string head(1000, '\0');
    ASSERT_EQ(pFromA->read(&head[0], 1000), 1000);

    const std::string pathB = writeArchive(ZipBuilder().add("a.txt", contentB).add("b.txt", "B"), "b.zip");
    ASSERT_TRUE(pFs->setZIPArchive(pathB.c_str()));
    EXPECT_TRUE(sameBytes(head + readToEnd(*pFromA, 4096), contentA));
    FileHandle pFromB = pFs->open("a.txt", 0);
    ASSERT_FALSE(pFromB.isNull());
    EXPECT_TRUE(sameBytes(readToEnd(*pFromB, 4096), contentB));
    EXPECT_TRUE(pFs->open("only-a.txt", 0).isNull());
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    EXPECT_EQ(listRest(*pRoot), (std::vector<std::string>{"file:a.txt", "file:b.txt"}));

    // A failed rebind unbinds the file system; the file from A still reads A.
    EXPECT_FALSE(pFs->setZIPArchive(m_dir.file("missing.zip").c_str()));
    EXPECT_TRUE(pFs->open("b.txt", 0).isNull());
    EXPECT_TRUE(pFs->opendir("/").isNull());
    ASSERT_EQ(pFromA->lseek(0, SEEK_SET), 0);
    EXPECT_TRUE(sameBytes(readToEnd(*pFromA, 65536), contentA));
}

// An entry refers to its file system, so destroying the file system under a live entry leaves the entry
// dangling: the destructor asserts once, and neither the entry nor its handle may be used or released after.
// The test abandons the file's handle (Abandon.h) and excuses the allocator blocks it holds.
TEST_F(ZipFsBindingTest, DestroyingUnderALiveEntryAssertsOnce) {
    const std::uint64_t uiBefore = StaticMemAllocator::totalLiveBlocks();
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(sampleArchive());
    ASSERT_TRUE(pFs);
    abandon(pFs->open("a.txt", 0));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 1u);
    m_log.clear();
    pFs.reset();
    EXPECT_EQ(expected({assertionAt("m_uiNbOfEntriesOpen == 0", 61)}), diagnosticsOf(m_log));
    excuseBlocks(StaticMemAllocator::totalLiveBlocks() - uiBefore);
}

TEST_F(ZipFsBindingTest, DestroyingAfterEveryHandleIsGoneReportsNothing) {
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(sampleArchive());
    ASSERT_TRUE(pFs);
    {
        FileHandle pFile = pFs->open("a.txt", 0);
        DirectoryHandle pDir = pFs->opendir("/");
        ASSERT_FALSE(pDir.isNull());
        EntryHandle pEntry = pDir->read();
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 3u);
    }
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    m_log.clear();
    pFs.reset();
    EXPECT_EQ(diagnosticCount(), 0u);
}

// While the archive can be reopened every path exists; once it is gone, the bound handle answers.
TEST_F(ZipFsBindingTest, ExistsIsTrueForEveryPathUntilTheArchiveFileIsGone) {
    const std::string path = sampleArchive();
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(path);
    ASSERT_TRUE(pFs);
    for (const char* name : {"a.txt", "/a.txt", "docs/", "docs/b.txt", "nothing", "/no/such/dir/", "", "/"})
        EXPECT_TRUE(pFs->exists(name)) << name;

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_TRUE(pFs->exists("/docs/b.txt"));
    EXPECT_FALSE(pFs->exists("nothing"));
    EXPECT_FALSE(pFs->exists("docs/c.txt"));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    FileHandle pFile = pFs->open("docs/b.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_TRUE(sameBytes(readToEnd(*pFile, 999), makeContent(5000, 2)));
}

// Each directory opens the archive again from its path and lists what it finds there now: an archive replaced
// by another (renamed over, or rewritten in the same file) lists as it now stands, and every path exists. File
// members are still opened (to be listed) through the bound archive: one that it does not hold is skipped
// with the refusal line.
TEST_F(ZipFsBindingTest, ADirectoryOpenedAfterTheArchiveWasReplacedListsTheNewOne) {
    const std::string path = writeArchive(ZipBuilder().add("a.txt", kAlpha).addDirectory("old/"), "live.zip");
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(path);
    ASSERT_TRUE(pFs);
    ASSERT_EQ(0, rename(writeArchive(ZipBuilder().add("a.txt", kAlpha).addDirectory("new/"), "next.zip").c_str(),
                        path.c_str()));
    DirectoryHandle pTop = pFs->opendir("/");
    ASSERT_FALSE(pTop.isNull());
    EXPECT_EQ((std::vector<std::string>{"file:a.txt", "dir:new/"}), listRest(*pTop));
    EXPECT_TRUE(pFs->exists("new/"));

    ZipBuilder().add("a.txt", kAlpha).add("only-new.txt", "n").addDirectory("newer/").writeTo(path);  // same inode
    m_log.clear();
    pTop = pFs->opendir("/");
    ASSERT_FALSE(pTop.isNull());
    EXPECT_EQ((std::vector<std::string>{"file:a.txt", "dir:newer/"}), listRest(*pTop));
    EXPECT_EQ(
        expected({zipLineAt(kErrorLogLevel,
                            "Current entry only-new.txt is neither a file nor a directory. NOT SUPPORTED YET", 370)}),
        diagnosticsOf(m_log));
    EXPECT_TRUE(pFs->exists("newer/"));

    // Rewritten once more, its end record counting the three entries zziplib just listed of four: no listing.
    std::string partial =
        ZipBuilder().add("a.txt", kAlpha).add("only-new.txt", "n").addDirectory("newer/").add("more.txt", "").build();
    partial.replace(partial.size() - 14, 4, le16(3) + le16(3));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << partial;
    EXPECT_TRUE(pFs->opendir("/").isNull());
}

TEST_F(ZipFsBindingTest, EveryOperationTracesItsScope) {
    const std::string path = sampleArchive();
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl ctor", "EXIT: ZIPFileSystemImpl ctor",
                                          "ENTER: ZIPFileSystem ctor", "EXIT: ZIPFileSystem ctor"}));
    const struct {
        std::function<void()> operation;
        std::vector<const char*> scopes;  // each entered and left in turn
    } steps[] = {
        {[&] { ASSERT_TRUE(pFs->setZIPArchive(path.c_str())); }, {"setZIPArchive"}},
        {[&] { EXPECT_FALSE(pFs->open("a.txt", 0).isNull()); }, {"open"}},
        {[&] { EXPECT_FALSE(pFs->open("a.txt", 0, 0444).isNull()); }, {"open"}},
        {[&] { EXPECT_FALSE(pFs->opendir("/").isNull()); }, {"opendir"}},
    };
    for (const auto& step : steps) {
        m_log.clear();
        step.operation();
        std::vector<std::string> wanted;
        for (const char* scope : step.scopes)
            for (const char* edge : {"ENTER: ", "EXIT: "})
                wanted.push_back(std::string(kZipLogger) + ": " + edge + "ZIPFileSystemImpl::" + scope);
        EXPECT_EQ(tracesOf(m_log), wanted);
    }
    // While the archive can be reopened, exists is answered by opendir alone; without it, open answers too.
    m_log.clear();
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::exists", "ENTER: ZIPFileSystemImpl::opendir",
                                          "EXIT: ZIPFileSystemImpl::opendir", "EXIT: ZIPFileSystemImpl::exists"}));
    ASSERT_EQ(unlink(path.c_str()), 0);
    m_log.clear();
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::exists", "ENTER: ZIPFileSystemImpl::opendir",
                                          "EXIT: ZIPFileSystemImpl::opendir", "ENTER: ZIPFileSystemImpl::open",
                                          "EXIT: ZIPFileSystemImpl::open", "EXIT: ZIPFileSystemImpl::exists"}));
    m_log.clear();
    pFs.reset();
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl dtor", "EXIT: ZIPFileSystemImpl dtor"}));
}

// An ERROR level on the logger (set before construction, or cached afterwards) silences the traces but not
// the bind failure; an inactive logger says nothing at all.
TEST_F(ZipFsBindingTest, LoggerLevelAndActivityDecideWhatIsHeard) {
    const std::string good = sampleArchive();
    const std::string missing = m_dir.file("missing.zip");
    for (int mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        std::unique_ptr<ZIPFileSystem> pFs;
        {
            ScopedLoggerLevel level(kZipLogger, mode == 0 ? kErrorLogLevel : kTraceLogLevel);
            pFs.reset(new ZIPFileSystem);
        }
        if (mode == 1) pFs->getLogger().setCachedLogLevel(kErrorLogLevel);
        if (mode == 2) pFs->getLogger().setActive(false);
        m_log.clear();
        EXPECT_FALSE(pFs->setZIPArchive(missing.c_str()));
        ASSERT_TRUE(pFs->setZIPArchive(good.c_str()));
        EXPECT_TRUE(pFs->exists("a.txt"));
        EXPECT_FALSE(pFs->open("a.txt", 0).isNull());
        EXPECT_FALSE(pFs->open("a.txt", 0, 0444).isNull());
        EXPECT_FALSE(pFs->opendir("/").isNull());
        pFs.reset();
        EXPECT_EQ(tracesOf(m_log), std::vector<std::string>{});
        EXPECT_EQ(m_log.events().size(), mode == 2 ? 0u : 1u);
    }
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
