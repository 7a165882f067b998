// The scrambled-archive file system as a host sees it: a scrambled archive reads exactly like its plain twin
// through ZIPFileSystem (same walk, same bytes, same seeks), neither binds the other's form, the archive file
// failing underneath breaks nothing, and separate file systems run side by side on separate threads.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EncryptedFileHandleTable.h"
#include "support/LogCapture.h"
#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace {

using Testing::CapturedEvent;
using Testing::kEncryptedLogger;
using Testing::kZipLogger;
using Testing::LogCapture;
using Testing::makeContent;
using Testing::readFile;
using Testing::runCommand;
using Testing::sameBytes;
using Testing::TempDir;
using Testing::ZipBuilder;

typedef VirtualFileSystem::FileHandle FileHandle;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;
typedef std::map<std::string, std::string> Contents;  // file path -> bytes

const int kCouldNotOpenLine = 76;

// One entry met on a walk: its path, and whether it was handed out as a directory.
typedef std::pair<std::string, bool> WalkedEntry;

// Lists `pDir` and, depth first, every directory it hands out, each opened again with its own path.
void walkDirectory(const DirectoryHandle& pDir, std::vector<WalkedEntry>& rWalk) {
    for (EntryHandle pEntry = pDir->read(); !pEntry.isNull(); pEntry = pDir->read()) {
        rWalk.emplace_back(pEntry->getPath(), pEntry->isDirectory());
        if (!pEntry->isDirectory()) continue;
        DirectoryHandle pSub(pEntry);
        if (pSub.isNull() || pSub->open(pSub->getPath()) != 0) {
            rWalk.emplace_back("<cannot open>", true);
            continue;
        }
        walkDirectory(pSub, rWalk);
        pSub->close();
    }
}

std::vector<WalkedEntry> walk(VirtualFileSystem& rFileSystem) {
    std::vector<WalkedEntry> result;
    DirectoryHandle pRoot = rFileSystem.opendir("");
    if (!pRoot.isNull()) walkDirectory(pRoot, result);
    return result;
}

// The file's bytes, read in pieces cycling through `pieces`; "<error>" when a read fails.
std::string readAll(const FileHandle& pFile, const std::vector<unsigned int>& pieces) {
    std::string out;
    for (std::size_t i = 0;; ++i) {
        std::vector<char> buffer(pieces[i % pieces.size()]);
        const int n = pFile->read(buffer.data(), static_cast<unsigned int>(buffer.size()));
        if (n == 0) return out;
        if (n < 0) return out + "<error>";
        out.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

// Every file met on a walk, read through a handed-out-style open of its path.
Contents readWalkedFiles(VirtualFileSystem& rFileSystem, const std::vector<WalkedEntry>& walked,
                         const std::vector<unsigned int>& pieces) {
    Contents contents;
    for (const WalkedEntry& entry : walked) {
        if (entry.second) continue;
        FileHandle pFile = rFileSystem.open(entry.first.c_str(), 0);
        contents[entry.first] = pFile.isNull() ? "<cannot open>" : readAll(pFile, pieces);
    }
    return contents;
}

std::string scrambled(std::string bytes) {
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
    return bytes;
}

Contents filesOf(const ZipBuilder& builder) {
    Contents contents;
    for (const ZipBuilder::Member& member : builder.members())
        if (member.name.back() != '/') contents[member.name] = member.data;
    return contents;
}

// Names the first file that one side lacks or reads differently (whole contents would flood the report).
void expectSameContents(const Contents& expected, const Contents& actual) {
    EXPECT_EQ(expected.size(), actual.size());
    for (const auto& file : expected) {
        const auto found = actual.find(file.first);
        if (found == actual.end()) {
            ADD_FAILURE() << "missing " << file.first;
        } else if (found->second != file.second) {
            ADD_FAILURE() << file.first << " differs: " << found->second.size() << " bytes, expected "
                          << file.second.size();
        }
    }
}

const std::vector<unsigned int> kOddPieces = {1, 7, 333, 4099, 65537};
const std::vector<unsigned int> kWholePieces = {1u << 20};

// Reads 257 bytes at `position` of both files after the same seek, and checks them against `expected`.
void expectSameAfterSeek(const FileHandle& pPlain, const FileHandle& pScrambled, const std::string& expected,
                         long offset, int whence, const std::string& path) {
    const long position = pPlain->lseek(offset, whence);
    ASSERT_EQ(position, pScrambled->lseek(offset, whence)) << path << " seek " << offset << "/" << whence;
    ASSERT_GE(position, 0) << path;
    std::string plainBytes(257, '\0'), scrambledBytes(257, '\0');
    plainBytes.resize(static_cast<std::size_t>(std::max(0, pPlain->read(&plainBytes[0], 257))));
    scrambledBytes.resize(static_cast<std::size_t>(std::max(0, pScrambled->read(&scrambledBytes[0], 257))));
    EXPECT_EQ(expected.substr(static_cast<std::size_t>(position), 257), scrambledBytes) << path << " at " << position;
    EXPECT_EQ(plainBytes, scrambledBytes) << path << " at " << position;
}

void expectSameSeeks(VirtualFileSystem& rPlain, VirtualFileSystem& rScrambled, const std::string& path,
                     const std::string& expected) {
    if (expected.empty()) return;
    FileHandle pPlain = rPlain.open(path.c_str(), 0);
    FileHandle pScrambled = rScrambled.open(path.c_str(), 0);
    ASSERT_FALSE(pPlain.isNull() || pScrambled.isNull()) << path;
    const long size = static_cast<long>(expected.size());
    for (long target : {17L, 1000003L, size / 2, size - 1, 0L, 3L}) {
        if (target >= size) continue;
        expectSameAfterSeek(pPlain, pScrambled, expected, target, SEEK_SET, path);
    }
    expectSameAfterSeek(pPlain, pScrambled, expected, -std::min(size, 300L), SEEK_END, path);
    expectSameAfterSeek(pPlain, pScrambled, expected, -std::min(size, 40L), SEEK_CUR, path);
    expectSameAfterSeek(pPlain, pScrambled, expected, -size, SEEK_END, path);
    if (size > 400) expectSameAfterSeek(pPlain, pScrambled, expected, 101, SEEK_CUR, path);
}

class ScrambledEquivalenceTest : public ::testing::Test {
  protected:
    ScrambledEquivalenceTest() : m_capture(40000) {}

    void TearDown() override { EXPECT_EQ(m_uiRecordsAtStart, EncryptedFileHandleTable::instance().size()); }

    // Scrambles the plain archive at `plainPath` into a second file and checks that the two file systems
    // agree on it; `pExpected` (when given) is what the walk must find.
    void expectEquivalent(const std::string& plainPath, const Contents* pExpected) {
        const std::string scrambledPath = plainPath + ".scrambled";
        m_capture.clear();
        m_dir.write(scrambledPath.substr(m_dir.path().size() + 1), scrambled(readFile(plainPath)));

        ZIPFileSystem plainFs;
        ZIPEncryptedFileSystem scrambledFs;
        ASSERT_TRUE(plainFs.setZIPArchive(plainPath.c_str()));
        ASSERT_TRUE(scrambledFs.setZIPArchive(scrambledPath.c_str()));

        const std::vector<WalkedEntry> walked = walk(plainFs);
        EXPECT_EQ(walked, walk(scrambledFs));
        const Contents plainContents = readWalkedFiles(plainFs, walked, kWholePieces);
        const Contents scrambledContents = readWalkedFiles(scrambledFs, walked, kOddPieces);
        expectSameContents(plainContents, scrambledContents);
        if (pExpected) { expectSameContents(*pExpected, scrambledContents); }
        for (const auto& file : plainContents) expectSameSeeks(plainFs, scrambledFs, file.first, file.second);
        EXPECT_EQ(0u, plainFs.getNbOfEntriesOpen());
        EXPECT_EQ(0u, scrambledFs.getNbOfEntriesOpen());
        EXPECT_TRUE(m_capture.events().empty()) << m_capture.events().front().message;

        expectBindingFails<ZIPEncryptedFileSystem>(plainPath);
        expectBindingFails<ZIPFileSystem>(scrambledPath);
    }

    template <class FileSystem>
    void expectBindingFails(const std::string& path) {
        m_capture.clear();
        FileSystem fileSystem;
        EXPECT_FALSE(fileSystem.setZIPArchive(path.c_str())) << path;
        EXPECT_EQ("", fileSystem.getZIPArchive());
        const std::vector<CapturedEvent> events = m_capture.events();
        ASSERT_EQ(1u, events.size()) << path;
        EXPECT_EQ(kZipLogger, events[0].logger);
        EXPECT_EQ(40000, events[0].level);
        EXPECT_EQ("Could not open ZIP archive " + path, events[0].message);
        EXPECT_EQ("ZIPFileSystem", events[0].file);
        EXPECT_EQ(kCouldNotOpenLine, events[0].line);
    }

    void expectBuilderArchiveEquivalent(const ZipBuilder& builder) {
        const std::string plainPath = m_dir.write("plain.zip", builder.build());
        const Contents expected = filesOf(builder);
        expectEquivalent(plainPath, &expected);
    }

    LogCapture m_capture;
    TempDir m_dir;
    const std::size_t m_uiRecordsAtStart = EncryptedFileHandleTable::instance().size();
};

ZipBuilder smallTree(std::uint16_t method) {
    ZipBuilder builder;
    builder.add("readme.txt", makeContent(100, 1), method)
        .addDirectory("docs/")
        .add("docs/a.txt", makeContent(5000, 2), method)
        .add("docs/b.bin", makeContent(777, 3, false), method)
        .add("empty.txt", "", method)
        .add("odd size.txt", makeContent(17, 4), method);
    return builder;
}

TEST_F(ScrambledEquivalenceTest, StoredMembers) {
    expectBuilderArchiveEquivalent(smallTree(ZipBuilder::kStored));
}

TEST_F(ScrambledEquivalenceTest, DeflatedMembers) {
    expectBuilderArchiveEquivalent(smallTree(ZipBuilder::kDeflated));
}

// zziplib binds no archive without members; the scrambled form of one is refused alike. One empty directory
// is the least that binds.
TEST_F(ScrambledEquivalenceTest, EmptyArchives) {
    const std::string plain = ZipBuilder().build();
    expectBindingFails<ZIPFileSystem>(m_dir.write("empty.zip", plain));
    expectBindingFails<ZIPEncryptedFileSystem>(m_dir.write("empty.zip.scrambled", scrambled(plain)));

    ZipBuilder builder;
    builder.addDirectory("only/");
    expectBuilderArchiveEquivalent(builder);
}

TEST_F(ScrambledEquivalenceTest, MembersOverOneMebibyte) {
    ZipBuilder builder;
    builder.addDirectory("big/")
        .add("big/stored.bin", makeContent(1536 * 1024 + 5, 5, false), ZipBuilder::kStored)
        .add("big/deflated.txt", makeContent(2 * 1024 * 1024 + 3, 6), ZipBuilder::kDeflated)
        .add("big/incompressible.bin", makeContent(1100 * 1024, 7, false), ZipBuilder::kDeflated)
        .add("after.txt", makeContent(64, 8), ZipBuilder::kStored);
    expectBuilderArchiveEquivalent(builder);
}

TEST_F(ScrambledEquivalenceTest, NestedDirectories) {
    ZipBuilder builder;
    builder.addDirectory("a/")
        .add("a/1.txt", makeContent(300, 9), ZipBuilder::kDeflated)
        .addDirectory("a/b/")
        .addDirectory("a/b/c/")
        .add("a/b/c/3.bin", makeContent(4097, 10, false), ZipBuilder::kStored)
        .addDirectory("a/b/c/d/")
        .add("a/b/c/d/4.txt", makeContent(20000, 11), ZipBuilder::kDeflated)
        .add("a/b/2.txt", makeContent(31, 12), ZipBuilder::kStored)
        .addDirectory("a/b2/")
        .add("a/b2/x.txt", makeContent(999, 13), ZipBuilder::kDeflated)
        .add("top.txt", makeContent(5, 14), ZipBuilder::kStored);
    expectBuilderArchiveEquivalent(builder);
}

TEST_F(ScrambledEquivalenceTest, ArchiveMadeByInfoZip) {
    int status = -1;
    runCommand("command -v zip >/dev/null 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "no zip program on this machine";

    Contents expected;
    expected["tree/a.txt"] = makeContent(1000, 15);
    expected["tree/sub/b.txt"] = makeContent(200 * 1024, 16);
    expected["tree/sub/deeper/c.bin"] = makeContent(70000, 17, false);
    for (const char* directory : {"tree", "tree/sub", "tree/sub/deeper", "tree/empty"})
        ASSERT_EQ(0, ::mkdir(m_dir.file(directory).c_str(), 0755));
    for (const auto& file : expected) m_dir.write(file.first, file.second);
    runCommand("cd '" + m_dir.path() + "' && zip -q -r -X infozip.zip tree 2>&1", &status);
    ASSERT_EQ(0, status);
    expectEquivalent(m_dir.file("infozip.zip"), &expected);
}

// ---- construction -------------------------------------------------------------------------------------------

TEST(ScrambledFileSystemLifeTest, ConstructionTracesEveryLayerAndStorageComesFromTheAllocator) {
    LogCapture capture(0);
    const AllocationStats before = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    const AllocationStats plainBefore = StaticMemAllocator::statsFor("ZIPFileSystem");

    ZIPEncryptedFileSystem* pFileSystem = new ZIPEncryptedFileSystem;
    const std::vector<std::string> constructed = {
        "ENTER: ZIPFileSystemImpl ctor", "EXIT: ZIPFileSystemImpl ctor",       "ENTER: ZIPFileSystem ctor",
        "EXIT: ZIPFileSystem ctor",      "ENTER: ZIPEncryptedFileSystem ctor", "EXIT: ZIPEncryptedFileSystem ctor"};
    EXPECT_EQ(constructed, capture.messagesOf(kZipLogger));
    for (const CapturedEvent& event : capture.events()) {
        EXPECT_EQ(kZipLogger, event.logger);
        EXPECT_EQ(0, event.level);
    }
    const AllocationStats during = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    EXPECT_EQ(before.liveBlocks + 1, during.liveBlocks);
    EXPECT_GE(during.liveBytes - before.liveBytes, sizeof(ZIPEncryptedFileSystem));
    EXPECT_EQ(plainBefore.liveBlocks, StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks);

    capture.clear();
    delete pFileSystem;
    EXPECT_EQ(std::vector<std::string>({"ENTER: ZIPFileSystemImpl dtor", "EXIT: ZIPFileSystemImpl dtor"}),
              capture.messagesOf(kZipLogger));
    EXPECT_TRUE(capture.eventsOf(kEncryptedLogger).empty());
    const AllocationStats after = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    EXPECT_EQ(before.liveBlocks, after.liveBlocks);
    EXPECT_EQ(before.frees + 1, after.frees);
}

// ---- the archive file failing underneath --------------------------------------------------------------------

class ScrambledFailureTest : public ScrambledEquivalenceTest {
  protected:
    void SetUp() override {
        m_builder.add("first.txt", makeContent(300, 20), ZipBuilder::kStored)
            .addDirectory("docs/")
            .add("docs/stored.bin", makeContent(600 * 1024, 21, false), ZipBuilder::kStored)
            .add("docs/deflated.txt", makeContent(900 * 1024, 22), ZipBuilder::kDeflated);
        m_strPath = m_dir.write("scrambled.zip", scrambled(m_builder.build()));
    }

    ZipBuilder m_builder;
    std::string m_strPath;
};

TEST_F(ScrambledFailureTest, ArchiveRemovedAfterBinding) {
    const Contents expected = filesOf(m_builder);
    ZIPEncryptedFileSystem fileSystem;
    ASSERT_TRUE(fileSystem.setZIPArchive(m_strPath.c_str()));
    FileHandle pOpenedBefore = fileSystem.open("docs/deflated.txt", 0);
    ASSERT_FALSE(pOpenedBefore.isNull());
    ASSERT_EQ(0, ::unlink(m_strPath.c_str()));

    EXPECT_TRUE(fileSystem.opendir("").isNull());
    EXPECT_TRUE(fileSystem.opendir("docs/").isNull());
    for (const auto& file : expected) {
        FileHandle pFile = fileSystem.open(file.first.c_str(), 0);
        if (!pFile.isNull()) { EXPECT_TRUE(sameBytes(file.second, readAll(pFile, kOddPieces))) << file.first; }
    }
    EXPECT_TRUE(sameBytes(expected.at("docs/deflated.txt"), readAll(pOpenedBefore, kOddPieces)));
    pOpenedBefore = FileHandle();
    EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
}

TEST_F(ScrambledFailureTest, ArchiveTruncatedAfterBinding) {
    const Contents expected = filesOf(m_builder);
    {
        ZIPEncryptedFileSystem fileSystem;
        ASSERT_TRUE(fileSystem.setZIPArchive(m_strPath.c_str()));
        const off_t half = static_cast<off_t>(readFile(m_strPath).size() / 2);
        ASSERT_EQ(0, ::truncate(m_strPath.c_str(), half));

        int shortened = 0;
        for (const auto& file : expected) {
            FileHandle pFile = fileSystem.open(file.first.c_str(), 0);
            if (pFile.isNull()) continue;
            std::string got = readAll(pFile, {4096, 13});
            const bool bFailed = got.size() >= 7 && got.compare(got.size() - 7, 7, "<error>") == 0;
            if (bFailed) got.resize(got.size() - 7);
            // Whatever comes out before the failure is the member's own bytes.
            EXPECT_TRUE(sameBytes(file.second.substr(0, got.size()), got)) << file.first;
            if (bFailed || got.size() < file.second.size()) ++shortened;
        }
        EXPECT_GE(shortened, 1) << "a member past the cut read in full";
        EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
        m_capture.clear();
    }
}

// ---- threads ------------------------------------------------------------------------------------------------

// Four threads, each with a file system of its own on a copy of its own, bind, walk and read again and again.
TEST_F(ScrambledEquivalenceTest, SeparateFileSystemsOnSeparateThreads) {
    const int kThreads = 4;
    const int kRounds = 6;
    ZipBuilder builder = smallTree(ZipBuilder::kDeflated);
    builder.addDirectory("docs/deep/")
        .add("docs/deep/stored.bin", makeContent(150000, 30, false), ZipBuilder::kStored)
        .add("docs/deep/text.txt", makeContent(120000, 31), ZipBuilder::kDeflated);
    const std::string plain = builder.build();
    const Contents expected = filesOf(builder);
    std::vector<WalkedEntry> expectedWalk;
    {
        ZIPFileSystem reference;
        ASSERT_TRUE(reference.setZIPArchive(m_dir.write("plain.zip", plain).c_str()));
        expectedWalk = walk(reference);
    }
    ASSERT_EQ(expected.size() + 2, expectedWalk.size());  // the files and two directory members

    std::vector<std::string> paths;
    for (int t = 0; t < kThreads; ++t)
        paths.push_back(m_dir.write("copy" + std::to_string(t) + ".zip", scrambled(plain)));
    std::atomic<int> failedBinds(0), wrongWalks(0), wrongContents(0);
    auto worker = [&](int t) {
        for (int round = 0; round < kRounds; ++round) {
            std::unique_ptr<ZIPEncryptedFileSystem> pFileSystem(new ZIPEncryptedFileSystem);
            for (int bind = 0; bind < 2; ++bind) {
                if (!pFileSystem->setZIPArchive(paths[t].c_str())) {
                    ++failedBinds;
                    continue;
                }
                const std::vector<WalkedEntry> walked = walk(*pFileSystem);
                if (walked != expectedWalk) ++wrongWalks;
                if (readWalkedFiles(*pFileSystem, walked, kOddPieces) != expected) ++wrongContents;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failedBinds.load());
    EXPECT_EQ(0, wrongWalks.load());
    EXPECT_EQ(0, wrongContents.load());
    EXPECT_TRUE(m_capture.events().empty());
}

}  // namespace
}  // namespace Tamsor
