// Counted handles: counts made and freed through StaticMemAllocator, sharing, conversions along the class
// tree, exactly one deletion under concurrent copies, and the allocation-failure path.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/CountedObjPtr.h"
#include "tamsor/VirtualFileSystem.h"
#include "tamsor/ZIPFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace {

typedef VirtualFileSystem::FileHandle FileHandle;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;
typedef ManagedHandle<Object, TSReferenceCount> ObjectHandle;

const char kCountTag[] = "TSReferenceCount";
const char kEntryTag[] = "CountedObjPtrTest entry";

// Test entries are shaped like the library's: virtual bases, and storage from StaticMemAllocator through a
// class operator new/delete, so that a deletion through the wrong class or size shows in the counters.
class EntryStorage {
  public:
    static void* operator new(std::size_t size) {
        return StaticMemAllocator::allocate(static_cast<unsigned int>(size), kEntryTag);
    }
    static void operator delete(void* pBlock, std::size_t size) {
        StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), kEntryTag);
    }
};

class CountingFile : public virtual VirtualFileSystem::File, public EntryStorage {
  public:
    explicit CountingFile(std::atomic<int>& rDestroyed) : m_rDestroyed(rDestroyed) {}
    ~CountingFile() override { ++m_rDestroyed; }

    const char* getPath() const override { return "counting/file"; }
    bool isFile() const override { return true; }
    bool isDirectory() const override { return false; }
    int open(const char*, int) override { return -1; }
    int open(const char*, int, unsigned int) override { return -1; }
    int close() override { return -1; }
    int write(const void*, unsigned int) override { return -1; }
    int read(void*, unsigned int) override { return -1; }
    long lseek(long, int) override { return -1; }

  private:
    std::atomic<int>& m_rDestroyed;
};

class CountingDirectory : public virtual VirtualFileSystem::Directory, public EntryStorage {
  public:
    explicit CountingDirectory(std::atomic<int>& rDestroyed) : m_rDestroyed(rDestroyed) {}
    ~CountingDirectory() override { ++m_rDestroyed; }

    const char* getPath() const override { return "counting/dir"; }
    bool isFile() const override { return false; }
    bool isDirectory() const override { return true; }
    int open(const char*) override { return -1; }
    int close() override { return -1; }
    EntryHandle read() override { return EntryHandle(); }
    void rewind() override {}
    void seek(long) override {}

  private:
    std::atomic<int>& m_rDestroyed;
};

class CountedHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_countsBefore = StaticMemAllocator::statsFor(kCountTag);
        m_entriesBefore = StaticMemAllocator::statsFor(kEntryTag);
    }
    void TearDown() override {
        StaticMemAllocator::failAllocation(kCountTag, 0);
        EXPECT_EQ(m_countsBefore.liveBlocks, StaticMemAllocator::statsFor(kCountTag).liveBlocks);
        EXPECT_EQ(m_entriesBefore.liveBlocks, StaticMemAllocator::statsFor(kEntryTag).liveBlocks);
    }
    std::uint64_t countsMade() const {
        return StaticMemAllocator::statsFor(kCountTag).allocations - m_countsBefore.allocations;
    }
    std::uint64_t liveCounts() const {
        return StaticMemAllocator::statsFor(kCountTag).liveBlocks - m_countsBefore.liveBlocks;
    }

    std::atomic<int> m_destroyed{0};
    AllocationStats m_countsBefore;
    AllocationStats m_entriesBefore;
};

TEST_F(CountedHandleTest, NullPointerGivesNullHandleWithoutCount) {
    FileHandle fromNull(static_cast<VirtualFileSystem::File*>(nullptr));
    EXPECT_TRUE(fromNull.isNull());
    EXPECT_EQ(0u, fromNull.useCount());
    EXPECT_FALSE(fromNull.hasReleaser());
    EntryHandle converted(fromNull);
    DirectoryHandle crossed(converted);
    FileHandle assigned(new CountingFile(m_destroyed));
    assigned = fromNull;
    EXPECT_TRUE(converted.isNull() && crossed.isNull() && assigned.isNull());
    EXPECT_EQ(0u, converted.useCount());
    EXPECT_EQ(1u, countsMade());  // the one object's count only
}

// A raw pointer gets one fresh count from the allocator; copies and assignments share it, and the last
// drop deletes the object once and frees the count.
TEST_F(CountedHandleTest, CopiesShareOneCountAndLastDropDeletesOnce) {
    CountingFile* pFile = new CountingFile(m_destroyed);
    FileHandle original(pFile);
    EXPECT_EQ(1u, original.useCount());
    EXPECT_FALSE(original.hasReleaser());
    EXPECT_EQ(1u, liveCounts());
    EXPECT_EQ(sizeof(TSReferenceCount), StaticMemAllocator::statsFor(kCountTag).liveBytes - m_countsBefore.liveBytes);
    {
        FileHandle copy(original);
        FileHandle assigned;
        assigned = copy;
        assigned = assigned;  // self-assignment keeps the count
        EXPECT_EQ(pFile, assigned.get());
        EXPECT_EQ(3u, original.useCount());
        assigned = FileHandle();
        EXPECT_EQ(2u, original.useCount());
    }
    EXPECT_EQ(1u, original.useCount());
    EXPECT_EQ(0, m_destroyed.load());
    original = FileHandle();
    EXPECT_EQ(1, m_destroyed.load());
    EXPECT_EQ(1u, countsMade());
    EXPECT_EQ(0u, liveCounts());
}

// Conversions along the class tree share the count, a failed one gives null; deletion through a base runs the
// most derived destructor and operator delete with the allocated size.
TEST_F(CountedHandleTest, ConversionsShareOnSuccessAndGiveNullOnFailure) {
    CountingFile* pFile = new CountingFile(m_destroyed);
    FileHandle file(pFile);
    EntryHandle up(file);
    EXPECT_EQ(static_cast<VirtualFileSystem::Entry*>(pFile), up.get());
    ObjectHandle root(up);
    FileHandle down(root);
    EXPECT_EQ(pFile, down.get());
    DirectoryHandle wrong(up);
    EXPECT_TRUE(wrong.isNull());
    EXPECT_EQ(0u, wrong.useCount());
    EXPECT_EQ(4u, file.useCount());

    file = FileHandle();
    down = FileHandle();
    root = ObjectHandle();
    EXPECT_EQ(0, m_destroyed.load());
    EXPECT_STREQ("counting/file", up->getPath());
    up = EntryHandle();
    EXPECT_EQ(1, m_destroyed.load());
    EXPECT_EQ(1u, countsMade());

    EntryHandle entry(DirectoryHandle(new CountingDirectory(m_destroyed)));
    EXPECT_TRUE(entry->isDirectory());
    EXPECT_TRUE(FileHandle(entry).isNull());
    entry = EntryHandle();
    EXPECT_EQ(2, m_destroyed.load());
    EXPECT_EQ(2u, StaticMemAllocator::statsFor(kEntryTag).frees - m_entriesBefore.frees);
    EXPECT_EQ(m_entriesBefore.liveBytes, StaticMemAllocator::statsFor(kEntryTag).liveBytes);
}

TEST_F(CountedHandleTest, CountAllocationFailureDeletesObjectOnceAndThrows) {
    StaticMemAllocator::failAllocation(kCountTag, 1);
    EXPECT_THROW(FileHandle(new CountingFile(m_destroyed)), std::bad_alloc);
    EXPECT_EQ(1, m_destroyed.load());
    EXPECT_EQ(0u, countsMade());
    EXPECT_EQ(0u, liveCounts());

    // Only that one allocation failed.
    FileHandle next(new CountingFile(m_destroyed));
    EXPECT_EQ(1u, next.useCount());
    next = FileHandle();
    EXPECT_EQ(2, m_destroyed.load());
}

TEST_F(CountedHandleTest, CopiesDroppedFromEightThreadsDeleteExactlyOnce) {
    const int kThreads = 8;
    const int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> destroyed{0};
        std::atomic<bool> go{false};
        std::atomic<int> wrongConversions{0};
        FileHandle original(new CountingFile(destroyed));
        std::vector<FileHandle> copies(kThreads, original);  // one handle object per thread
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&copies, &go, &wrongConversions, t] {
                FileHandle own;
                own = copies[t];
                copies[t] = FileHandle();
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < 200; ++i) {
                    FileHandle copy(own);
                    EntryHandle entry(copy);
                    ObjectHandle object(entry);
                    FileHandle back(object);
                    DirectoryHandle directory(entry);
                    if (back.get() != own.get() || !directory.isNull()) ++wrongConversions;
                }
            });
        }
        original = FileHandle();  // from here on the last drop happens on one of the threads
        go = true;
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(0, wrongConversions.load());
        ASSERT_EQ(1, destroyed.load()) << "round " << round;
    }
    EXPECT_EQ(0u, liveCounts());
}

// Every handle the library itself makes carries no releaser and is the only one on its object.
TEST_F(CountedHandleTest, LibraryHandlesHaveNoReleaser) {
    Testing::TempDir dir;
    const std::string archive = dir.file("releaser.zip");
    Testing::ZipBuilder().addDirectory("d/").add("d/a.txt", "alpha").writeTo(archive);
    ZIPFileSystem fileSystem;
    ASSERT_TRUE(fileSystem.setZIPArchive(archive.c_str()));
    FileHandle file = fileSystem.open("d/a.txt", 0);
    DirectoryHandle directory = fileSystem.opendir("");
    ASSERT_FALSE(file.isNull() || directory.isNull());
    EntryHandle entry = directory->read();  // the directory member "d/"
    ASSERT_FALSE(entry.isNull());
    for (const EntryHandle& handle : {EntryHandle(file), EntryHandle(directory), entry}) {
        EXPECT_FALSE(handle.hasReleaser());
        EXPECT_EQ(2u, handle.useCount());  // this temporary and the test's own
    }
}

// Not covered: a counted pointer holding an object without a count (the assert in drop()). No constructor,
// copy or swap can make that state, and forging it means writing the private fields behind the class's back.

}  // namespace
}  // namespace Tamsor
