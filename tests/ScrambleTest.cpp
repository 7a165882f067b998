// Scrambling: the transform on lengths near 4 GiB, on a buffer that ends at a guard page, and the I/O callbacks
// that a scrambled file system puts into its zziplib table, called through that very table on real files:
// descriptor numbers, scrambled writes at every phase, and the position (the key phase) after short reads and
// failed calls. The transform at every phase, length and address is the file systems' (their suites read every
// member of scrambled archives through zziplib, in pieces of many sizes, and seek), so is the descriptor table
// under threads (scrambled file systems on threads of their own, ZipFsTest), and the callbacks' diagnostics are
// in ZipFsDiagnosticsTest.

#include <sys/mman.h>
#include <zzip/plugin.h>

#include <fstream>
#include <set>

#include "EncryptedFileHandleTable.h"
#include "ZipFsFixture.h"

namespace Tamsor::Testing {
namespace {

// The transform as the format defines it, one byte at a time.
std::string byteLoop(std::string data, unsigned int offset) {
    for (std::size_t i = 0; i < data.size(); ++i) data[i] ^= ZIPEncryptedFileSystem::m_key[(offset + i) % 16];
    return data;
}

// Lengths whose loop bounds would wrap in 32 bits, on a buffer that ends exactly at an inaccessible page: a 2 MiB
// memfd mapped again and again over 4 GiB + 2 MiB of reserved address space (so no 4 GiB of memory). Byte c of
// the memfd lies under every window: it is scrambled once per position of the buffer that falls on it, always
// with the same key byte (2 MiB is a multiple of 16), so it ends as that key byte when the count is odd.
TEST(ScrambleXorTest, LengthsNearFourGiBEndAtAGuardPage) {
    EXPECT_NE(std::string(16, '\0'), std::string(ZIPEncryptedFileSystem::m_key, ZIPEncryptedFileSystem::m_key + 16));
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

// The position is the key phase of the next byte, and follows the file's: a read moves it by the bytes it returned
// (a short one at the end, then the file grows), a failed seek or read leaves it. A record goes with its number
// even when the POSIX close fails.
TEST_F(ScrambleCallbacksTest, PositionMovesByWhatTheFileDid) {
    const std::string plain = makeContent(40, 6, false);
    const int fd = open(plain.substr(0, 10)), dirFd = m_io.open(m_dir.path().c_str(), O_RDONLY);
    EXPECT_EQ(plain.substr(0, 10), read(fd, 16));
    std::ofstream(m_dir.file("a.bin"), std::ios::binary | std::ios::app) << byteLoop(plain, 0).substr(10);
    EXPECT_EQ(-1, m_io.seeks(fd, -1, SEEK_SET));
    EXPECT_EQ(plain.substr(10), read(fd, 100));
    EXPECT_TRUE(m_io.read(dirFd, &std::string(8, ' ')[0], 8) == -1 && positionOf(dirFd) == 0);
    ::close(table().find(fd)->fd);
    EXPECT_TRUE(m_io.close(fd) == -1 && table().find(fd) == nullptr);
    EXPECT_EQ(0, m_io.close(dirFd));
}

}  // namespace
}  // namespace Tamsor::Testing
