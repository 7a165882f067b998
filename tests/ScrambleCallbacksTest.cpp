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
#include <functional>
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

const char kSourceFile[] = "ZIPEncryptedFileSystem";
const int kCloseInvalidFdLine = 69;
const int kReadInvalidFdLine = 81;
const int kReadNullBufferLine = 87;
const int kWriteInvalidFdLine = 108;
const int kWriteNullBufferLine = 116;
const int kSeeksInvalidFdLine = 132;
const int kFilesizeInvalidFdLine = 144;

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

std::string invalidFdText(int fd) {
    char text[32];
    std::snprintf(text, sizeof(text), "Invalid fd 0x%x", static_cast<unsigned int>(fd));
    return text;
}

class ScrambleCallbacksTest : public ::testing::Test {
  protected:
    void TearDown() override {
        log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
        EXPECT_EQ(m_uiRecordsAtStart, table().size()) << "a descriptor record outlived its test";
    }

    // Writes the scrambled form of `plain` to a file of the scratch directory.
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

    std::vector<CapturedEvent> diagnostics() const { return m_capture.eventsOf(kEncryptedLogger); }

    // Exactly one event since the capture was last cleared, on any logger: the callback's ERROR line.
    void expectOneDiagnostic(const std::string& message, int line) {
        const std::vector<CapturedEvent> events = m_capture.events();
        ASSERT_EQ(1u, events.size()) << message;
        EXPECT_EQ(kEncryptedLogger, events[0].logger);
        EXPECT_EQ(40000, events[0].level);
        EXPECT_EQ(message, events[0].message);
        EXPECT_EQ(kSourceFile, events[0].file);
        EXPECT_EQ(line, events[0].line) << message;
    }

    LogCapture m_capture;
    TempDir m_dir;
    ExposedScrambledFileSystem m_fs;
    const struct zzip_plugin_io& m_io = m_fs.io();
    const std::size_t m_uiRecordsAtStart = table().size();
};

// ---- descriptors ------------------------------------------------------------------------------------------

TEST_F(ScrambleCallbacksTest, OpenGivesPositiveNumbersThatCloseFreesForReuse) {
    const std::string path = writeScrambled("a.bin", makeContent(100, 1, false));
    std::vector<int> numbers;
    for (int i = 0; i < 3; ++i) numbers.push_back(openFile(path));
    for (int number : numbers) EXPECT_GT(number, 0);
    EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), 3u);
    EXPECT_EQ(m_uiRecordsAtStart + 3, table().size());

    EXPECT_EQ(0, m_io.close(numbers[1]));
    EXPECT_EQ(m_uiRecordsAtStart + 2, table().size());
    EXPECT_EQ(nullptr, table().find(numbers[1]));
    const int reopened = openFile(path);
    EXPECT_EQ(numbers[1], reopened);
    EXPECT_NE(nullptr, table().find(reopened));
    EXPECT_EQ(0, positionOf(reopened));

    for (int number : {numbers[0], reopened, numbers[2]}) EXPECT_EQ(0, m_io.close(number));
    EXPECT_EQ(m_uiRecordsAtStart, table().size());
    EXPECT_TRUE(diagnostics().empty());
}

TEST_F(ScrambleCallbacksTest, OpeningAMissingFileFailsWithoutARecord) {
    EXPECT_LT(openFile(m_dir.file("missing.zip")), 0);
    EXPECT_LT(openFile(m_dir.file("no/such/dir.zip")), 0);
    EXPECT_EQ(m_uiRecordsAtStart, table().size());
    EXPECT_TRUE(diagnostics().empty());
}

// ---- reading and seeking ------------------------------------------------------------------------------------

TEST_F(ScrambleCallbacksTest, ReadInPiecesAcrossKeyPhasesGivesPlainBytes) {
    const std::string plain = makeContent(20011, 2, false);
    const int fd = openFile(writeScrambled("a.bin", plain));
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(sameBytes(plain, readAll(fd, {1, 2, 3, 5, 7, 11, 13, 16, 17, 31, 64, 4097})));
    EXPECT_EQ(static_cast<long long>(plain.size()), positionOf(fd));
    EXPECT_EQ(0, m_io.close(fd));
}

TEST_F(ScrambleCallbacksTest, SeekThenReadGivesThePlainByteAtThatOffset) {
    const std::string plain = makeContent(3000, 3, false);
    const std::string path = writeScrambled("a.bin", plain);
    const std::string raw = readFile(path);
    const int fd = openFile(path);
    ASSERT_GT(fd, 0);

    // Offset 17 is key phase 1: the raw byte there unscrambles with the key's second byte.
    EXPECT_EQ(17, m_io.seeks(fd, 17, SEEK_SET));
    EXPECT_EQ(17, positionOf(fd));
    const std::string one = readExactly(fd, 1);
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ(static_cast<char>(raw[17] ^ ZIPEncryptedFileSystem::m_key[1]), one[0]);
    EXPECT_EQ(plain[17], one[0]);
    EXPECT_EQ(plain.substr(18, 45), readExactly(fd, 45));

    for (long target : {0L, 1L, 15L, 16L, 999L, 2047L, 2999L}) {
        EXPECT_EQ(target, m_io.seeks(fd, target, SEEK_SET));
        EXPECT_EQ(plain.substr(static_cast<std::size_t>(target), 33), readExactly(fd, 33)) << "at " << target;
    }
    EXPECT_EQ(2990, m_io.seeks(fd, -10, SEEK_END));
    EXPECT_EQ(plain.substr(2990), readExactly(fd, 100));
    EXPECT_EQ(1000, m_io.seeks(fd, -2000, SEEK_CUR));
    EXPECT_EQ(plain.substr(1000, 19), readExactly(fd, 19));
    EXPECT_EQ(0, m_io.close(fd));
}

TEST_F(ScrambleCallbacksTest, ReadAtEndGivesZeroAndKeepsThePosition) {
    const std::string plain = makeContent(77, 4, false);
    const int fd = openFile(writeScrambled("a.bin", plain));
    ASSERT_GT(fd, 0);
    EXPECT_EQ(plain, readExactly(fd, 200));
    char buffer[16];
    EXPECT_EQ(0, m_io.read(fd, buffer, sizeof(buffer)));
    EXPECT_EQ(77, positionOf(fd));
    EXPECT_EQ(77, m_io.seeks(fd, 0, SEEK_CUR));
    EXPECT_EQ(72, m_io.seeks(fd, -5, SEEK_CUR));
    EXPECT_EQ(plain.substr(72), readExactly(fd, 16));
    EXPECT_EQ(0, m_io.close(fd));
}

TEST_F(ScrambleCallbacksTest, FilesizeIsTheOnDiskSizeAndLeavesThePosition) {
    const std::string plain = makeContent(12345, 5, false);
    const std::string path = writeScrambled("a.bin", plain);
    struct stat status;
    ASSERT_EQ(0, ::stat(path.c_str(), &status));
    const int fd = openFile(path);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(plain.substr(0, 21), readExactly(fd, 21));
    EXPECT_EQ(status.st_size, m_io.filesize(fd));
    EXPECT_EQ(plain.substr(21, 40), readExactly(fd, 40));
    EXPECT_EQ(0, m_io.close(fd));
}

// ---- writing ------------------------------------------------------------------------------------------------

TEST_F(ScrambleCallbacksTest, WriteScramblesOnDiskAndReadsBackPlain) {
    const std::string before = makeContent(40, 6, false);
    const std::string path = writeScrambled("w.bin", before);  // made here: open does not forward a mode
    const int fd = openFile(path, O_RDWR | O_CREAT);
    ASSERT_GT(fd, 0);

    std::string caller = makeContent(50, 7, false);
    const std::string callerCopy = caller;
    EXPECT_EQ(9, m_io.seeks(fd, 9, SEEK_SET));
    EXPECT_EQ(50, m_io.write(fd, caller.data(), caller.size()));
    EXPECT_EQ(callerCopy, caller);
    EXPECT_EQ(59, positionOf(fd));

    const std::string raw = readFile(path);
    ASSERT_EQ(59u, raw.size());
    EXPECT_EQ(scrambled(before, 0).substr(0, 9), raw.substr(0, 9));
    EXPECT_EQ(scrambled(caller, 9), raw.substr(9));
    EXPECT_NE(caller, raw.substr(9));

    EXPECT_EQ(9, m_io.seeks(fd, 9, SEEK_SET));
    EXPECT_EQ(caller, readExactly(fd, 50));
    EXPECT_EQ(0, m_io.seeks(fd, 0, SEEK_SET));
    EXPECT_EQ(before.substr(0, 9) + caller, readExactly(fd, 100));
    EXPECT_EQ(0, m_io.close(fd));
    EXPECT_TRUE(diagnostics().empty());
}

TEST_F(ScrambleCallbacksTest, WritesInPiecesAtEveryPhaseReadBackAsAWhole) {
    const std::string path = m_dir.write("w.bin", "");
    const int fd = openFile(path, O_RDWR);
    ASSERT_GT(fd, 0);
    const std::string plain = makeContent(1000, 8, false);
    std::size_t written = 0;
    for (std::size_t piece : {3, 7, 16, 1, 33, 64, 5, 100, 0, 771}) {
        const std::size_t len = std::min(piece, plain.size() - written);
        EXPECT_EQ(static_cast<long>(len), m_io.write(fd, plain.data() + written, len));
        written += len;
    }
    ASSERT_EQ(plain.size(), written);
    EXPECT_TRUE(sameBytes(scrambled(plain, 0), readFile(path)));
    EXPECT_EQ(0, m_io.seeks(fd, 0, SEEK_SET));
    EXPECT_TRUE(sameBytes(plain, readAll(fd, {13})));
    EXPECT_EQ(0, m_io.close(fd));
}

// ---- failures underneath ------------------------------------------------------------------------------------

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
    EXPECT_EQ(27u, pRecord->position);
    EXPECT_EQ(-1, m_io.seeks(fd, 100, SEEK_SET));
    EXPECT_EQ(27u, pRecord->position);
    EXPECT_EQ(-1, m_io.filesize(fd));
    // Closing still frees the record, though the POSIX close fails.
    EXPECT_EQ(-1, m_io.close(fd));
    EXPECT_EQ(nullptr, table().find(fd));
    EXPECT_EQ(m_uiRecordsAtStart, table().size());
    EXPECT_TRUE(diagnostics().empty());  // failing POSIX calls are not logged
}

// ---- diagnostics --------------------------------------------------------------------------------------------

struct Callback {
    const char* name;
    int line;
    std::function<long(const struct zzip_plugin_io&, int)> call;
};

std::vector<Callback> callbacksTakingADescriptor() {
    return {
        {"close", kCloseInvalidFdLine, [](const struct zzip_plugin_io& io, int fd) { return long(io.close(fd)); }},
        {"read", kReadInvalidFdLine,
         [](const struct zzip_plugin_io& io, int fd) {
             char buffer[8];
             return long(io.read(fd, buffer, sizeof(buffer)));
         }},
        {"write", kWriteInvalidFdLine,
         [](const struct zzip_plugin_io& io, int fd) { return long(io.write(fd, "abc", 3)); }},
        {"seeks", kSeeksInvalidFdLine,
         [](const struct zzip_plugin_io& io, int fd) { return long(io.seeks(fd, 0, SEEK_SET)); }},
        {"filesize", kFilesizeInvalidFdLine,
         [](const struct zzip_plugin_io& io, int fd) { return long(io.filesize(fd)); }},
    };
}

TEST_F(ScrambleCallbacksTest, InvalidDescriptorsAreRefusedWithTheirLine) {
    // Numbers that were handed out and closed again; with a dozen of them, one needs hex letters.
    const std::string path = writeScrambled("a.bin", makeContent(10, 10, false));
    std::vector<int> stale;
    for (int i = 0; i < 12; ++i) stale.push_back(openFile(path));
    for (int number : stale) ASSERT_EQ(0, m_io.close(number));
    const int staleNumber = *std::max_element(stale.begin(), stale.end());
    ASSERT_GE(staleNumber, 10);

    for (const Callback& callback : callbacksTakingADescriptor()) {
        for (int fd : {0, staleNumber, 0x7fffffff}) {
            m_capture.clear();
            EXPECT_EQ(-1, callback.call(m_io, fd)) << callback.name << " " << fd;
            expectOneDiagnostic(invalidFdText(fd), callback.line);
        }
    }
    EXPECT_EQ("Invalid fd 0x0", invalidFdText(0));  // the form the host's tooling matches
}

TEST_F(ScrambleCallbacksTest, NullBuffersAreRefusedAfterTheDescriptor) {
    const std::string plain = makeContent(64, 11, false);
    const std::string path = writeScrambled("a.bin", plain);
    const int fd = openFile(path, O_RDWR);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(plain.substr(0, 5), readExactly(fd, 5));

    m_capture.clear();
    EXPECT_EQ(-1, m_io.read(fd, nullptr, 10));
    expectOneDiagnostic("Invalid buffer, expecting a char* pointer", kReadNullBufferLine);
    m_capture.clear();
    EXPECT_EQ(-1, m_io.write(fd, nullptr, 10));
    expectOneDiagnostic("Invalid buffer, expecting a const char* pointer", kWriteNullBufferLine);
    EXPECT_EQ(5, positionOf(fd));
    EXPECT_EQ(plain.substr(5, 10), readExactly(fd, 10));
    EXPECT_TRUE(sameBytes(scrambled(plain, 0), readFile(path)));

    // A bad descriptor with a null buffer reports the descriptor only.
    m_capture.clear();
    EXPECT_EQ(-1, m_io.read(0, nullptr, 10));
    expectOneDiagnostic("Invalid fd 0x0", kReadInvalidFdLine);
    m_capture.clear();
    EXPECT_EQ(-1, m_io.write(0, nullptr, 10));
    expectOneDiagnostic("Invalid fd 0x0", kWriteInvalidFdLine);
    EXPECT_EQ(0, m_io.close(fd));
}

TEST_F(ScrambleCallbacksTest, NothingIsEmittedWhenTheLoggerIsAboveError) {
    const int fd = openFile(writeScrambled("a.bin", makeContent(16, 12, false)));
    ASSERT_GT(fd, 0);
    log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::FATAL_LOG_LEVEL);
    m_capture.clear();
    for (const Callback& callback : callbacksTakingADescriptor()) EXPECT_EQ(-1, callback.call(m_io, 0));
    EXPECT_EQ(-1, m_io.read(fd, nullptr, 4));
    EXPECT_EQ(-1, m_io.write(fd, nullptr, 4));
    EXPECT_TRUE(m_capture.events().empty());

    // The same call is heard once the level allows it: the silence above came from the level.
    log4cplus::Logger::getInstance(kEncryptedLogger).setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    EXPECT_EQ(-1, m_io.filesize(0));
    expectOneDiagnostic("Invalid fd 0x0", kFilesizeInvalidFdLine);
    EXPECT_EQ(0, m_io.close(fd));
}

// ---- threads ------------------------------------------------------------------------------------------------

// Eight threads open, read and close descriptors at once. A number is live from its open until just before
// its close; no two live descriptors may share a number, and each record must read its own file.
TEST_F(ScrambleCallbacksTest, ConcurrentOpenAndCloseKeepNumbersUnique) {
    const int kThreads = 8;
    const int kRounds = 200;
    std::vector<std::string> plains, paths;
    for (int t = 0; t < kThreads; ++t) {
        plains.push_back(makeContent(64, 100 + static_cast<std::uint32_t>(t), false));
        paths.push_back(writeScrambled("t" + std::to_string(t) + ".bin", plains.back()));
    }
    std::mutex liveMutex;
    std::set<int> live;
    std::atomic<int> duplicates(0), badOpens(0), badReads(0), badCloses(0);
    const struct zzip_plugin_io& io = m_io;

    auto worker = [&](int t) {
        for (int round = 0; round < kRounds; ++round) {
            int numbers[3];
            for (int& number : numbers) {
                number = io.open(paths[t].c_str(), O_RDONLY);
                if (number <= 0) {
                    ++badOpens;
                    continue;
                }
                std::lock_guard<std::mutex> lock(liveMutex);
                if (!live.insert(number).second) ++duplicates;
            }
            for (int number : numbers) {
                if (number <= 0) continue;
                const long offset = (round + number) % 40;
                char buffer[24];
                if (io.seeks(number, offset, SEEK_SET) != offset ||
                    io.read(number, buffer, sizeof(buffer)) != static_cast<long>(sizeof(buffer)) ||
                    std::string(buffer, sizeof(buffer)) != plains[t].substr(static_cast<std::size_t>(offset), 24))
                    ++badReads;
            }
            for (int number : numbers) {
                if (number <= 0) continue;
                {
                    std::lock_guard<std::mutex> lock(liveMutex);
                    live.erase(number);
                }
                if (io.close(number) != 0) ++badCloses;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(0, badOpens.load());
    EXPECT_EQ(0, duplicates.load());
    EXPECT_EQ(0, badReads.load());
    EXPECT_EQ(0, badCloses.load());
    EXPECT_TRUE(live.empty());
    EXPECT_EQ(m_uiRecordsAtStart, table().size());
    EXPECT_TRUE(diagnostics().empty());
}

}  // namespace
}  // namespace Tamsor
