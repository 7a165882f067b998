// Runs alone in its executable, so that nothing has made a file system, or named the file loggers, before it.

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {
namespace {

TEST(LibraryLoadTest, FileLoggersExistOnceTheLibraryIsLoaded) {
    EXPECT_FALSE(log4cplus::Logger::exists("corvane.zzip.NoSuchLogger"));
    EXPECT_TRUE(log4cplus::Logger::exists("corvane.zzip.ZIPFileSystem"));
    EXPECT_TRUE(log4cplus::Logger::exists("corvane.zzip.ZIPEncryptedFileSystem"));

    // The first file system binds its own logger to the one found above.
    ZIPFileSystem fileSystem;
    EXPECT_EQ("corvane.zzip.ZIPFileSystem", fileSystem.getLogger().getName());
}

}  // namespace
}  // namespace Tamsor
