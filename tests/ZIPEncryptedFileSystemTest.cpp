// The scrambled-archive file system as a host sees it: a scrambled archive reads exactly like its plain twin
// through ZIPFileSystem (same walk, same bytes, same seeks), neither binds the other's form, the archive file
// failing underneath breaks nothing, and separate file systems run side by side on separate threads.

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
#include "ZipFsFixture.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace Testing {
namespace {

typedef std::map<std::string, std::string> Contents;  // file path -> bytes
typedef std::pair<std::string, bool> WalkedEntry;     // path, handed out as a directory

const std::vector<unsigned int> kOddPieces = {1, 7, 333, 4099, 65537};

// Lists `pDir` and, depth first, every directory it hands out, each opened again with its own path.
void walkDirectory(const DirectoryHandle& pDir, std::vector<WalkedEntry>& rWalk) {
    for (EntryHandle pEntry = pDir->read(); !pEntry.isNull(); pEntry = pDir->read()) {
        rWalk.emplace_back(pEntry->getPath(), pEntry->isDirectory());
        DirectoryHandle pSub(pEntry);
        if (pSub.isNull()) continue;
        if (pSub->open(pSub->getPath()) != 0) rWalk.emplace_back("<cannot open>", true);
        walkDirectory(pSub, rWalk);
    }
}

std::vector<WalkedEntry> walk(VirtualFileSystem& rFileSystem) {
    std::vector<WalkedEntry> result;
    DirectoryHandle pRoot = rFileSystem.opendir("");
    if (!pRoot.isNull()) walkDirectory(pRoot, result);
    return result;
}

// Every file met on a walk, opened by its path.
Contents readWalkedFiles(VirtualFileSystem& rFileSystem, const std::vector<WalkedEntry>& walked,
                         const std::vector<unsigned int>& pieces) {
    Contents contents;
    for (const WalkedEntry& entry : walked) {
        if (entry.second) continue;
        FileHandle pFile = rFileSystem.open(entry.first.c_str(), 0);
        contents[entry.first] = pFile.isNull() ? "<cannot open>" : readInPieces(*pFile, pieces);
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

// The same seeks on both files give the same positions, and the 257 bytes read there are the expected ones.
void expectSameSeeks(VirtualFileSystem& rPlain, VirtualFileSystem& rScrambled, const std::string& path,
                     const std::string& expected) {
    FileHandle pFiles[] = {rPlain.open(path.c_str(), 0), rScrambled.open(path.c_str(), 0)};
    ASSERT_FALSE(pFiles[0].isNull() || pFiles[1].isNull()) << path;
    const long size = static_cast<long>(expected.size());
    const std::pair<long, int> seeks[] = {{17 % size, SEEK_SET},
                                          {1000003 % size, SEEK_SET},
                                          {size / 2, SEEK_SET},
                                          {-std::min(size, 300L), SEEK_END},
                                          {-std::min(size, 40L), SEEK_CUR},
                                          {-size, SEEK_END},
                                          {std::min(size - 1, 101L), SEEK_SET}};
    for (const auto& seek : seeks) {
        const long position = pFiles[0]->lseek(seek.first, seek.second);
        ASSERT_EQ(position, pFiles[1]->lseek(seek.first, seek.second)) << path << " " << seek.first;
        ASSERT_GE(position, 0) << path;
        for (FileHandle& pFile : pFiles) {
            std::string bytes(257, '\0');
            bytes.resize(static_cast<std::size_t>(std::max(0, pFile->read(&bytes[0], 257))));
            EXPECT_EQ(expected.substr(static_cast<std::size_t>(position), 257), bytes) << path << " at " << position;
        }
    }
}

class ScrambledTest : public ZipFsTest {
  protected:
    void TearDown() override { EXPECT_EQ(m_uiRecordsAtStart, EncryptedFileHandleTable::instance().size()); }

    // Scrambles the plain archive at `plainPath` into a second file and checks that the two file systems
    // walk it alike and that `expected` is what the scrambled walk reads.
    void expectEquivalent(const std::string& plainPath, const Contents& expected) {
        const std::string scrambledPath = plainPath + ".scrambled";
        m_dir.write(scrambledPath.substr(m_dir.path().size() + 1), scrambled(readFile(plainPath)));
        m_log.clear();
        ZIPFileSystem plainFs;
        ZIPEncryptedFileSystem scrambledFs;
        ASSERT_TRUE(plainFs.setZIPArchive(plainPath.c_str()));
        ASSERT_TRUE(scrambledFs.setZIPArchive(scrambledPath.c_str()));

        const std::vector<WalkedEntry> walked = walk(plainFs);
        EXPECT_EQ(walked, walk(scrambledFs));
        EXPECT_TRUE(expected == readWalkedFiles(scrambledFs, walked, kOddPieces));  // (bytes would flood the report)
        for (const auto& file : expected)
            if (!file.second.empty()) expectSameSeeks(plainFs, scrambledFs, file.first, file.second);
        EXPECT_EQ(0u, plainFs.getNbOfEntriesOpen());
        EXPECT_EQ(0u, scrambledFs.getNbOfEntriesOpen());
        EXPECT_EQ(0u, diagnosticCount());

        expectBindingFails<ZIPEncryptedFileSystem>(plainPath);
        expectBindingFails<ZIPFileSystem>(scrambledPath);
    }

    template <class FileSystem>
    void expectBindingFails(const std::string& path) {
        FileSystem fileSystem;
        m_log.clear();
        EXPECT_FALSE(fileSystem.setZIPArchive(path.c_str())) << path;
        EXPECT_EQ("", fileSystem.getZIPArchive());
        EXPECT_EQ(1u, diagnosticCount()) << path;
    }

    void expectBuilderArchiveEquivalent(const ZipBuilder& builder) {
        expectEquivalent(m_dir.write("plain.zip", builder.build()), filesOf(builder));
    }

    const std::size_t m_uiRecordsAtStart = EncryptedFileHandleTable::instance().size();
};

// Both methods, empty members, a name with a space, and directories several levels deep.
ZipBuilder mixedTree() {
    ZipBuilder builder;
    builder.add("readme.txt", makeContent(100, 1))
        .addDirectory("docs/")
        .add("docs/a.txt", makeContent(5000, 2), ZipBuilder::kDeflated)
        .add("docs/b.bin", makeContent(777, 3, false))
        .add("docs/c.bin", makeContent(777, 3, false), ZipBuilder::kDeflated)
        .add("empty.txt", "")
        .add("empty-deflated.txt", "", ZipBuilder::kDeflated)
        .add("odd size.txt", makeContent(17, 4))
        .addDirectory("a/")
        .addDirectory("a/b/")
        .addDirectory("a/b/c/")
        .add("a/b/c/3.bin", makeContent(4097, 10, false))
        .addDirectory("a/b/c/d/")
        .add("a/b/c/d/4.txt", makeContent(20000, 11), ZipBuilder::kDeflated)
        .add("a/b/2.txt", makeContent(31, 12))
        .add("top.txt", makeContent(5, 14));
    return builder;
}

// zziplib binds no archive without members, and the scrambled form of one is refused alike; one empty
// directory is the least that binds.
TEST_F(ScrambledTest, BuiltArchivesReadAlikeScrambledAndPlain) {
    const std::string empty = ZipBuilder().build();
    expectBindingFails<ZIPFileSystem>(m_dir.write("empty.zip", empty));
    expectBindingFails<ZIPEncryptedFileSystem>(m_dir.write("empty.zip.scrambled", scrambled(empty)));

    ZipBuilder big;
    big.addDirectory("big/")
        .add("big/stored.bin", makeContent(1536 * 1024 + 5, 5, false))
        .add("big/deflated.txt", makeContent(2 * 1024 * 1024 + 3, 6), ZipBuilder::kDeflated)
        .add("big/incompressible.bin", makeContent(1100 * 1024, 7, false), ZipBuilder::kDeflated)
        .add("after.txt", makeContent(64, 8));
    ZipBuilder onlyDirectory;
    onlyDirectory.addDirectory("only/");
    for (const ZipBuilder& builder : {mixedTree(), big, onlyDirectory}) {
        SCOPED_TRACE(builder.members().size());
        expectBuilderArchiveEquivalent(builder);
    }
}

TEST_F(ScrambledTest, ArchiveMadeByInfoZip) {
    int status = -1;
    runCommand("command -v zip >/dev/null 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "no zip program on this machine";
    const Contents expected = {{"tree/a.txt", makeContent(1000, 15)},
                               {"tree/sub/b.txt", makeContent(200 * 1024, 16)},
                               {"tree/sub/deeper/c.bin", makeContent(70000, 17, false)}};
    for (const char* directory : {"tree", "tree/sub", "tree/sub/deeper", "tree/empty"})
        ASSERT_EQ(0, ::mkdir(m_dir.file(directory).c_str(), 0755));
    for (const auto& file : expected) m_dir.write(file.first, file.second);
    runCommand("cd '" + m_dir.path() + "' && zip -q -r -X infozip.zip tree 2>&1", &status);
    ASSERT_EQ(0, status);
    expectEquivalent(m_dir.file("infozip.zip"), expected);
}

TEST_F(ScrambledTest, ConstructionTracesEveryLayerAndStorageComesFromTheAllocator) {
    const AllocationStats before = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    const std::uint64_t uiPlainBefore = StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks;
    m_log.clear();
    ZIPEncryptedFileSystem* pFileSystem = new ZIPEncryptedFileSystem;
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl ctor", "EXIT: ZIPFileSystemImpl ctor",
                                          "ENTER: ZIPFileSystem ctor", "EXIT: ZIPFileSystem ctor",
                                          "ENTER: ZIPEncryptedFileSystem ctor", "EXIT: ZIPEncryptedFileSystem ctor"}));
    EXPECT_EQ(0u, diagnosticCount());
    const AllocationStats during = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    EXPECT_EQ(before.liveBlocks + 1, during.liveBlocks);
    EXPECT_GE(during.liveBytes - before.liveBytes, sizeof(ZIPEncryptedFileSystem));
    EXPECT_EQ(uiPlainBefore, StaticMemAllocator::statsFor("ZIPFileSystem").liveBlocks);

    m_log.clear();
    delete pFileSystem;
    EXPECT_EQ(tracesOf(m_log), zipTraces({"ENTER: ZIPFileSystemImpl dtor", "EXIT: ZIPFileSystemImpl dtor"}));
    EXPECT_EQ(m_log.events().size(), 2u);
    const AllocationStats after = StaticMemAllocator::statsFor("ZIPEncryptedFileSystem");
    EXPECT_EQ(before.liveBlocks, after.liveBlocks);
    EXPECT_EQ(before.frees + 1, after.frees);
}

// The archive file removed or truncated under open files and directories: ArchiveTakenAwayTest, for both
// kinds of file system.

// Four threads, each with a file system of its own on a copy of its own, bind, walk and read again and again:
// two plain, two scrambled. The scrambled ones share the descriptor table; all share the allocator and the
// loggers.
TEST_F(ScrambledTest, PlainAndScrambledFileSystemsOnSeparateThreads) {
    const int kThreads = 4;
    const ZipBuilder builder = mixedTree();
    const std::string plain = builder.build();
    const Contents expected = filesOf(builder);
    std::vector<WalkedEntry> expectedWalk;
    {
        ZIPFileSystem reference;
        ASSERT_TRUE(reference.setZIPArchive(m_dir.write("plain.zip", plain).c_str()));
        expectedWalk = walk(reference);
    }
    ASSERT_EQ(builder.members().size(), expectedWalk.size());

    std::vector<std::string> paths;
    for (int t = 0; t < kThreads; ++t)
        paths.push_back(m_dir.write("copy" + std::to_string(t) + ".zip", t % 2 ? scrambled(plain) : plain));
    std::atomic<int> failures(0);
    auto worker = [&](int t) {
        for (int round = 0; round < 6; ++round) {
            std::unique_ptr<ZIPFileSystem> pFileSystem(t % 2 ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
            for (int bind = 0; bind < 2; ++bind) {  // the second bind replaces the first archive handle
                if (!pFileSystem->setZIPArchive(paths[t].c_str())) {
                    ++failures;
                    continue;
                }
                const std::vector<WalkedEntry> walked = walk(*pFileSystem);
                if (walked != expectedWalk || readWalkedFiles(*pFileSystem, walked, kOddPieces) != expected) ++failures;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0u, diagnosticCount());
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
