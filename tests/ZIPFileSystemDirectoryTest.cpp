// Directories of the ZIP file system: which members a directory lists and in what order, the entries it
// hands out, members it cannot hand out, the end of a walk, rewinding and seeking, closing, and counts.

#include <unistd.h>
#include <zzip/zzip.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ZipFsFixture.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace Testing {
namespace {

typedef std::vector<std::string> Names;

const char kDirectoryTag[] = "\"ZIPFileSystemImpl::Directory\"";
const Names kRootNames = {"file:a.txt", "dir:docs/"};
const Names kDocsNames = {"file:docs/b.txt", "dir:docs/img/"};

class ZipFsDirectoryTest : public ZipFsTest {
  protected:
    // The tree a.txt, docs/, docs/b.txt, docs/img/, docs/img/c.png in that stored order.
    void SetUp() override {
        m_strPath = writeArchive(ZipBuilder()
                                     .add("a.txt", "A")
                                     .addDirectory("docs/")
                                     .add("docs/b.txt", makeContent(3000, 1), ZipBuilder::kDeflated)
                                     .addDirectory("docs/img/")
                                     .add("docs/img/c.png", makeContent(500, 2, false)),
                                 "tree.zip");
        m_pFs = bindTo(m_strPath);
        ASSERT_TRUE(m_pFs);
    }

    void TearDown() override { m_pFs.reset(); }

    // The whole listing of a directory opened by `name`; fails the test if opendir gives null.
    Names listing(ZIPFileSystem& fs, const char* name) {
        DirectoryHandle pDir = fs.opendir(name);
        EXPECT_FALSE(pDir.isNull()) << name;
        if (pDir.isNull()) return Names{"<null>"};
        return listRest(*pDir);
    }

    std::unique_ptr<ZIPFileSystem> bindToMembers(const std::vector<std::string>& names, const char* archiveName) {
        ZipBuilder builder;
        for (const std::string& name : names) builder.add(name, "content of " + name);
        return bindTo(writeArchive(builder, archiveName));
    }

    std::string m_strPath;
    std::unique_ptr<ZIPFileSystem> m_pFs;
};

// ---- what is listed ------------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, EachDirectoryListsItsOwnMembersInStoredOrder) {
    const std::pair<const char*, Names> cases[] = {
        {"/", kRootNames},
        {"", kRootNames},
        {"/docs/", kDocsNames},
        {"docs/", kDocsNames},
        {"docs/img/", {"file:docs/img/c.png"}},
    };
    for (const auto& c : cases) EXPECT_EQ(listing(*m_pFs, c.first), c.second) << "opendir(\"" << c.first << "\")";
}

TEST_F(ZipFsDirectoryTest, NamesThatMatchNoPrefixGiveEmptyListings) {
    for (const char* name : {"/docs", "docs", "./docs/", "//docs/", "/nothing/", "DOCS/"}) {
        DirectoryHandle pDir = m_pFs->opendir(name);
        ASSERT_FALSE(pDir.isNull()) << name;
        EXPECT_TRUE(pDir->read().isNull()) << name;
    }
}

TEST_F(ZipFsDirectoryTest, ImpliedDirectoriesAreNeverMadeUp) {
    std::unique_ptr<ZIPFileSystem> pFs = bindToMembers({"x/y/z.txt"}, "deep.zip");
    ASSERT_TRUE(pFs);
    EXPECT_EQ(listing(*pFs, "/"), Names{});
    EXPECT_EQ(listing(*pFs, "/x/"), Names{});
    EXPECT_EQ(listing(*pFs, "/x/y/"), Names{"file:x/y/z.txt"});
}

TEST_F(ZipFsDirectoryTest, DuplicateAndOddNamesAreListedAsStored) {
    ZipBuilder builder;
    builder.add("dup.txt", "first").add("dup.txt", "second").addDirectory("docs//").add("docs/b.txt", "b");
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(writeArchive(builder, "odd.zip"));
    ASSERT_TRUE(pFs);
    EXPECT_EQ(listing(*pFs, "/"), (Names{"file:dup.txt", "file:dup.txt"}));
    EXPECT_EQ(listing(*pFs, "docs/"), (Names{"dir:docs//", "file:docs/b.txt"}));
}

// ---- handed-out entries --------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, HandedOutEntriesAreClosedUntilOpenedByTheirOwnPath) {
    DirectoryHandle pRoot = m_pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    FileHandle pFile = pRoot->read();
    DirectoryHandle pDocs = pRoot->read();
    ASSERT_FALSE(pFile.isNull());
    ASSERT_FALSE(pDocs.isNull());
    m_log.clear();

    char byte;
    EXPECT_EQ(pFile->read(&byte, 1), -1);
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("!m_pFile.isNull()", 242)}));
    EXPECT_EQ(pFile->close(), -1);
    ASSERT_EQ(pFile->open(pFile->getPath(), 0), 0);
    EXPECT_STREQ(pFile->getPath(), "a.txt");
    EXPECT_EQ(readToEnd(*pFile, 8), "A");

    EXPECT_TRUE(pDocs->read().isNull());
    EXPECT_EQ(pDocs->close(), -1);
    ASSERT_EQ(pDocs->open(pDocs->getPath()), 0);
    EXPECT_STREQ(pDocs->getPath(), "docs/");
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    // Its own handed-out directory, opened in turn, lists the next level (path with its trailing slash).
    ASSERT_EQ(pDocs->open("docs/"), 0);
    pDocs->read();
    DirectoryHandle pImg = pDocs->read();
    ASSERT_FALSE(pImg.isNull());
    EXPECT_STREQ(pImg->getPath(), "docs/img/");
    ASSERT_EQ(pImg->open(pImg->getPath()), 0);
    EXPECT_EQ(listRest(*pImg), Names{"file:docs/img/c.png"});
}

TEST_F(ZipFsDirectoryTest, MembersOfUnsupportedMethodsAreSkippedWithOneLineEach) {
    ZipBuilder builder;
    builder.add("a.txt", "a")
        .add("weird99.bin", "?", 99)
        .add("b.txt", "b")
        .add("weird12.bin", "??", 12)
        .add("c.txt", "c");
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(writeArchive(builder, "methods.zip"));
    ASSERT_TRUE(pFs);
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    const std::string kTail = " is neither a file nor a directory. NOT SUPPORTED YET";

    m_log.clear();
    EntryHandle pA = pRoot->read();
    ASSERT_FALSE(pA.isNull());
    EXPECT_STREQ(pA->getPath(), "a.txt");
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
    EntryHandle pB = pRoot->read();
    ASSERT_FALSE(pB.isNull());
    EXPECT_STREQ(pB->getPath(), "b.txt");
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kErrorLogLevel, "Current entry weird99.bin" + kTail, 370)}));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 3u);  // the refused member's entry is already gone

    m_log.clear();
    EntryHandle pC = pRoot->read();
    ASSERT_FALSE(pC.isNull());
    EXPECT_STREQ(pC->getPath(), "c.txt");
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kErrorLogLevel, "Current entry weird12.bin" + kTail, 370)}));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 4u);
    EXPECT_TRUE(pRoot->read().isNull());
}

TEST_F(ZipFsDirectoryTest, AnEmptyMemberNameStopsOneRead) {
    std::unique_ptr<ZIPFileSystem> pFs = bindToMembers({"a.txt", "", "b.txt"}, "empty-name.zip");
    ASSERT_TRUE(pFs);
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    EntryHandle pA = pRoot->read();
    ASSERT_FALSE(pA.isNull());
    EXPECT_STREQ(pA->getPath(), "a.txt");
    m_log.clear();
    EXPECT_TRUE(pRoot->read().isNull());
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("!strNewEntryPathFromArchive.empty()", 321)}));
    EntryHandle pB = pRoot->read();
    ASSERT_FALSE(pB.isNull());
    EXPECT_STREQ(pB->getPath(), "b.txt");
    EXPECT_TRUE(pRoot->read().isNull());
}

// ---- end, rewind, seek ---------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, TheEndIsStickyAndRewindStartsAgain) {
    DirectoryHandle pDocs = m_pFs->opendir("docs/");
    ASSERT_FALSE(pDocs.isNull());
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    EXPECT_TRUE(pDocs->read().isNull());
    EXPECT_TRUE(pDocs->read().isNull());
    pDocs->rewind();
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    // Rewinding in the middle as well.
    pDocs->rewind();
    ASSERT_FALSE(pDocs->read().isNull());
    pDocs->rewind();
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
}

// Member name -> the position zziplib's own walk reports just before reading that member.
std::map<std::string, long> telldirPositions(const std::string& archive) {
    std::map<std::string, long> positions;
    zzip_error_t error = ZZIP_NO_ERROR;
    ZZIP_DIR* pDir = zzip_dir_open(archive.c_str(), &error);
    if (!pDir) return positions;
    ZZIP_DIRENT dirent;
    for (;;) {
        const long position = static_cast<long>(zzip_telldir(pDir));
        if (!zzip_dir_read(pDir, &dirent)) break;
        positions[dirent.d_name] = position;
    }
    zzip_dir_close(pDir);
    return positions;
}

TEST_F(ZipFsDirectoryTest, SeekGoesToPositionsTheWalkReportsAndIgnoresOthers) {
    const std::map<std::string, long> positions = telldirPositions(m_strPath);
    ASSERT_EQ(positions.size(), 5u);
    ASSERT_EQ(positions.at("a.txt"), 0);
    DirectoryHandle pDocs = m_pFs->opendir("docs/");
    ASSERT_FALSE(pDocs.isNull());

    pDocs->seek(positions.at("docs/img/"));
    EXPECT_EQ(listRest(*pDocs), Names{"dir:docs/img/"});
    // From a member of another directory the walk filters on to the next of its own.
    pDocs->seek(positions.at("a.txt"));
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    pDocs->seek(positions.at("docs/b.txt"));
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    // seek(0) is a rewind.
    pDocs->rewind();
    ASSERT_FALSE(pDocs->read().isNull());
    pDocs->seek(0);
    EXPECT_EQ(listRest(*pDocs), kDocsNames);

    // Positions no walk reports leave the walk where it was: at the start, in the middle and at the end.
    for (long offset : {-1L, 3L, 1L << 40, positions.at("docs/b.txt") + 1}) {
        SCOPED_TRACE(offset);
        pDocs->rewind();
        pDocs->seek(offset);
        EXPECT_EQ(listRest(*pDocs), kDocsNames);
        pDocs->rewind();
        ASSERT_FALSE(pDocs->read().isNull());
        pDocs->seek(offset);
        EXPECT_EQ(listRest(*pDocs), Names{"dir:docs/img/"});
        pDocs->seek(offset);
        EXPECT_TRUE(pDocs->read().isNull());
    }
}

// ---- closing -------------------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, ClosingEndsTheWalkAndIsHarmlessTwice) {
    DirectoryHandle pRoot = m_pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    ASSERT_FALSE(pRoot->read().isNull());
    EXPECT_EQ(pRoot->close(), 0);
    EXPECT_EQ(pRoot->close(), -1);
    EXPECT_TRUE(pRoot->read().isNull());
    pRoot->seek(0);
    pRoot->rewind();
    EXPECT_TRUE(pRoot->read().isNull());
    // Opened again, it walks from the start.
    ASSERT_EQ(pRoot->open("/"), 0);
    EXPECT_EQ(listRest(*pRoot), kRootNames);
}

// ---- no archive ----------------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, WithoutAnArchiveToOpenThereIsNoDirectory) {
    std::unique_ptr<ZIPFileSystem> pUnbound(new ZIPFileSystem);
    m_log.clear();
    EXPECT_TRUE(pUnbound->opendir("/").isNull());
    EXPECT_EQ(diagnosticsOf(m_log), expected({zipLineAt(kDebugLogLevel, "Error opening ZIP archive ", 284)}));
    EXPECT_EQ(pUnbound->getNbOfEntriesOpen(), 0u);

    ASSERT_EQ(unlink(m_strPath.c_str()), 0);
    m_log.clear();
    EXPECT_TRUE(m_pFs->opendir("docs/").isNull());
    EXPECT_EQ(diagnosticsOf(m_log),
              expected({zipLineAt(kDebugLogLevel, "Error opening ZIP archive " + m_strPath, 284)}));
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
}

// ---- counts --------------------------------------------------------------------------------------------

TEST_F(ZipFsDirectoryTest, DirectoriesAndHandedOutEntriesCount) {
    const std::uint64_t uiBlocksBefore = StaticMemAllocator::statsFor(kDirectoryTag).liveBlocks;
    {
        DirectoryHandle pRoot = m_pFs->opendir("/");
        ASSERT_FALSE(pRoot.isNull());
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
        EXPECT_EQ(StaticMemAllocator::statsFor(kDirectoryTag).liveBlocks, uiBlocksBefore + 1);
        EntryHandle pFirst = pRoot->read();
        EntryHandle pSecond = pRoot->read();
        ASSERT_FALSE(pSecond.isNull());
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 3u);
        EXPECT_EQ(StaticMemAllocator::statsFor(kDirectoryTag).liveBlocks, uiBlocksBefore + 2);  // docs/ is one
        EXPECT_TRUE(pRoot->read().isNull());
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 3u);
        pRoot = DirectoryHandle();
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 2u);
    }
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
    EXPECT_EQ(StaticMemAllocator::statsFor(kDirectoryTag).liveBlocks, uiBlocksBefore);
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
