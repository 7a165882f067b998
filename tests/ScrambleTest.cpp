// Scrambling: the transform against a plain byte loop (every key phase, offsets where 32 bits wrap, odd buffer
// addresses, lengths near 4 GiB on a buffer that ends at a guard page), and the I/O callbacks that a scrambled
// file system puts into its zziplib table, called through that very table on real files: descriptor numbers,
// unscrambled reads at every phase, seeks, sizes, scrambled writes, threads. Their diagnostics are in
// ZipFsDiagnosticsTest.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zzip/plugin.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "EncryptedFileHandleTable.h"
#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Testing {
namespace {

// The transform as the format defines it, one byte at a time.
std::string byteLoop(std::string data, unsigned int offset) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] ^= ZIPEncryptedFileSystem::m_key[(offset + i) % 16];
    return data;
}

// encrypt (or decrypt) of `data` at `offset`, placed `misalignment` bytes past a 64-byte boundary between guard
// bytes that no call may touch.
std::string transformed(const std::string& data, unsigned int offset, std::size_t misalignment, bool bDecrypt) {
    std::string storage(data.size() + 192, '\x5c');
    const std::size_t at = 64 - reinterpret_cast<std::uintptr_t>(&storage[64]) % 64 + 64 + misalignment;
    storage.replace(at, data.size(), data);
    (bDecrypt ? ZIPEncryptedFileSystem::decrypt : ZIPEncryptedFileSystem::encrypt)(&storage[at], unsigned(data.size()),
                                                                                   offset);
    const std::string guards = storage.substr(0, at) + storage.substr(at + data.size());
    return guards == std::string(guards.size(), '\x5c') ? storage.substr(at, data.size()) : "guard bytes written";
}

TEST(ScrambleXorTest, EveryPhaseLengthAndAddressMatchesTheByteLoop) {
    EXPECT_NE(std::string(16, '\0'), std::string(ZIPEncryptedFileSystem::m_key, ZIPEncryptedFileSystem::m_key + 16));
    const std::string source = makeContent(100000, 13, false);
    for (unsigned int offset : {0u, 1u, 5u, 15u, 16u * 4099 + 3, 0xFFFFFFF0u, 0xFFFFFFFDu})
        for (std::size_t len : {0, 1, 15, 16, 17, 31, 33, 63, 64, 65, 127, 128, 129, 4103, 65536, 100000})
            for (std::size_t misalignment : {0, 1, 3}) {
                const std::string data = source.substr(0, len);
                EXPECT_TRUE(sameBytes(byteLoop(data, offset), transformed(data, offset, misalignment, len % 2)))
                    << "len " << len << " offset " << offset << " misalignment " << misalignment;
            }
}

// Lengths whose loop bounds would wrap in 32 bits, on a buffer that ends exactly at an inaccessible page: a 2 MiB
// memfd mapped again and again over 4 GiB + 2 MiB of reserved address space (so no 4 GiB of memory). Byte c of
// the memfd lies under every window: it is scrambled once per position of the buffer that falls on it, always
// with the same key byte (2 MiB is a multiple of 16), so it ends as that key byte when the count is odd.
TEST(ScrambleXorTest, LengthsNearFourGiBEndAtAGuardPage) {
    const std::uint64_t kChunk = 2 << 20, kSpan = 2049 * kChunk, kPage = std::uint64_t(sysconf(_SC_PAGESIZE));
    const int fd = memfd_create("xor-windows", 0);
    ASSERT_EQ(0, ftruncate(fd, off_t(kChunk)));
    char* const base =
        static_cast<char*>(mmap(nullptr, kSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(base));
    for (std::uint64_t at = 0; at < kSpan; at += kChunk)
        ASSERT_EQ(base + at, mmap(base + at, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0));
    ASSERT_EQ(0, mprotect(base + kSpan - kPage, kPage, PROT_NONE));
    for (const unsigned int len : {0xFFFFFFFFu, 0xFFFFFFC0u}) {
        std::fill(base, base + kChunk, '\0');
        const std::uint64_t first = kSpan - kPage - len;  // the buffer's first byte, from base
        ZIPEncryptedFileSystem::encrypt(base + first, len, 0);
        for (std::uint64_t c = 0; c < kChunk; ++c) {
            const std::uint64_t visits = (first + len + kChunk - c - 1) / kChunk - (first + kChunk - c - 1) / kChunk;
            if (base[c] != (visits % 2 ? char(ZIPEncryptedFileSystem::m_key[(c + 16 - first % 16) % 16]) : 0))
                FAIL() << "len " << len << ": byte " << c << " of the memfd";
        }
    }
    munmap(base, kSpan);
    close(fd);
}

struct Exposed : ZIPEncryptedFileSystem {
    const zzip_plugin_io& io() const { return m_pIOHandler->fd; }
};

EncryptedFileHandleTable& table() {
    return EncryptedFileHandleTable::instance();
}

long long positionOf(int fd) {
    const EncryptedFileHandle* pRecord = table().find(fd);
    return pRecord ? static_cast<long long>(pRecord->position) : -1;
}

class ScrambleCallbacksTest : public ::testing::Test {
  protected:
    ~ScrambleCallbacksTest() override {
        EXPECT_EQ(m_uiRecords, table().size()) << "a descriptor record outlived its test";
    }

    int open(const std::string& plain, int flags = O_RDONLY) {
        return m_io.open(m_dir.write("a.bin", byteLoop(plain, 0)).c_str(), flags);
    }
    std::string read(int fd, std::size_t count) {
        std::string out(count, '\0');
        out.resize(std::size_t(std::max(0L, long(m_io.read(fd, &out[0], count)))));
        return out;
    }

    TempDir m_dir;
    Exposed m_fs;
    const zzip_plugin_io& m_io = m_fs.io();
    const std::size_t m_uiRecords = table().size();
};

// Numbers are positive and distinct, a closed one is handed out again (at position 0); a file that cannot be
// opened gives a negative number and no record.
TEST_F(ScrambleCallbacksTest, OpenGivesPositiveNumbersThatCloseFreesForReuse) {
    const int numbers[] = {open("abc"), open("abc"), open("abc")};
    EXPECT_TRUE(numbers[0] > 0 && numbers[1] > 0 && numbers[2] > 0);
    EXPECT_EQ(3u, std::set<int>(numbers, numbers + 3).size());
    EXPECT_EQ(m_uiRecords + 3, table().size());
    EXPECT_EQ(0, m_io.close(numbers[1]));
    EXPECT_EQ(nullptr, table().find(numbers[1]));
    EXPECT_EQ(3, m_io.read(numbers[0], &std::string(3, ' ')[0], 3));
    EXPECT_EQ(numbers[1], open("abc"));
    EXPECT_EQ(0, positionOf(numbers[1]));
    for (const int number : numbers) EXPECT_EQ(0, m_io.close(number));
    EXPECT_LT(m_io.open(m_dir.file("no/such/dir.zip").c_str(), O_RDONLY), 0);
}

// Reads in odd pieces give the plain bytes, and 0 at the end; seeks move the record with the file, so that the
// next read unscrambles at the right phase; the size is the file's.
TEST_F(ScrambleCallbacksTest, ReadsAndSeeksGivePlainBytesAtEveryKeyPhase) {
    const std::string plain = makeContent(3000, 3, false);
    const int fd = open(plain);
    std::string all;
    for (std::size_t i = 0; all.size() < plain.size() && i < 3000; ++i)
        all += read(fd, std::vector<std::size_t>{1, 2, 3, 5, 7, 11, 13, 16, 17, 31, 64, 4097}[i % 12]);
    EXPECT_TRUE(sameBytes(plain, all));
    EXPECT_EQ("", read(fd, 16));
    EXPECT_EQ(3000, positionOf(fd));
    long position = 3000;
    for (const auto& seek :
         {std::make_pair(17L, SEEK_SET), std::make_pair(15L, SEEK_SET), std::make_pair(2047L, SEEK_SET),
          std::make_pair(-10L, SEEK_END), std::make_pair(-2000L, SEEK_CUR), std::make_pair(-5L, SEEK_CUR)}) {
        position = seek.first + (seek.second == SEEK_SET ? 0 : seek.second == SEEK_CUR ? position : 3000);
        EXPECT_EQ(position, m_io.seeks(fd, seek.first, seek.second));
        EXPECT_EQ(position, positionOf(fd));
        EXPECT_EQ(plain.substr(std::size_t(position), 10), read(fd, 10));
        position = std::min(position + 10, 3000L);
    }
    EXPECT_EQ(3000, m_io.filesize(fd));
    EXPECT_EQ(plain.substr(std::size_t(position), 40), read(fd, 40));
    EXPECT_EQ(0, m_io.close(fd));
}

// Pieces written at every phase, from inside the file, are scrambled at their own offsets on disk, leave the
// caller's bytes alone, and read back plain. (Open forwards no mode: the file is made first.)
TEST_F(ScrambleCallbacksTest, WritesScrambleOnDiskAndReadBackPlain) {
    const std::string before = makeContent(40, 6, false), caller = makeContent(1000, 8, false), copy = caller;
    const int fd = open(before, O_RDWR | O_CREAT);
    EXPECT_EQ(9, m_io.seeks(fd, 9, SEEK_SET));
    std::size_t written = 0;
    for (const std::size_t piece : {3, 7, 16, 1, 33, 64, 5, 100, 0, 771})
        written += std::size_t(m_io.write(fd, caller.data() + written, piece));
    EXPECT_EQ(1000u, written);
    EXPECT_EQ(copy, caller);
    EXPECT_EQ(1009, positionOf(fd));
    EXPECT_TRUE(sameBytes(byteLoop(before.substr(0, 9) + caller, 0), readFile(m_dir.file("a.bin"))));
    EXPECT_EQ(0, m_io.seeks(fd, 0, SEEK_SET));
    EXPECT_TRUE(sameBytes(before.substr(0, 9) + caller, read(fd, 2000)));
    EXPECT_EQ(0, m_io.close(fd));
}

// Eight threads open, read and close at once: no two live descriptors share a number, each reads its own file.
TEST_F(ScrambleCallbacksTest, ConcurrentOpenAndCloseKeepNumbersUnique) {
    std::mutex mutex;
    std::set<int> live;
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        const std::string plain = makeContent(64, 100 + t, false),
                          path = m_dir.write(std::to_string(t), byteLoop(plain, 0));
        threads.emplace_back([&, plain, path] {
            for (int round = 0; round < 200; ++round) {
                const int fd = m_io.open(path.c_str(), O_RDONLY);
                char buffer[24];
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (fd <= 0 || !live.insert(fd).second) ++failures;
                }
                const long at = (round + fd) % 40;
                if (m_io.seeks(fd, at, SEEK_SET) != at || m_io.read(fd, buffer, 24) != 24 ||
                    plain.compare(std::size_t(at), 24, buffer, 24) != 0)
                    ++failures;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    live.erase(fd);
                }
                if (m_io.close(fd) != 0) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
