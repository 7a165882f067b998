// The infrastructure under the file systems: the allocator's per-tag counters and injected failures (its locks
// meet under TSan in the threaded suites of the file systems and the reader), counted handles of real
// entries (one count each, a failed count; copies dropped on several threads are in ZipFsTest), and assertions, seen
// through a real log4cplus appender. Loggers, cached levels, trace scopes and the logging macro are the file systems'
// own (ZipFsDiagnosticsTest finds every line and scope of theirs, and none from a file system made at DEBUG).

#include <log4cplus/logger.h>

#include "ZipFsFixture.h"
#include "tamsor/infra/Assertion.h"

#define TAMSOR_SOURCE_FILE "InfraTest"

namespace Tamsor::Testing {
namespace {

// "allocations frees liveBlocks liveBytes" of a tag.
std::string countersOf(const std::string& tag) {
    const AllocationStats s = StaticMemAllocator::statsFor(tag);
    return std::to_string(s.allocations) + " " + std::to_string(s.frees) + " " + std::to_string(s.liveBlocks) + " " +
           std::to_string(s.liveBytes);
}

// Tags are told apart by text, not address. Every block is aligned and usable over its whole size while all are
// alive. An injected failure hits exactly the Nth allocation of its tag, once.
TEST(StaticMemAllocatorTest, CountsByTagAlignsAndFailsWhenAsked) {
    char tag[] = "SMA test", sameText[] = "SMA test";
    std::vector<unsigned char*> blocks;
    for (unsigned int size = 0; size <= 600; ++size) {
        blocks.push_back(static_cast<unsigned char*>(StaticMemAllocator::allocate(size, size % 2 ? tag : sameText)));
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(blocks.back()) % 16) << size;
        for (unsigned int i = 0; i < size; ++i) blocks.back()[i] = static_cast<unsigned char>(size + i);
    }
    EXPECT_EQ("601 0 601 180300", countersOf(tag));
    for (unsigned int size = 0; size <= 600; ++size) {
        for (unsigned int i = 0; i < size; ++i) ASSERT_EQ(static_cast<unsigned char>(size + i), blocks[size][i]);
        StaticMemAllocator::deallocate(blocks[size], size, sameText);
    }
    StaticMemAllocator::deallocate(nullptr, 64, tag);
    EXPECT_EQ("601 601 0 0", countersOf(tag));
    EXPECT_EQ("0 0 0 0", countersOf("SMA tes"));
    StaticMemAllocator::failAllocation(tag, 2);
    void* pOther = StaticMemAllocator::allocate(24, "SMA other");  // other tags do not count down
    void* pFirst = StaticMemAllocator::allocate(24, tag);
    EXPECT_THROW(StaticMemAllocator::allocate(24, sameText), std::bad_alloc);
    void* pThird = StaticMemAllocator::allocate(2000, tag);
    StaticMemAllocator::failAllocation(tag, 1);
    StaticMemAllocator::failAllocation(tag, 0);  // cleared before it fires
    StaticMemAllocator::deallocate(StaticMemAllocator::allocate(8, tag), 8, tag);
    StaticMemAllocator::deallocate(pFirst, 24, tag);
    StaticMemAllocator::deallocate(pThird, 2000, tag);
    StaticMemAllocator::deallocate(pOther, 24, "SMA other");
    EXPECT_EQ("604 604 0 0", countersOf(tag));
}

typedef ManagedHandle<Object, TSReferenceCount> ObjectHandle;

// An entry's handle takes one count from the allocator, shared by copies and conversions along the class tree; a
// null pointer or a failed conversion gives a null handle that holds no count (the entry dies with its last real
// handle). When the count cannot be had, the entry is deleted once and the failure propagates.
TEST(CountedHandleTest, OneCountPerEntryAndAFailedCountDeletesTheEntry) {
    TempDir dir;
    ZIPFileSystem fs;
    ASSERT_TRUE(fs.setZIPArchive(dir.write("a.zip", ZipBuilder().add("a", "").build()).c_str()));
    const auto counts = [] { return StaticMemAllocator::statsFor("TSReferenceCount").liveBlocks; };
    const std::uint64_t before = counts();
    FileHandle file = fs.open("a", 0), back = ObjectHandle(EntryHandle(file)), fromNull(nullptr);
    const DirectoryHandle notADirectory = EntryHandle(file);
    EXPECT_TRUE(file.useCount() == 2 && file.get() == back.get() && notADirectory.isNull());
    EXPECT_EQ(before + 1, counts());
    file = back = FileHandle();
    EXPECT_TRUE(before == counts() && fs.getNbOfEntriesOpen() == 0);
    StaticMemAllocator::failAllocation("TSReferenceCount", 1);
    EXPECT_THROW(fs.open("a", 0), std::bad_alloc);
    EXPECT_EQ(0u, fs.getNbOfEntriesOpen());
    EXPECT_EQ(1u, fs.open("a", 0).useCount());  // only that one failed
}

int g_guardLine = 0;

int guarded(bool bValue) {
    g_guardLine = __LINE__ + 1;
    TAMSOR_ASSERT_OR_RETURN(bValue && "guarded", -1);
    return 1;
}

// Each macro is a single statement: an `else` after it belongs to the `if` around it.
int elseAfter(bool bOuter, bool bCondition) {
    if (bOuter)
        TAMSOR_ASSERT(bCondition);
    else
        return 2;
    if (bOuter)
        TAMSOR_ASSERT_OR_RETURN(bCondition, -1);
    else
        return 3;
    return 1;
}

// A failed assertion reports at ERROR on its own logger, with the caller's file and line, and returns.
TEST(LoggingTest, AssertionsReportTheConditionAndReturn) {
    LogCapture capture;
    EXPECT_EQ(1, guarded(true));
    EXPECT_EQ(-1, guarded(false));
    EXPECT_EQ(std::vector<std::string>{"corvane.infra.Assertion 40000 InfraTest:" + std::to_string(g_guardLine) +
                                       " Assertion failed: bValue && \"guarded\""},
              logLines(capture));
    capture.clear();
    log4cplus::Logger::getInstance(kAssertionLogger).setLogLevel(log4cplus::FATAL_LOG_LEVEL);
    EXPECT_EQ(-1, guarded(false));
    log4cplus::Logger::getInstance(kAssertionLogger).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
    EXPECT_TRUE(capture.events().empty());
    EXPECT_EQ(2, elseAfter(false, false));
    EXPECT_EQ(1, elseAfter(true, true));
    EXPECT_EQ(-1, elseAfter(true, false));
    EXPECT_EQ(2u, capture.events().size());
}

}  // namespace
}  // namespace Tamsor::Testing
