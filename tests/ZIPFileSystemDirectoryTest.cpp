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

    // The whole listing of a directory opened by `name`.
    static Names listing(ZIPFileSystem& fs, const char* name) {
        DirectoryHandle pDir = fs.opendir(name);
        return pDir.isNull() ? Names{"<null>"} : listRest(*pDir);
    }

    std::string m_strPath;
    std::unique_ptr<ZIPFileSystem> m_pFs;
};

// A directory lists the members whose parent prefix is exactly its path (less one leading "/"), as stored:
// duplicates twice, odd names as they are, implied directories never.
TEST_F(ZipFsDirectoryTest, EachDirectoryListsItsOwnMembersInStoredOrder) {
    std::unique_ptr<ZIPFileSystem> pOdd = bindTo(writeArchive(ZipBuilder()
                                                                  .add("x/y/z.txt", "z")
                                                                  .add("dup.txt", "1")
                                                                  .add("dup.txt", "2")
                                                                  .addDirectory("docs//")
                                                                  .add("docs/b.txt", "b"),
                                                              "odd.zip"));
    ASSERT_TRUE(pOdd);
    const struct {
        ZIPFileSystem* pFs;
        const char* name;
        Names wanted;
    } cases[] = {
        {m_pFs.get(), "/", kRootNames},
        {m_pFs.get(), "", kRootNames},
        {m_pFs.get(), "/docs/", kDocsNames},
        {m_pFs.get(), "docs/", kDocsNames},
        {m_pFs.get(), "docs/img/", {"file:docs/img/c.png"}},
        {m_pFs.get(), "/docs", {}},
        {m_pFs.get(), "docs", {}},
        {m_pFs.get(), "./docs/", {}},
        {m_pFs.get(), "//docs/", {}},
        {m_pFs.get(), "/nothing/", {}},
        {m_pFs.get(), "DOCS/", {}},
        {pOdd.get(), "/", {"file:dup.txt", "file:dup.txt"}},
        {pOdd.get(), "/x/", {}},
        {pOdd.get(), "/x/y/", {"file:x/y/z.txt"}},
        {pOdd.get(), "docs/", {"dir:docs//", "file:docs/b.txt"}},
    };
    for (const auto& c : cases) EXPECT_EQ(listing(*c.pFs, c.name), c.wanted) << "opendir(\"" << c.name << "\")";
}

TEST_F(ZipFsDirectoryTest, HandedOutEntriesAreClosedUntilOpenedByTheirOwnPath) {
    DirectoryHandle pRoot = m_pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    FileHandle pFile = pRoot->read();
    DirectoryHandle pDocs = pRoot->read();
    ASSERT_FALSE(pFile.isNull() || pDocs.isNull());

    m_log.clear();
    char byte;
    EXPECT_EQ(pFile->read(&byte, 1), -1);
    EXPECT_EQ(diagnosticCount(), 1u);
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
    ASSERT_EQ(pImg->open(pImg->getPath()), 0);
    EXPECT_EQ(listRest(*pImg), Names{"file:docs/img/c.png"});
}

TEST_F(ZipFsDirectoryTest, MembersOfUnsupportedMethodsAreSkippedWithOneLineEach) {
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(writeArchive(ZipBuilder()
                                                                 .add("a.txt", "a")
                                                                 .add("weird99.bin", "?", 99)
                                                                 .add("b.txt", "b")
                                                                 .add("weird12.bin", "??", 12)
                                                                 .add("c.txt", "c"),
                                                             "methods.zip"));
    ASSERT_TRUE(pFs);
    DirectoryHandle pRoot = pFs->opendir("/");
    ASSERT_FALSE(pRoot.isNull());
    std::vector<EntryHandle> kept;  // holding the entries shows that the refused ones are gone already
    for (const char* wanted : {"a.txt", "b.txt", "c.txt"}) {
        m_log.clear();
        kept.push_back(pRoot->read());
        ASSERT_FALSE(kept.back().isNull());
        EXPECT_STREQ(kept.back()->getPath(), wanted);
        EXPECT_EQ(diagnosticCount(), kept.size() == 1 ? 0u : 1u) << wanted;
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 1u + kept.size());
    }
    EXPECT_TRUE(pRoot->read().isNull());
}

TEST_F(ZipFsDirectoryTest, TheEndIsStickyAndRewindStartsAgain) {
    DirectoryHandle pDocs = m_pFs->opendir("docs/");
    ASSERT_FALSE(pDocs.isNull());
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    EXPECT_TRUE(pDocs->read().isNull());
    EXPECT_TRUE(pDocs->read().isNull());
    pDocs->rewind();
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
    pDocs->rewind();
    ASSERT_FALSE(pDocs->read().isNull());
    pDocs->rewind();  // in the middle as well
    EXPECT_EQ(listRest(*pDocs), kDocsNames);
}

// Member name -> the position zziplib's own walk reports just before reading that member.
std::map<std::string, long> telldirPositions(const std::string& archive) {
    std::map<std::string, long> positions;
    zzip_error_t error = ZZIP_NO_ERROR;
    ZZIP_DIR* pDir = zzip_dir_open(archive.c_str(), &error);
    if (!pDir) return positions;
    ZZIP_DIRENT dirent;
    for (long position = zzip_telldir(pDir); zzip_dir_read(pDir, &dirent); position = zzip_telldir(pDir))
        positions[dirent.d_name] = position;
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
    // From a member of another directory the walk filters on to the next of its own; seek(0) is a rewind.
    for (long position : {positions.at("a.txt"), positions.at("docs/b.txt")}) {
        pDocs->seek(position);
        EXPECT_EQ(listRest(*pDocs), kDocsNames);
    }
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
    ASSERT_EQ(pRoot->open("/"), 0);  // opened again, it walks from the start
    EXPECT_EQ(listRest(*pRoot), kRootNames);
}

TEST_F(ZipFsDirectoryTest, WithoutAnArchiveToOpenThereIsNoDirectory) {
    std::unique_ptr<ZIPFileSystem> pUnbound(new ZIPFileSystem);
    ASSERT_EQ(unlink(m_strPath.c_str()), 0);
    for (ZIPFileSystem* pFs : {pUnbound.get(), m_pFs.get()}) {
        m_log.clear();
        EXPECT_TRUE(pFs->opendir("docs/").isNull());
        EXPECT_EQ(diagnosticCount(), 1u);
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    }
}

TEST_F(ZipFsDirectoryTest, DirectoriesAndHandedOutEntriesCount) {
    const std::uint64_t uiBlocksBefore = StaticMemAllocator::statsFor(kDirectoryTag).liveBlocks;
    {
        DirectoryHandle pRoot = m_pFs->opendir("/");
        ASSERT_FALSE(pRoot.isNull());
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
        EntryHandle pFirst = pRoot->read();
        EntryHandle pSecond = pRoot->read();
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
