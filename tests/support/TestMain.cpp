// The main of every test program: GoogleTest plus a leak check around each test.
//
// Every object the library makes comes from StaticMemAllocator under a tag, and the allocator counts live
// blocks. When a test ends (its fixture already destroyed) with more live blocks than it started with, the
// test fails and the report names the tags still holding blocks. This is why no test may keep library
// objects alive from one test to the next (in statics, in a suite-level fixture or in a global
// environment): whatever a test creates, it must release before it ends. The one exception is an entry
// whose file system was destroyed under it, which may not be released at all (Abandon.h): the blocks such a
// test excuses are not counted.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Abandon.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace {

std::uint64_t g_uiExcusedBlocks = 0;

class LeakCheckListener : public ::testing::EmptyTestEventListener {
  public:
    void OnTestStart(const ::testing::TestInfo&) override {
        m_uiLiveAtStart = Tamsor::StaticMemAllocator::totalLiveBlocks();
        m_uiExcusedAtStart = g_uiExcusedBlocks;
    }

    // GoogleTest calls the end events of listeners in the reverse order of their installation, so this runs
    // before the result printer: a failure added here is part of the test's result and of its report.
    void OnTestEnd(const ::testing::TestInfo& testInfo) override {
        const std::uint64_t uiLiveNow =
            Tamsor::StaticMemAllocator::totalLiveBlocks() - (g_uiExcusedBlocks - m_uiExcusedAtStart);
        if (uiLiveNow <= m_uiLiveAtStart) return;
        std::ostringstream text;
        text << testInfo.test_suite_name() << "." << testInfo.name() << " left " << (uiLiveNow - m_uiLiveAtStart)
             << " allocator block(s) alive; tags with live blocks:";
        for (const std::string& tag : Tamsor::StaticMemAllocator::tagsWithLiveBlocks()) text << " " << tag;
        ADD_FAILURE_AT(testInfo.file(), testInfo.line()) << text.str();
    }

  private:
    std::uint64_t m_uiLiveAtStart = 0;
    std::uint64_t m_uiExcusedAtStart = 0;
};

}  // namespace

namespace Tamsor {
namespace Testing {

void keepForever(const void* pHandle) {
    static std::vector<const void*>* pKept = new std::vector<const void*>;  // never freed: stays reachable
    pKept->push_back(pHandle);
}

void excuseBlocks(std::uint64_t uiBlocks) {
    g_uiExcusedBlocks += uiBlocks;
}

}  // namespace Testing
}  // namespace Tamsor

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheckListener);
    return RUN_ALL_TESTS();
}
