// Files of the ZIP file system: how names are looked up, what reads and seeks give for stored, deflated,
// empty and large members, closing, the refused operations, and the live-entry count.

#include <fcntl.h>
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

const char kFileTag[] = "\"ZIPFileSystemImpl::File\"";
const std::size_t kMiB = 1024 * 1024;

class ZipFsFileTest : public ZipFsTest {
  protected:
    void SetUp() override {
        ZipBuilder builder;
        builder.add("docs/a.txt", "the member docs/a.txt")
            .add("/docs/a.txt", "the member named with a leading slash")
            .add("../a", "the member named ../a")
            .add(".a", "the member named .a")
            .add("stored.bin", makeContent(70001, 3, false))
            .add("deflated.txt", makeContent(200003, 4), ZipBuilder::kDeflated)
            .add("empty.txt", "")
            .add("empty-deflated.txt", "", ZipBuilder::kDeflated);
        bind(builder);
    }

    void bind(const ZipBuilder& builder) {
        m_content.clear();
        for (const ZipBuilder::Member& member : builder.members()) m_content[member.name] = member.data;
        m_pFs = bindTo(writeArchive(builder, "files" + std::to_string(++m_uiArchives) + ".zip"));
        ASSERT_TRUE(m_pFs);
    }

    void TearDown() override { m_pFs.reset(); }

    std::map<std::string, std::string> m_content;  // member name -> its bytes
    std::unique_ptr<ZIPFileSystem> m_pFs;
    unsigned int m_uiArchives = 0;
};

// ---- names ---------------------------------------------------------------------------------------------

TEST_F(ZipFsFileTest, OneLeadingSlashOrDotSlashIsDropped) {
    FileHandle pFiles[] = {m_pFs->open("/docs/a.txt", O_RDONLY), m_pFs->open("./docs/a.txt", 0),
                           m_pFs->open("docs/a.txt", 0, 0644)};
    for (FileHandle& pFile : pFiles) {
        ASSERT_FALSE(pFile.isNull());
        EXPECT_STREQ(pFile->getPath(), "docs/a.txt");
        EXPECT_EQ(readToEnd(*pFile, 100), m_content["docs/a.txt"]);
    }
}

TEST_F(ZipFsFileTest, NothingElseOfTheNameIsNormalised) {
    // name given -> member opened (its stored name is the path)
    const std::pair<const char*, const char*> found[] = {
        {"//docs/a.txt", "/docs/a.txt"},
        {".//docs/a.txt", "/docs/a.txt"},
        {"../a", "../a"},
        {"/../a", "../a"},
        {".a", ".a"},
        {"./.a", ".a"},
    };
    for (const auto& f : found) {
        SCOPED_TRACE(f.first);
        FileHandle pFile = m_pFs->open(f.first, 0);
        ASSERT_FALSE(pFile.isNull());
        EXPECT_STREQ(pFile->getPath(), f.second);
        EXPECT_EQ(readToEnd(*pFile, 100), m_content[f.second]);
    }
    for (const char* name : {"docs//a.txt", "/./docs/a.txt", "docs/./a.txt", "x/../docs/a.txt", "docs/a.txt/", "a"}) {
        EXPECT_TRUE(m_pFs->open(name, 0).isNull()) << name;
    }
}

TEST_F(ZipFsFileTest, CaselessLookupIsAskedForInTheFlags) {
    EXPECT_TRUE(m_pFs->open("DOCS/A.TXT", 0).isNull());
    FileHandle pFile = m_pFs->open("DOCS/A.TXT", ZZIP_CASELESS);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_EQ(ZZIP_CASELESS, 0x1000);
    EXPECT_EQ(readToEnd(*pFile, 100), m_content["docs/a.txt"]);
}

TEST_F(ZipFsFileTest, MissingMembersAndUnboundFileSystemsGiveNullQuietly) {
    m_log.clear();
    for (const char* name : {"missing.txt", "docs/", "docs", "", "/"}) {
        EXPECT_TRUE(m_pFs->open(name, 0).isNull()) << name;
        EXPECT_TRUE(m_pFs->open(name, 0, 0444).isNull()) << name;
    }
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
    std::unique_ptr<ZIPFileSystem> pUnbound(new ZIPFileSystem);
    EXPECT_TRUE(pUnbound->open("docs/a.txt", 0).isNull());
    EXPECT_TRUE(pUnbound->open("docs/a.txt", 0, 0444).isNull());
    EXPECT_EQ(pUnbound->getNbOfEntriesOpen(), 0u);
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
}

// ---- reading and seeking -------------------------------------------------------------------------------

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
            // Back to byte 0: the whole member again.
            EXPECT_EQ(pFile->lseek(0, SEEK_SET), 0);
            EXPECT_TRUE(sameBytes(readToEnd(*pFile, 65536), m_content[name]));
        }
    }
}

// Reads `count` bytes at the current position and compares them with the member's bytes at `at`.
::testing::AssertionResult readsAt(VirtualFileSystem::File& file, const std::string& content, std::size_t at,
                                   unsigned int count) {
    std::string buffer(count, '\0');
    const int got = file.read(&buffer[0], count);
    if (got < 0) return ::testing::AssertionFailure() << "read failed at " << at;
    buffer.resize(got);
    const std::string wanted = at < content.size() ? content.substr(at, count) : std::string();
    return sameBytes(buffer, wanted);
}

TEST_F(ZipFsFileTest, LargeMembersReadInOddPiecesAndAfterSeeks) {
    bind(ZipBuilder()
             .add("big-deflated.txt", makeContent(kMiB + kMiB / 2 + 123, 5), ZipBuilder::kDeflated)
             .add("big-stored.bin", makeContent(kMiB + 4097, 6, false)));
    for (const char* name : {"big-deflated.txt", "big-stored.bin"}) {
        SCOPED_TRACE(name);
        const std::string& content = m_content[name];
        const long size = static_cast<long>(content.size());
        ASSERT_GT(content.size(), kMiB);
        for (unsigned int uiPiece : {4093u, 65539u, 1048583u}) {
            FileHandle pFile = m_pFs->open(name, 0);
            ASSERT_FALSE(pFile.isNull());
            EXPECT_TRUE(sameBytes(readToEnd(*pFile, uiPiece), content)) << "pieces of " << uiPiece;
        }
        FileHandle pFile = m_pFs->open(name, 0);
        ASSERT_FALSE(pFile.isNull());
        EXPECT_EQ(pFile->lseek(1000001, SEEK_SET), 1000001);
        EXPECT_TRUE(readsAt(*pFile, content, 1000001, 777));
        EXPECT_EQ(pFile->lseek(-500000, SEEK_CUR), 1000001 + 777 - 500000);
        EXPECT_TRUE(readsAt(*pFile, content, 1000001 + 777 - 500000, 65539));
        EXPECT_EQ(pFile->lseek(12345, SEEK_CUR), 1000001 + 777 - 500000 + 65539 + 12345);
        EXPECT_TRUE(readsAt(*pFile, content, 1000001 + 777 - 500000 + 65539 + 12345, 3));
        EXPECT_EQ(pFile->lseek(-1234, SEEK_END), size - 1234);
        EXPECT_TRUE(readsAt(*pFile, content, size - 1234, 5000));  // only 1234 remain
        char byte;
        EXPECT_EQ(pFile->read(&byte, 1), 0);
        EXPECT_EQ(pFile->lseek(0, SEEK_SET), 0);
        EXPECT_TRUE(readsAt(*pFile, content, 0, 4096));
    }
}

// ---- closing, writing, refused opens -------------------------------------------------------------------

TEST_F(ZipFsFileTest, AClosedFileRefusesReadAndSeekButKeepsItsPath) {
    FileHandle pFile = m_pFs->open("/docs/a.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    m_log.clear();
    EXPECT_EQ(pFile->close(), 0);
    EXPECT_EQ(pFile->close(), -1);
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));

    char buffer[16];
    EXPECT_EQ(pFile->read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("!m_pFile.isNull()", 242)}));
    m_log.clear();
    EXPECT_EQ(pFile->lseek(0, SEEK_SET), -1);
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("!m_pFile.isNull()", 250)}));
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
    EXPECT_EQ(diagnosticsOf(m_log), expected({}));
    EXPECT_EQ(pFile->read(buffer, 1), -1);
    EXPECT_EQ(pFile->close(), -1);
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
}

TEST_F(ZipFsFileTest, WritingAlwaysFails) {
    FileHandle pReader = m_pFs->open("docs/a.txt", O_RDONLY);
    FileHandle pWriter = m_pFs->open("docs/a.txt", O_WRONLY);
    FileHandle pBoth = m_pFs->open("docs/a.txt", O_RDWR, 0644);
    ASSERT_FALSE(pReader.isNull());
    ASSERT_FALSE(pWriter.isNull());
    ASSERT_FALSE(pBoth.isNull());
    pReader->close();
    for (FileHandle* pFile : {&pReader, &pWriter, &pBoth}) {
        m_log.clear();
        EXPECT_EQ((*pFile)->write("x", 1), -1);
        EXPECT_EQ((*pFile)->write("", 0), -1);
        EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("0", 236), assertionAt("0", 236)}));
    }
    // The access mode is not examined: a member opened for writing reads as any other.
    EXPECT_EQ(readToEnd(*pWriter, 3), m_content["docs/a.txt"]);
    EXPECT_EQ(readToEnd(*pBoth, 3), m_content["docs/a.txt"]);
}

TEST_F(ZipFsFileTest, CreatingIsRefused) {
    m_log.clear();
    EXPECT_TRUE(m_pFs->open("docs/a.txt", O_CREAT).isNull());
    EXPECT_EQ(diagnosticsOf(m_log),
              expected({zipLineAt(kErrorLogLevel, "You must provide a mode if you are creating a new file", 183)}));
    m_log.clear();
    EXPECT_TRUE(m_pFs->open("new.txt", O_CREAT | O_WRONLY, 0644).isNull());
    EXPECT_EQ(diagnosticsOf(m_log), expected({assertionAt("(flags & O_CREAT) == 0", 194)}));
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
}

TEST_F(ZipFsFileTest, ANullNameIsRefused) {
    m_log.clear();
    EXPECT_TRUE(m_pFs->open(nullptr, 0, 0).isNull());
    EXPECT_TRUE(m_pFs->open(nullptr, 0).isNull());
    const Diagnostic refused = assertionAt("pathname && \"please specify a file name\"", 198);
    EXPECT_EQ(diagnosticsOf(m_log), expected({refused, refused}));
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
}

// ---- the live-entry count ------------------------------------------------------------------------------

TEST_F(ZipFsFileTest, AFileCountsWhileAnyCopyOfItsHandleLives) {
    const std::uint64_t uiBlocksBefore = StaticMemAllocator::statsFor(kFileTag).liveBlocks;
    FileHandle pFile = m_pFs->open("deflated.txt", 0);
    ASSERT_FALSE(pFile.isNull());
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
    EXPECT_EQ(StaticMemAllocator::statsFor(kFileTag).liveBlocks, uiBlocksBefore + 1);

    FileHandle pCopy = pFile;
    EntryHandle pAsEntry = pFile;
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
    EXPECT_EQ(pFile->close(), 0);
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);  // closed but alive
    pFile = FileHandle();
    pCopy = FileHandle();
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 1u);
    pAsEntry = EntryHandle();
    EXPECT_EQ(m_pFs->getNbOfEntriesOpen(), 0u);
    EXPECT_EQ(StaticMemAllocator::statsFor(kFileTag).liveBlocks, uiBlocksBefore);

    // An open file let go without closing counts down the same way.
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
