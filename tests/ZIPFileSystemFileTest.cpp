// Files of the ZIP file system: how names are looked up, what reads and seeks give for stored, deflated,
// empty and large members, closing, the refused operations, and the live-entry count.

#include <fcntl.h>
#include <zzip/zzip.h>

#include <algorithm>
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

const char kFileTag[] = "\"ZIPFileSystemImpl::File\"";
const std::size_t kMiB = 1024 * 1024;

class ZipFsFileTest : public ZipFsTest {
  protected:
    void SetUp() override {
        bind(ZipBuilder()
                 .add("docs/a.txt", "the member docs/a.txt")
                 .add("/docs/a.txt", "the member named with a leading slash")
                 .add("../a", "the member named ../a")
                 .add(".a", "the member named .a")
                 .add("stored.bin", makeContent(70001, 3, false))
                 .add("deflated.txt", makeContent(200003, 4), ZipBuilder::kDeflated)
                 .add("empty.txt", "")
                 .add("empty-deflated.txt", "", ZipBuilder::kDeflated));
    }

    void bind(const ZipBuilder& builder) {
        for (const ZipBuilder::Member& member : builder.members()) m_content[member.name] = member.data;
        m_pFs = bindTo(writeArchive(builder, "files" + std::to_string(++m_uiArchives) + ".zip"));
        ASSERT_TRUE(m_pFs);
    }

    void TearDown() override { m_pFs.reset(); }

    std::map<std::string, std::string> m_content;  // member name -> its bytes
    std::unique_ptr<ZIPFileSystem> m_pFs;
    unsigned int m_uiArchives = 0;
};

// One leading "/" or "./" is dropped and nothing else is normalised; ZZIP_CASELESS in the flags folds case.
// A name that finds nothing gives null, quietly; both forms of open look names up alike.
TEST_F(ZipFsFileTest, NamesLoseOneLeadingSlashOrDotSlashAndNothingElse) {
    // Pairs of the name given and the member it opens, which is also the file's path afterwards.
    const char* const found[] = {"/docs/a.txt",   "docs/a.txt",  "./docs/a.txt", "docs/a.txt",
                                 "docs/a.txt",    "docs/a.txt",  "//docs/a.txt", "/docs/a.txt",
                                 ".//docs/a.txt", "/docs/a.txt", "../a",         "../a",
                                 "/../a",         "../a",        "./.a",         ".a"};
    m_log.clear();
    for (std::size_t i = 0; i < sizeof(found) / sizeof(found[0]); i += 2) {
        for (FileHandle pFile : {m_pFs->open(found[i], 0), m_pFs->open(found[i], 0, 0644)}) {
            ASSERT_FALSE(pFile.isNull()) << found[i];
            EXPECT_STREQ(pFile->getPath(), found[i + 1]);
            EXPECT_EQ(readToEnd(*pFile, 100), m_content[found[i + 1]]);
        }
    }
    for (const char* name : {"DOCS/A.TXT", "docs//a.txt", "/./docs/a.txt", "docs/./a.txt", "x/../docs/a.txt",
                             "docs/a.txt/", "missing.txt", "docs/", "", "/"}) {
        EXPECT_TRUE(m_pFs->open(name, 0).isNull()) << name;
        EXPECT_TRUE(m_pFs->open(name, 0, 0444).isNull()) << name;
    }
    FileHandle pCaseless = m_pFs->open("DOCS/A.TXT", ZZIP_CASELESS);
    ASSERT_FALSE(pCaseless.isNull());
    EXPECT_EQ(readToEnd(*pCaseless, 100), m_content["docs/a.txt"]);
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
    EXPECT_EQ(diagnosticCount(), 0u);
}

TEST_F(ZipFsFileTest, ReadsGiveTheMemberBytesWhateverThePieceSize) {
    for (const char* name : {"docs/a.txt", "stored.bin", "deflated.txt", "empty.txt", "empty-deflated.txt"}) {
        for (unsigned int uiPiece : {1u, 7u, 4096u, 65536u + 3u}) {
            SCOPED_TRACE(std::string(name) + " in pieces of " + std::to_string(uiPiece));
            FileHandle pFile = m_pFs->open(name, 0);
            ASSERT_FALSE(pFile.isNull());
            int last = -2;
            EXPECT_TRUE(sameBytes(readToEnd(*pFile, uiPiece, &last), m_content[name]));
            EXPECT_EQ(last, 0);
            char byte;
            EXPECT_EQ(pFile->read(&byte, 1), 0);  // and it stays at the end
            EXPECT_EQ(pFile->lseek(0, SEEK_SET), 0);
            EXPECT_TRUE(sameBytes(readToEnd(*pFile, 65536), m_content[name]));
        }
    }
}

TEST_F(ZipFsFileTest, LargeMembersReadInOddPiecesAndAfterSeeks) {
    bind(ZipBuilder()
             .add("big-deflated.txt", makeContent(kMiB + kMiB / 2 + 123, 5), ZipBuilder::kDeflated)
             .add("big-stored.bin", makeContent(kMiB + 4097, 6, false)));
    for (const char* name : {"big-deflated.txt", "big-stored.bin"}) {
        SCOPED_TRACE(name);
        const std::string& content = m_content[name];
        const long size = static_cast<long>(content.size());
        for (unsigned int uiPiece : {4093u, 1048583u}) {
            FileHandle pFile = m_pFs->open(name, 0);
            ASSERT_FALSE(pFile.isNull());
            EXPECT_TRUE(sameBytes(readToEnd(*pFile, uiPiece), content)) << "pieces of " << uiPiece;
        }
        FileHandle pFile = m_pFs->open(name, 0);
        ASSERT_FALSE(pFile.isNull());
        // (offset, whence) -> the position it gives, then how many bytes are read there.
        const struct {
            long offset;
            int whence;
            long position;
            unsigned int count;
        } steps[] = {{1000001, SEEK_SET, 1000001, 777},
                     {-500000, SEEK_CUR, 500778, 65539},
                     {12345, SEEK_CUR, 578662, 3},
                     {-1234, SEEK_END, size - 1234, 5000},  // only 1234 remain
                     {0, SEEK_SET, 0, 4096}};
        for (const auto& step : steps) {
            ASSERT_EQ(pFile->lseek(step.offset, step.whence), step.position);
            std::string buffer(step.count, '\0');
            buffer.resize(std::max(0, pFile->read(&buffer[0], step.count)));
            EXPECT_TRUE(sameBytes(buffer, content.substr(step.position, step.count))) << "at " << step.position;
        }
    }
}

TEST_F(ZipFsFileTest, AClosedFileRefusesReadAndSeekButKeepsItsPath) {
    FileHandle pFile = m_pFs->open("/docs/a.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    m_log.clear();
    EXPECT_EQ(pFile->close(), 0);
    EXPECT_EQ(pFile->close(), -1);
    EXPECT_EQ(diagnosticCount(), 0u);
    char buffer[16];
    EXPECT_EQ(pFile->read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(pFile->lseek(0, SEEK_SET), -1);
    EXPECT_EQ(diagnosticCount(), 2u);
    EXPECT_STREQ(pFile->getPath(), "docs/a.txt");
}

TEST_F(ZipFsFileTest, OpeningAnOpenFileAgainSwitchesMembersOrLeavesItNotOpened) {
    FileHandle pFile = m_pFs->open("deflated.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    char buffer[100];
    ASSERT_EQ(pFile->read(buffer, sizeof(buffer)), 100);
    ASSERT_EQ(pFile->open("/.a", 0), 0);
    EXPECT_STREQ(pFile->getPath(), ".a");
    EXPECT_EQ(readToEnd(*pFile, 64), m_content[".a"]);

    m_log.clear();
    EXPECT_EQ(pFile->open("missing.txt", 0), -1);
    EXPECT_STREQ(pFile->getPath(), "");
    EXPECT_EQ(diagnosticCount(), 0u);
    EXPECT_EQ(pFile->close(), -1);
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
}

// Every write fails, open or closed, whatever the access mode; the access mode is not examined for reading.
TEST_F(ZipFsFileTest, WritingAlwaysFails) {
    FileHandle pReader = m_pFs->open("docs/a.txt", O_RDONLY);
    FileHandle pWriter = m_pFs->open("docs/a.txt", O_WRONLY);
    FileHandle pBoth = m_pFs->open("docs/a.txt", O_RDWR, 0644);
    ASSERT_FALSE(pReader.isNull() || pWriter.isNull() || pBoth.isNull());
    pReader->close();
    m_log.clear();
    for (FileHandle* pFile : {&pReader, &pWriter, &pBoth}) {
        EXPECT_EQ((*pFile)->write("x", 1), -1);
        EXPECT_EQ((*pFile)->write("", 0), -1);
    }
    EXPECT_EQ(diagnosticCount(), 6u);
    EXPECT_EQ(readToEnd(*pWriter, 3), m_content["docs/a.txt"]);
    EXPECT_EQ(readToEnd(*pBoth, 3), m_content["docs/a.txt"]);
}

// Creating and null names are refused with a diagnostic each, whether the file system is bound or not; an
// unbound file system opens nothing, quietly.
TEST_F(ZipFsFileTest, RefusedOpensGiveNullAndLeaveNoEntry) {
    std::unique_ptr<ZIPFileSystem> pUnbound(new ZIPFileSystem);
    for (ZIPFileSystem* pFs : {m_pFs.get(), pUnbound.get()}) {
        m_log.clear();
        EXPECT_TRUE(pFs->open("docs/a.txt", O_CREAT).isNull());
        EXPECT_TRUE(pFs->open("new.txt", O_CREAT | O_WRONLY, 0644).isNull());
        EXPECT_TRUE(pFs->open(nullptr, 0, 0).isNull());
        EXPECT_TRUE(pFs->open(nullptr, 0).isNull());
        EXPECT_EQ(diagnosticCount(), 4u);
        EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
    }
    m_log.clear();
    EXPECT_TRUE(pUnbound->open("docs/a.txt", 0).isNull());
    EXPECT_TRUE(pUnbound->open("docs/a.txt", 0, 0444).isNull());
    EXPECT_EQ(diagnosticCount(), 0u);
}

TEST_F(ZipFsFileTest, AFileCountsWhileAnyCopyOfItsHandleLives) {
    const std::uint64_t uiBlocksBefore = StaticMemAllocator::statsFor(kFileTag).liveBlocks;
    FileHandle pFile = m_pFs->open("deflated.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_EQ(StaticMemAllocator::statsFor(kFileTag).liveBlocks, uiBlocksBefore + 1);
    FileHandle pCopy = pFile;
    EntryHandle pAsEntry = pFile;
    EXPECT_EQ(pFile->close(), 0);
    pFile = FileHandle();
    pCopy = FileHandle();
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);  // closed, but one handle is left
    pAsEntry = EntryHandle();
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
    EXPECT_EQ(StaticMemAllocator::statsFor(kFileTag).liveBlocks, uiBlocksBefore);

    // Open files let go without closing count down the same way.
    {
        FileHandle pOpen = m_pFs->open("stored.bin", 0);
        FileHandle pOther = m_pFs->open("docs/a.txt", 0);
        EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 2u);
    }
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
    EXPECT_EQ(StaticMemAllocator::statsFor(kFileTag).liveBlocks, uiBlocksBefore);
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
