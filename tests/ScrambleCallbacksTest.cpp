// The I/O callbacks that a scrambled file system puts into its zziplib table, called through that very table
// on real files: descriptor numbers, unscrambled reads, seeks, sizes, scrambled writes, failures underneath,
// and the diagnostics with their exact text, level, logger, file and line.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zzip/plugin.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EncryptedFileHandleTable.h"
#include "support/LogCapture.h"
#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace {

using Testing::CapturedEvent;
using Testing::kEncryptedLogger;
using Testing::LogCapture;
using Testing::makeContent;
using Testing::readFile;
using Testing::sameBytes;
using Testing::TempDir;

// Lets a test reach the table that the constructor filled.
class ExposedScrambledFileSystem : public ZIPEncryptedFileSystem {
  public:
    const struct zzip_plugin_io& io() const { return m_pIOHandler.get()->fd; }
};

EncryptedFileHandleTable& table() {
    return EncryptedFileHandleTable::instance();
}

std::string scrambled(std::string bytes, unsigned int offset) {
    ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), offset);
    return bytes;
}

class ScrambleCallbacksTest : public ::testing::Test {
  protected:
    void TearDown() override {
        log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
        EXPECT_EQ(m_uiRecordsAtStart, table().size()) << "a descriptor record outlived its test";
    }

    std::string writeScrambled(const std::string& name, const std::string& plain) {
        return m_dir.write(name, scrambled(plain, 0));
    }

    int openFile(const std::string& path, int flags = O_RDONLY) { return m_io.open(path.c_str(), flags); }

    // Reads to the end in pieces cycling through `pieces`; the end must come as 0, never as -1.
    std::string readAll(int fd, const std::vector<std::size_t>& pieces) {
        std::string out;
        for (std::size_t i = 0;; ++i) {
            std::vector<char> buffer(pieces[i % pieces.size()]);
            const long n = m_io.read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                EXPECT_EQ(0, n);
                return out;
            }
            out.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }

    std::string readExactly(int fd, std::size_t count) {
        std::string out(count, '\0');
        const long n = m_io.read(fd, &out[0], count);
        out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return out;
    }

    // The position of the record that `fd` names; -1 when it names none.
    static long long positionOf(int fd) {
        const EncryptedFileHandle* pRecord = table().find(fd);
        return pRecord ? static_cast<long long>(pRecord->position) : -1;
    }

    LogCapture m_capture;
    TempDir m_dir;
    ExposedScrambledFileSystem m_fs;
    const struct zzip_plugin_io& m_io = m_fs.io();
    const std::size_t m_uiRecordsAtStart = table().size();
};

TEST_F(ScrambleCallbacksTest, OpenGivesPositiveNumbersThatCloseFreesForReuse) {
    const std::string path = writeScrambled("a.bin", makeContent(100, 1, false));
    std::vector<int> numbers;
    for (int i = 0; i < 3; ++i) numbers.push_back(openFile(path));
    for (int number : numbers) EXPECT_GT(number, 0);
    EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), 3u);
    EXPECT_EQ(m_uiRecordsAtStart + 3, table().size());

    EXPECT_EQ(0, m_io.close(numbers[1]));
    EXPECT_EQ(nullptr, table().find(numbers[1]));
    const int reopened = openFile(path);
    EXPECT_EQ(numbers[1], reopened);
    EXPECT_EQ(0, positionOf(reopened));
    for (int number : {numbers[0], reopened, numbers[2]}) EXPECT_EQ(0, m_io.close(number));

    // A file that cannot be opened gives a negative number and leaves no record.
    EXPECT_LT(openFile(m_dir.file("missing.zip")), 0);
    EXPECT_LT(openFile(m_dir.file("no/such/dir.zip")), 0);
    EXPECT_EQ(m_uiRecordsAtStart, table().size());
    EXPECT_TRUE(m_capture.eventsOf(kEncryptedLogger).empty());
}

TEST_F(ScrambleCallbacksTest, ReadsAndSeeksGivePlainBytesAtEveryKeyPhase) {
    const std::string plain = makeContent(3000, 3, false);
    const std::string path = writeScrambled("a.bin", plain);
    struct stat status;
    ASSERT_EQ(0, ::stat(path.c_str(), &status));
    const int fd = openFile(path);
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(sameBytes(plain, readAll(fd, {1, 2, 3, 5, 7, 11, 13, 16, 17, 31, 64, 4097})));
    // At the end a read gives 0 and keeps the position.
    char buffer[16];
    EXPECT_EQ(0, m_io.read(fd, buffer, sizeof(buffer)));
    EXPECT_EQ(3000, positionOf(fd));
    EXPECT_EQ(3000, m_io.seeks(fd, 0, SEEK_CUR));

    const struct {
        long offset;
        int whence;
        long position;
    } seeks[] = {{17, SEEK_SET, 17},     {0, SEEK_SET, 0},      {15, SEEK_SET, 15},      {16, SEEK_SET, 16},
                 {2047, SEEK_SET, 2047}, {-10, SEEK_END, 2990}, {-2000, SEEK_CUR, 1000}, {-5, SEEK_CUR, 1005}};
    for (const auto& seek : seeks) {
        EXPECT_EQ(seek.position, m_io.seeks(fd, seek.offset, seek.whence));
        EXPECT_EQ(seek.position, positionOf(fd));
        EXPECT_EQ(plain.substr(static_cast<std::size_t>(seek.position), 10), readExactly(fd, 10));
    }
    // The size is the file's size on disk, and asking for it leaves the position alone.
    EXPECT_EQ(status.st_size, m_io.filesize(fd));
    EXPECT_EQ(plain.substr(1015, 40), readExactly(fd, 40));
    EXPECT_EQ(0, m_io.close(fd));
}

// Pieces written at every key phase, starting inside the file, are scrambled at their own offsets on disk,
// leave the caller's bytes alone, and read back plain.
TEST_F(ScrambleCallbacksTest, WritesScrambleOnDiskAndReadBackPlain) {
    const std::string before = makeContent(40, 6, false);
    const std::string path = writeScrambled("w.bin", before);  // made here: open does not forward a mode
    const int fd = openFile(path, O_RDWR | O_CREAT);
    ASSERT_GT(fd, 0);
    const std::string caller = makeContent(1000, 8, false);
    const std::string callerCopy = caller;
    EXPECT_EQ(9, m_io.seeks(fd, 9, SEEK_SET));
    std::size_t written = 0;
    for (std::size_t piece : {3, 7, 16, 1, 33, 64, 5, 100, 0, 771}) {
        const std::size_t len = std::min(piece, caller.size() - written);
        EXPECT_EQ(static_cast<long>(len), m_io.write(fd, caller.data() + written, len));
        written += len;
    }
    ASSERT_EQ(caller.size(), written);
    EXPECT_EQ(callerCopy, caller);
    EXPECT_EQ(1009, positionOf(fd));
    EXPECT_TRUE(sameBytes(scrambled(before.substr(0, 9) + caller, 0), readFile(path)));

    EXPECT_EQ(0, m_io.seeks(fd, 0, SEEK_SET));
    EXPECT_TRUE(sameBytes(before.substr(0, 9) + caller, readAll(fd, {13})));
    EXPECT_EQ(0, m_io.close(fd));
    EXPECT_TRUE(m_capture.eventsOf(kEncryptedLogger).empty());
}

TEST_F(ScrambleCallbacksTest, FailingPosixCallsGiveMinusOneAndKeepThePosition) {
    const std::string plain = makeContent(500, 9, false);
    const int fd = openFile(writeScrambled("a.bin", plain));
    ASSERT_GT(fd, 0);
    EncryptedFileHandle* pRecord = table().find(fd);
    ASSERT_NE(nullptr, pRecord);

    EXPECT_EQ(plain.substr(0, 7), readExactly(fd, 7));
    errno = 0;
    EXPECT_EQ(-1, m_io.seeks(fd, 3, 12345));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(7u, pRecord->position);
    EXPECT_EQ(plain.substr(7, 20), readExactly(fd, 20));

    // The POSIX descriptor goes away under the record: every call that needs it fails, and nothing moves.
    ASSERT_EQ(0, ::close(pRecord->fd));
    char buffer[32];
    EXPECT_EQ(-1, m_io.read(fd, buffer, sizeof(buffer)));
    EXPECT_EQ(-1, m_io.seeks(fd, 100, SEEK_SET));
    EXPECT_EQ(27u, pRecord->position);
    EXPECT_EQ(-1, m_io.filesize(fd));
    // Closing still frees the record, though the POSIX close fails.
    EXPECT_EQ(-1, m_io.close(fd));
    EXPECT_EQ(nullptr, table().find(fd));
    EXPECT_TRUE(m_capture.eventsOf(kEncryptedLogger).empty());  // failing POSIX calls are not logged
}

// ---- diagnostics --------------------------------------------------------------------------------------------

std::string invalidFdText(int fd) {
    char text[32];
    std::snprintf(text, sizeof(text), "Invalid fd 0x%x", static_cast<unsigned int>(fd));
    return text;
}

typedef const struct zzip_plugin_io& IO;
char g_buffer[16];

// One diagnostic site: the call, whether it gets a valid descriptor (else each invalid one in turn), and the
// ERROR line it must give (nullptr: the invalid-descriptor text). A bad descriptor is reported before a null
// buffer.
struct Site {
    bool bValidFd;
    long (*call)(IO, int);
    const char* message;
    int line;
};

const Site kSites[] = {{false, [](IO io, int fd) -> long { return io.close(fd); }, nullptr, 69},
                       {false, [](IO io, int fd) -> long { return io.read(fd, g_buffer, 8); }, nullptr, 81},
                       {false, [](IO io, int fd) -> long { return io.write(fd, "abc", 3); }, nullptr, 108},
                       {false, [](IO io, int fd) -> long { return io.seeks(fd, 0, SEEK_SET); }, nullptr, 132},
                       {false, [](IO io, int fd) -> long { return io.filesize(fd); }, nullptr, 144},
                       {true, [](IO io, int fd) -> long { return io.read(fd, nullptr, 10); },
                        "Invalid buffer, expecting a char* pointer", 87},
                       {true, [](IO io, int fd) -> long { return io.write(fd, nullptr, 10); },
                        "Invalid buffer, expecting a const char* pointer", 116},
                       {false, [](IO io, int fd) -> long { return io.read(fd, nullptr, 10); }, nullptr, 81},
                       {false, [](IO io, int fd) -> long { return io.write(fd, nullptr, 10); }, nullptr, 108}};

TEST_F(ScrambleCallbacksTest, EverySiteReportsItsTextAndLineAndChangesNothing) {
    const std::string plain = makeContent(64, 11, false);
    const std::string path = writeScrambled("a.bin", plain);
    const int fd = openFile(path, O_RDWR);
    ASSERT_GT(fd, 0);
    // Numbers that were handed out and closed again; with a dozen of them, one needs hex letters.
    std::vector<int> stale;
    for (int i = 0; i < 12; ++i) stale.push_back(openFile(path));
    for (int number : stale) ASSERT_EQ(0, m_io.close(number));
    const int staleNumber = *std::max_element(stale.begin(), stale.end());
    ASSERT_GE(staleNumber, 10);
    EXPECT_EQ(plain.substr(0, 5), readExactly(fd, 5));

    for (const Site& site : kSites) {
        for (int used : site.bValidFd ? std::vector<int>{fd} : std::vector<int>{0, staleNumber, 0x7fffffff}) {
            SCOPED_TRACE("line " + std::to_string(site.line) + " fd " + std::to_string(used));
            m_capture.clear();
            EXPECT_EQ(-1, site.call(m_io, used));
            const std::vector<CapturedEvent> events = m_capture.events();
            ASSERT_EQ(1u, events.size());
            EXPECT_EQ(kEncryptedLogger, events[0].logger);
            EXPECT_EQ(40000, events[0].level);
            EXPECT_EQ(site.message ? site.message : invalidFdText(used), events[0].message);
            EXPECT_EQ("ZIPEncryptedFileSystem", events[0].file);
            EXPECT_EQ(site.line, events[0].line);
        }
    }
    EXPECT_EQ(5, positionOf(fd));
    EXPECT_EQ(plain.substr(5, 10), readExactly(fd, 10));
    EXPECT_TRUE(sameBytes(scrambled(plain, 0), readFile(path)));
    EXPECT_EQ(0, m_io.close(fd));
}

TEST_F(ScrambleCallbacksTest, NothingIsEmittedWhenTheLoggerIsAboveError) {
    const int fd = openFile(writeScrambled("a.bin", makeContent(16, 12, false)));
    ASSERT_GT(fd, 0);
    log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::FATAL_LOG_LEVEL);
    m_capture.clear();
    for (const Site& site : kSites) EXPECT_EQ(-1, site.call(m_io, site.bValidFd ? fd : 0)) << site.line;
    EXPECT_TRUE(m_capture.events().empty());
    // The same call is heard once the level allows it: the silence above came from the level.
    log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    EXPECT_EQ(-1, m_io.filesize(0));
    EXPECT_EQ(1u, m_capture.events().size());
    EXPECT_EQ(0, m_io.close(fd));
}

// Eight threads open, read and close descriptors at once. A number is live from its open until just before
// its close; no two live descriptors may share a number, and each record must read its own file.
TEST_F(ScrambleCallbacksTest, ConcurrentOpenAndCloseKeepNumbersUnique) {
    const int kThreads = 8;
    std::vector<std::string> plains, paths;
    for (int t = 0; t < kThreads; ++t) {
        plains.push_back(makeContent(64, 100 + static_cast<std::uint32_t>(t), false));
        paths.push_back(writeScrambled("t" + std::to_string(t) + ".bin", plains.back()));
    }
    std::mutex liveMutex;
    std::set<int> live;
    std::atomic<int> failures(0);
    const struct zzip_plugin_io& io = m_io;
    auto worker = [&](int t) {
        for (int round = 0; round < 200; ++round) {
            int numbers[3];
            for (int& number : numbers) {
                number = io.open(paths[t].c_str(), O_RDONLY);
                std::lock_guard<std::mutex> lock(liveMutex);
                if (number <= 0 || !live.insert(number).second) ++failures;
            }
            for (int number : numbers) {
                const long offset = (round + number) % 40;
                char buffer[24];
                if (io.seeks(number, offset, SEEK_SET) != offset || io.read(number, buffer, 24) != 24 ||
                    std::string(buffer, 24) != plains[t].substr(static_cast<std::size_t>(offset), 24))
                    ++failures;
            }
            for (int number : numbers) {
                {
                    std::lock_guard<std::mutex> lock(liveMutex);
                    live.erase(number);
                }
                if (io.close(number) != 0) ++failures;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_TRUE(live.empty());
    EXPECT_TRUE(m_capture.eventsOf(kEncryptedLogger).empty());
}

}  // namespace
}  // namespace Tamsor
