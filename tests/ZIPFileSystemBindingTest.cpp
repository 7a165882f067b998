// The ZIP file system's life and binding: construction and destruction, binding and rebinding to archives,
// failed binds, existence tests, and the trace scopes of the file system's own logger.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ZipFsFixture.h"
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

// ---- construction --------------------------------------------------------------------------------------

TEST_F(ZipFsBindingTest, AFreshFileSystemIsUnboundAndLivesInItsOwnAllocatorBlock) {
    const std::uint64_t uiBefore = StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks;
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    EXPECT_EQ(StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks, uiBefore + 1);

    EXPECT_EQ(pFs->getZIPArchive(), "");
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    EXPECT_FALSE(pFs->exists("/"));
    EXPECT_FALSE(pFs->exists("a.txt"));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);

    pFs.reset();
    EXPECT_EQ(StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks, uiBefore);
}

// ---- binding -------------------------------------------------------------------------------------------

TEST_F(ZipFsBindingTest, BindingKeepsTheGivenPathByteForByte) {
    sampleArchive();
    // Neither the doubled separator nor the "." component is normalised away.
    const std::string unnormalised = m_dir.path() + "//./sample.zip";
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    ASSERT_TRUE(pFs->setZIPArchive(unnormalised.c_str()));
    EXPECT_EQ(pFs->getZIPArchive(), unnormalised);

    FileHandle pFile = pFs->open("a.txt", O_RDONLY);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_EQ(readToEnd(*pFile, 64), kAlpha);
}

TEST_F(ZipFsBindingTest, ARelativePathStaysRelative) {
    sampleArchive();
    ScopedWorkingDirectory cwd(m_dir.path());
    ASSERT_TRUE(cwd.changed());
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    ASSERT_TRUE(pFs->setZIPArchive("sample.zip"));
    EXPECT_EQ(pFs->getZIPArchive(), "sample.zip");
    // Directories reopen the archive by that same relative path.
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    EXPECT_EQ(listRest(*pRoot), (std::vector<std::string>{"file:a.txt", "dir:docs/"}));
}

TEST_F(ZipFsBindingTest, AFailedBindReportsThePathAndLeavesTheFileSystemUnbound) {
    const std::string good = sampleArchive();
    const std::string bytes = sample().build();
    // The end record closes the archive (there is no comment); the central directory's size and offset are in it.
    const std::string::size_type endRecord = bytes.rfind(std::string("PK\x05\x06", 4));
    ASSERT_EQ(endRecord, bytes.size() - 22);
    auto u32At = [&bytes](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
    };
    const std::uint32_t uiCentralSize = u32At(endRecord + 12);
    const std::uint32_t uiCentralOffset = u32At(endRecord + 16);
    ASSERT_EQ(uiCentralOffset + uiCentralSize, endRecord);
    ASSERT_EQ(mkdir(m_dir.file("folder.zip").c_str(), 0755), 0);

    // `why`: the reason line that follows when the archive is refused before zziplib sees it.
    const struct {
        const char* label;
        std::string path;
        const char* why;
    } cases[] = {
        {"missing file", m_dir.file("missing.zip"), nullptr},
        {"directory", m_dir.file("folder.zip"), nullptr},
        {"not an archive", m_dir.write("text.zip", makeContent(3000, 9)), nullptr},
        {"empty file", m_dir.write("empty.zip", ""), "is too short to be a ZIP archive"},
        {"cut inside the central directory",
         m_dir.write("cut1.zip", bytes.substr(0, uiCentralOffset + uiCentralSize / 2)), nullptr},
        {"cut before the end record", m_dir.write("cut2.zip", bytes.substr(0, endRecord)), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
        ASSERT_TRUE(pFs->setZIPArchive(good.c_str()));
        m_log.clear();

        EXPECT_FALSE(pFs->setZIPArchive(c.path.c_str()));
        const Diagnostic usual = zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + c.path, 76);
        EXPECT_EQ(diagnosticsOf(m_log),
                  c.why ? expected({usual, zipLineAt(kErrorLogLevel, "ZIP archive " + c.path + " " + c.why, 77)})
                        : expected({usual}));
        EXPECT_EQ(pFs->getZIPArchive(), "");
        EXPECT_TRUE(pFs->open("a.txt", 0).isNull());
        EXPECT_FALSE(pFs->exists("a.txt"));
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    }
}

TEST_F(ZipFsBindingTest, BindingToNoPathFailsAndUnbinds) {
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(sampleArchive());
    ASSERT_TRUE(pFs);
    m_log.clear();
    EXPECT_FALSE(pFs->setZIPArchive(nullptr));
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kErrorLogLevel, "Could not open ZIP archive ", 76)}));
    EXPECT_EQ(pFs->getZIPArchive(), "");
    EXPECT_TRUE(pFs->open("a.txt", 0).isNull());
}

TEST_F(ZipFsBindingTest, AFileOpenedBeforeARebindKeepsReadingItsOwnArchive) {
    const std::string contentA = makeContent(300000, 11);
    const std::string contentB = makeContent(1000, 12);
    const std::string pathA =
        writeArchive(ZipBuilder().add("a.txt", contentA, ZipBuilder::kDeflated).add("only-a.txt", "A"), "a.zip");
    const std::string pathB = writeArchive(ZipBuilder().add("a.txt", contentB).add("b.txt", "B"), "b.zip");
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(pathA);
    ASSERT_TRUE(pFs);
    FileHandle pFromA = pFs->open("a.txt", 0);
    ASSERT_FALSE(pFromA.isNull());
    std::string head(1000, '\0');
    ASSERT_EQ(pFromA->read(&head[0], 1000), 1000);

    ASSERT_TRUE(pFs->setZIPArchive(pathB.c_str()));
    EXPECT_EQ(pFs->getZIPArchive(), pathB);
    EXPECT_TRUE(sameBytes(head + readToEnd(*pFromA, 4096), contentA));

    // New opens and listings see B only.
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

// ---- destruction ---------------------------------------------------------------------------------------

// An entry refers to its file system, so a file system destroyed under a live entry leaves the entry
// dangling: dropping it would touch freed memory. To see the destructor's assertion and still end cleanly,
// the file system lives in storage of this test's own. It is destroyed explicitly while the entry is alive
// (the assertion fires), then a fresh file system is constructed in the same storage: the entry's reference
// designates a live object again, so the entry can be dropped normally (the fresh count is 0, and the
// entry's destructor leaves a 0 count alone). The file stays open on the first file system's archive handle,
// which zziplib keeps until the file is closed.
TEST_F(ZipFsBindingTest, DestroyingUnderALiveEntryAssertsOnce) {
    const std::string path = sampleArchive();
    alignas(ZIPFileSystem) unsigned char storage[sizeof(ZIPFileSystem)];
    ZIPFileSystem* pFs = ::new (storage) ZIPFileSystem();
    ASSERT_TRUE(pFs->setZIPArchive(path.c_str()));
    FileHandle pFile = pFs->open("a.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    ASSERT_EQ(pFs->getNbOfEntriesOpen(), 1u);
    m_log.clear();

    pFs->~ZIPFileSystem();
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("m_uiNbOfEntriesOpen == 0", 61)}));

    ZIPFileSystem* pFresh = ::new (storage) ZIPFileSystem();
    EXPECT_EQ(readToEnd(*pFile, 5), kAlpha);  // still reading through the first archive handle
    pFile = FileHandle();
    EXPECT_EQ(pFresh->getNbOfEntriesOpen(), 0u);
    m_log.clear();
    pFresh->~ZIPFileSystem();
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
}

TEST_F(ZipFsBindingTest, DestroyingAfterEveryHandleIsGoneReportsNothing) {
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(sampleArchive());
    ASSERT_TRUE(pFs);
    {
        FileHandle pFile = pFs->open("a.txt", 0);
        DirectoryHandle pDir = pFs->opendir("/");
        ASSERT_FALSE(pFile.isNull());
        ASSERT_FALSE(pDir.isNull());
        EntryHandle pEntry = pDir->read();
        ASSERT_FALSE(pEntry.isNull());
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 3u);
    }
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    m_log.clear();
    pFs.reset();
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
}

// ---- exists --------------------------------------------------------------------------------------------

TEST_F(ZipFsBindingTest, ExistsIsTrueForEveryPathWhileTheArchiveCanBeReopened) {
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(sampleArchive());
    ASSERT_TRUE(pFs);
    for (const char* path : {"a.txt", "/a.txt", "docs/", "docs/b.txt", "nothing", "/no/such/dir/", "", "/"}) {
        EXPECT_TRUE(pFs->exists(path)) << path;
    }
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
}

TEST_F(ZipFsBindingTest, ExistsAsksTheBoundHandleOnceTheArchiveFileIsGone) {
    const std::string path = sampleArchive();
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(path);
    ASSERT_TRUE(pFs);
    ASSERT_EQ(unlink(path.c_str()), 0);

    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_TRUE(pFs->exists("/docs/b.txt"));
    EXPECT_FALSE(pFs->exists("nothing"));
    EXPECT_FALSE(pFs->exists("docs/c.txt"));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    // The bound handle still reads the removed archive.
    FileHandle pFile = pFs->open("docs/b.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_TRUE(sameBytes(readToEnd(*pFile, 999), makeContent(5000, 2)));
}

// ---- trace scopes --------------------------------------------------------------------------------------

TEST_F(ZipFsBindingTest, ConstructionAndDestructionTraceTheirScopes) {
    delete new ZIPFileSystem;
    EXPECT_EQ(tracesOf(m_log),
              zipTraces({"ENTER: ZIPFileSystemImpl ctor", "EXIT: ZIPFileSystemImpl ctor", "ENTER: ZIPFileSystem ctor",
                         "EXIT: ZIPFileSystem ctor", "ENTER: ZIPFileSystemImpl dtor", "EXIT: ZIPFileSystemImpl dtor"}));
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
}

TEST_F(ZipFsBindingTest, EveryOperationTracesItsScope) {
    const std::string path = sampleArchive();
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    m_log.clear();

    ASSERT_TRUE(pFs->setZIPArchive(path.c_str()));
    EXPECT_EQ(tracesOf(m_log),
              zipTraces({"ENTER: ZIPFileSystemImpl::setZIPArchive", "EXIT: ZIPFileSystemImpl::setZIPArchive"}));
    m_log.clear();
    EXPECT_FALSE(pFs->open("a.txt", 0).isNull());
    EXPECT_FALSE(pFs->open("a.txt", 0, 0444).isNull());
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::open", "EXIT: ZIPFileSystemImpl::open",
                                          "ENTER: ZIPFileSystemImpl::open", "EXIT: ZIPFileSystemImpl::open"}));
    m_log.clear();
    EXPECT_FALSE(pFs->opendir("/").isNull());
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::opendir", "EXIT: ZIPFileSystemImpl::opendir"}));
    m_log.clear();
    // While the archive can be reopened, exists is answered by opendir alone.
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::exists", "ENTER: ZIPFileSystemImpl::opendir",
                                          "EXIT: ZIPFileSystemImpl::opendir", "EXIT: ZIPFileSystemImpl::exists"}));
    // Without the archive file, open answers inside the same scope.
    ASSERT_EQ(unlink(path.c_str()), 0);
    m_log.clear();
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl::exists", "ENTER: ZIPFileSystemImpl::opendir",
                                          "EXIT: ZIPFileSystemImpl::opendir", "ENTER: ZIPFileSystemImpl::open",
                                          "EXIT: ZIPFileSystemImpl::open", "EXIT: ZIPFileSystemImpl::exists"}));
}

// Runs the operations that trace, and a failed bind, on `fs`; then destroys it.
void exerciseAndDestroy(std::unique_ptr<ZIPFileSystem> pFs, const std::string& missing, const std::string& good) {
    EXPECT_FALSE(pFs->setZIPArchive(missing.c_str()));
    ASSERT_TRUE(pFs->setZIPArchive(good.c_str()));
    EXPECT_TRUE(pFs->exists("a.txt"));
    EXPECT_FALSE(pFs->open("a.txt", 0).isNull());
    EXPECT_FALSE(pFs->open("a.txt", 0, 0444).isNull());
    EXPECT_FALSE(pFs->opendir("/").isNull());
    pFs.reset();
}

TEST_F(ZipFsBindingTest, AnErrorLevelSetBeforeConstructionSilencesTracesButNotTheBindFailure) {
    const std::string good = sampleArchive();
    const std::string missing = m_dir.file("missing.zip");
    ScopedLoggerLevel level(kZipLogger, kErrorLogLevel);
    exerciseAndDestroy(std::unique_ptr<ZIPFileSystem>(new ZIPFileSystem), missing, good);
    EXPECT_EQ(tracesOf(m_log), std::vector<std::string>{});
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + missing, 76)}));
}

TEST_F(ZipFsBindingTest, ACachedErrorLevelSilencesTraces) {
    const std::string good = sampleArchive();
    const std::string missing = m_dir.file("missing.zip");
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    ASSERT_FALSE(tracesOf(m_log).empty());  // the constructor traced at the root's TRACE level
    pFs->getLogger().setCachedLogLevel(kErrorLogLevel);
    m_log.clear();
    exerciseAndDestroy(std::move(pFs), missing, good);
    EXPECT_EQ(tracesOf(m_log), std::vector<std::string>{});
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + missing, 76)}));
}

TEST_F(ZipFsBindingTest, AnInactiveLoggerSaysNothingAtAll) {
    const std::string good = sampleArchive();
    std::unique_ptr<ZIPFileSystem> pFs(new ZIPFileSystem);
    pFs->getLogger().setActive(false);
    m_log.clear();
    exerciseAndDestroy(std::move(pFs), m_dir.file("missing.zip"), good);
    EXPECT_EQ(m_log.eventsOf(kZipLogger).size(), 0u);
    EXPECT_EQ(m_log.events().size(), 0u);
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
