// The main of every test program: GoogleTest plus a leak check around each test. Every object the library makes
// comes from StaticMemAllocator, which counts live blocks: a test that ends with more than it started with fails,
// naming the tags still holding blocks. So no test keeps library objects from one test to the next, except the
// handles it abandons (Abandon.h), whose blocks it excuses.

#include <gtest/gtest.h>

#include "Abandon.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace {

std::uint64_t g_uiExcused = 0;

// GoogleTest ends listeners in reverse order: this runs before the result printer, so its failure is reported.
class LeakCheck : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        m_uiAtStart = Tamsor::StaticMemAllocator::totalLiveBlocks() - g_uiExcused;
    }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const std::uint64_t uiNow = Tamsor::StaticMemAllocator::totalLiveBlocks() - g_uiExcused;
        if (uiNow <= m_uiAtStart) return;
        std::string tags;
        for (const std::string& tag : Tamsor::StaticMemAllocator::tagsWithLiveBlocks()) tags += " " + tag;
        ADD_FAILURE_AT(test.file(), test.line()) << uiNow - m_uiAtStart << " allocator block(s) left alive:" << tags;
    }
    std::uint64_t m_uiAtStart = 0;
};

}  // namespace

void Tamsor::Testing::excuseBlocks(std::uint64_t uiBlocks) {
    g_uiExcused += uiBlocks;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
    return RUN_ALL_TESTS();
}
