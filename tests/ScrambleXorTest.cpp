// The scrambling transform on its own: encrypt and decrypt against a plain byte loop, at every key phase, at
// offsets where 32 bits wrap, and at buffer addresses that no vector load would pick for itself. That pieces
// scrambled at their own offsets equal the whole follows from this, and is shown end to end by the callbacks'
// write test.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/SameBytes.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace {

using Testing::makeContent;
using Testing::sameBytes;

// Bytes that no transform writes: a stray store before or after the range shows up as a changed guard.
const std::size_t kGuard = 32;
const char kGuardByte = '\x5c';

// The transform as the archive format defines it, one byte at a time with the key index carried along.
void referenceXor(char* buf, unsigned int len, unsigned int offset) {
    unsigned int k = offset % 16;
    for (unsigned int i = 0; i < len; ++i) {
        buf[i] = static_cast<char>(buf[i] ^ ZIPEncryptedFileSystem::m_key[k]);
        k = (k + 1) % 16;
    }
}

// A buffer holding `data` at `misalignment` bytes past a 64-byte boundary, fenced with guard bytes.
class GuardedBuffer {
  public:
    GuardedBuffer(const std::string& data, std::size_t misalignment)
        : m_storage(data.size() + 2 * kGuard + 64 + misalignment, kGuardByte), m_uiSize(data.size()) {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(m_storage.data()) + kGuard;
        const std::uintptr_t aligned = (base + 63) & ~static_cast<std::uintptr_t>(63);
        m_pData = reinterpret_cast<char*>(aligned + misalignment);
        std::copy(data.begin(), data.end(), m_pData);
    }

    char* data() { return m_pData; }
    unsigned int size() const { return static_cast<unsigned int>(m_uiSize); }
    std::string content() const { return std::string(m_pData, m_uiSize); }

    // True when every byte outside [data, data + size) still holds the guard value.
    bool guardsIntact() const {
        for (const char* p = m_storage.data(); p != m_pData; ++p)
            if (*p != kGuardByte) return false;
        for (const char* p = m_pData + m_uiSize; p != m_storage.data() + m_storage.size(); ++p)
            if (*p != kGuardByte) return false;
        return true;
    }

  private:
    std::vector<char> m_storage;
    std::size_t m_uiSize;
    char* m_pData;
};

std::string referenceOf(std::string data, unsigned int offset) {
    referenceXor(&data[0], static_cast<unsigned int>(data.size()), offset);
    return data;
}

// Runs encrypt (or decrypt) over `data` at `offset` in a guarded buffer and checks it against the loop.
void expectMatchesReference(const std::string& data, unsigned int offset, std::size_t misalignment, bool bDecrypt) {
    GuardedBuffer buffer(data, misalignment);
    if (bDecrypt)
        ZIPEncryptedFileSystem::decrypt(buffer.data(), buffer.size(), offset);
    else
        ZIPEncryptedFileSystem::encrypt(buffer.data(), buffer.size(), offset);
    ASSERT_TRUE(sameBytes(referenceOf(data, offset), buffer.content()))
        << (bDecrypt ? "decrypt" : "encrypt") << " len " << data.size() << " offset " << offset << " misalignment "
        << misalignment;
    ASSERT_TRUE(buffer.guardsIntact()) << "len " << data.size() << " offset " << offset;
}

// A key of zeros would make scrambled archives plain ones; every other test would then prove nothing.
TEST(ScrambleXorTest, KeyScramblesSomething) {
    int nonZero = 0;
    for (unsigned char byte : ZIPEncryptedFileSystem::m_key) nonZero += byte != 0;
    EXPECT_GT(nonZero, 0);
}

// Zero lengths included; decrypt is the same transform (so it undoes encrypt).
TEST(ScrambleXorTest, EveryPhaseAndShortLengthMatchesTheByteLoop) {
    const std::string source = makeContent(64, 7, false);
    for (unsigned int phase = 0; phase < 16; ++phase) {
        for (std::size_t len = 0; len <= 64; ++len) {
            for (std::size_t misalignment : {0, 1, 3}) {
                const std::string data = source.substr(0, len);
                expectMatchesReference(data, phase, misalignment, false);
                expectMatchesReference(data, phase, misalignment, true);
                // Only the phase counts: a far offset with the same residue scrambles alike.
                expectMatchesReference(data, phase + 16 * 4099, misalignment, false);
            }
        }
    }
}

// Long buffers at odd addresses, and offsets where 32 bits wrap.
TEST(ScrambleXorTest, LongBuffersAndWrappingOffsetsMatchTheByteLoop) {
    const std::string source = makeContent(100000, 13, false);
    for (std::size_t len : {65, 127, 128, 129, 4096 + 7, 65536, 100000})
        for (unsigned int offset : {0u, 5u, 15u, 0xFFFFFFFDu})
            expectMatchesReference(source.substr(0, len), offset, len % 2 ? 1 : 3, false);
    for (unsigned int offset = 0xFFFFFFF0u; offset != 0; ++offset)
        for (std::size_t len : {1, 15, 16, 17, 33, 100})
            expectMatchesReference(source.substr(0, len), offset, offset % 2, offset % 3 == 0);
}

// Lengths whose loop bounds would wrap in 32 bits, on a buffer that ends exactly at an inaccessible page: a
// 2 MiB memfd mapped again and again over 4 GiB + 2 MiB of reserved address space (so no 4 GiB of memory).
// Byte c of the memfd lies under every window: it is scrambled once per position i of the buffer that falls on
// it, always with key byte i % 16 (2 MiB is a multiple of 16), so it ends as that key byte when the count is odd.
TEST(ScrambleXorTest, LengthsNearFourGiBEndAtAGuardPage) {
    const std::uint64_t kChunk = 2 << 20, kSpan = 2049 * kChunk,
                        kPage = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const int fd = memfd_create("xor-windows", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kChunk)));
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
            const char expected =
                visits % 2 ? static_cast<char>(ZIPEncryptedFileSystem::m_key[(c + 16 - first % 16) % 16]) : 0;
            if (base[c] != expected) FAIL() << "len " << len << ": byte " << c << " of the memfd";
        }
    }
    munmap(base, kSpan);
    close(fd);
}

}  // namespace
}  // namespace Tamsor
