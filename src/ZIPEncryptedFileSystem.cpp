// The scrambled-archive file system and the zziplib I/O callbacks that unscramble archives as they are read.
//
// The callbacks' diagnostics are a contract with the host's log tooling: text, level, logger, file name and
// line are fixed and tested. Move no site off its line.

#include "tamsor/ZIPEncryptedFileSystem.h"

#include <emmintrin.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include <cstring>
#include <ios>
#include <memory>
#include <new>

#include "EncryptedFileHandleTable.h"
#include "tamsor/infra/AceCleanupLogger.h"
#include "tamsor/infra/LogMacros.h"
#include "tamsor/infra/StaticMemAllocator.h"
#include "tamsor/infra/TraceScope.h"

#define TAMSOR_SOURCE_FILE "ZIPEncryptedFileSystem"

namespace {

// The file-scope logger: made on first use, kept for the life of the process.
Tamsor::Logger& fileScopeLogger() {
    static Tamsor::Logger* pLogger = new Tamsor::AceCleanupLogger("corvane.zzip.ZIPEncryptedFileSystem");
    return *pLogger;
}

}  // namespace

namespace Tamsor {

// Makes the file-scope logger exist as soon as the library is loaded.
static Logger& __force_init_logger__fileScopeLogger = fileScopeLogger();

namespace {

// Every callback but open is handed back the number that open gave zziplib. A number that names no record
// (0, which never does, or one already closed) is refused with an ERROR line on the file-scope logger and -1;
// the line is built only when that logger is enabled for ERROR. Failing POSIX calls are not logged here:
// their -1 goes up to zziplib and the file system, with errno as the call left it.
// Records are not locked: zziplib uses one descriptor from one thread at a time. The table that maps numbers
// to records is shared by every scrambled file system of the process, and locks itself.
EncryptedFileHandleTable& handleTable() {
    return EncryptedFileHandleTable::instance();
}

// Opens the archive file and gives zziplib the number of a new record in place of the POSIX descriptor. Only
// the two fixed arguments go on: a creation mode is never forwarded.
int tamsor_zzip_open(zzip_char_t* name, int flags, ...) {
    const int fd = ::open(name, flags);
    if (fd < 0) return fd;
    const int descriptor = handleTable().insert(fd);
    if (descriptor < 0) ::close(fd);
    return descriptor;
}

// Closes the descriptor and frees its record, even when the POSIX close fails.
int tamsor_zzip_close(int fd) {
    EncryptedFileHandle* pHandle = handleTable().find(fd);
    if (!pHandle) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid fd 0x" << std::hex << fd);
        return -1;
    }
    const int result = ::close(pHandle->fd);
    handleTable().erase(fd);
    return result;
}

// Reads into the caller's buffer and unscrambles there, at the key phase of the record's position.
zzip_ssize_t tamsor_zzip_read(int fd, void* buf, zzip_size_t len) {
    EncryptedFileHandle* pHandle = handleTable().find(fd);
    if (!pHandle) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid fd 0x" << std::hex << fd);
        return -1;
    }
    // The descriptor is tested before the buffer. zziplib never passes a null buffer; a host calling through the
    // table might, and gets -1 with nothing read and the position unchanged.
    if (!buf) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid buffer, expecting a char* pointer");
        return -1;
    }
    const ssize_t n = ::read(pHandle->fd, buf, len);
    if (n < 0) return n;  // a failed read leaves the position as it was
    // Only the n bytes received are unscrambled: a short read leaves the rest of the buffer untouched.
    ZIPEncryptedFileSystem::decrypt(static_cast<char*>(buf), static_cast<unsigned int>(n), pHandle->position);
    // The position is 32 bits wide and wraps past 4 GiB; the key phase (position mod 16) stays right, since 2^32
    // is a multiple of 16. (zziplib itself reads no archive past 4 GiB: it knows no zip64 records.)
    //
    pHandle->position += static_cast<std::uint32_t>(n);
    return n;
}

// Scrambles a copy (the caller's buffer is read-only) at the record's position and writes it. The position
// moves by the bytes given, as the file position does when the whole copy is written; after a short or failed
// write it runs ahead of the file, and the next seek sets it right.
// No exception may leave a callback that a C library calls: when the copy cannot be had, the result is -1.
zzip_ssize_t tamsor_zzip_write(int fd, const void* buf, zzip_size_t len) {
    EncryptedFileHandle* pHandle = handleTable().find(fd);
    if (!pHandle) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid fd 0x" << std::hex << fd);
        return -1;
    }
    // As in read, the descriptor is tested before the buffer, and a null buffer writes nothing and leaves the
    // position where it was.
    //
    //
    if (!buf) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid buffer, expecting a const char* pointer");
        return -1;
    }
    std::unique_ptr<char[]> pCopy(new (std::nothrow) char[len ? len : 1]);
    if (!pCopy) return -1;
    std::memcpy(pCopy.get(), buf, len);
    ZIPEncryptedFileSystem::encrypt(pCopy.get(), static_cast<unsigned int>(len), pHandle->position);
    pHandle->position += static_cast<std::uint32_t>(len);
    return ::write(pHandle->fd, pCopy.get(), len);
}

// Moves the file position; the record follows it, so the next read unscrambles at the right phase. A failed
// seek leaves the position as it was.
zzip_off_t tamsor_zzip_seeks(int fd, zzip_off_t offset, int whence) {
    EncryptedFileHandle* pHandle = handleTable().find(fd);
    if (!pHandle) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid fd 0x" << std::hex << fd);
        return -1;
    }
    const off_t result = ::lseek(pHandle->fd, offset, whence);
    if (result >= 0) pHandle->position = static_cast<std::uint32_t>(result);
    return result;
}

// The on-disk size, which is the plain archive's size.
zzip_off_t tamsor_zzip_filesize(int fd) {
    EncryptedFileHandle* pHandle = handleTable().find(fd);
    if (!pHandle) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "Invalid fd 0x" << std::hex << fd);
        return -1;
    }
    struct stat status;
    if (::fstat(pHandle->fd, &status) != 0) return -1;
    return status.st_size;
}

constexpr unsigned char hexValue(char c) {
    return static_cast<unsigned char>(c >= '0' && c <= '9'   ? c - '0'
                                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                             : 0);
}

constexpr unsigned char keyByte(const char* hex, int index) {
    return static_cast<unsigned char>(hexValue(hex[2 * index]) << 4 | hexValue(hex[2 * index + 1]));
}

}  // namespace

#define TAMSOR_KEY_BYTE(i) keyByte(TAMSOR_SCRAMBLE_KEY_HEX, i)
const unsigned char ZIPEncryptedFileSystem::m_key[16] = {
    TAMSOR_KEY_BYTE(0),  TAMSOR_KEY_BYTE(1),  TAMSOR_KEY_BYTE(2),  TAMSOR_KEY_BYTE(3),
    TAMSOR_KEY_BYTE(4),  TAMSOR_KEY_BYTE(5),  TAMSOR_KEY_BYTE(6),  TAMSOR_KEY_BYTE(7),
    TAMSOR_KEY_BYTE(8),  TAMSOR_KEY_BYTE(9),  TAMSOR_KEY_BYTE(10), TAMSOR_KEY_BYTE(11),
    TAMSOR_KEY_BYTE(12), TAMSOR_KEY_BYTE(13), TAMSOR_KEY_BYTE(14), TAMSOR_KEY_BYTE(15)};
#undef TAMSOR_KEY_BYTE

const std::uint32_t ZIPEncryptedFileSystem::m_uiKeyLength;

ZIPEncryptedFileSystem::ZIPEncryptedFileSystem() {
    TraceScope scope(m_logger, "ZIPEncryptedFileSystem ctor", m_logger.getKnownLogLevel());
    if (m_pIOHandler.isNull()) return;
    m_pIOHandler->fd.open = &tamsor_zzip_open;
    m_pIOHandler->fd.close = &tamsor_zzip_close;
    m_pIOHandler->fd.read = &tamsor_zzip_read;
    m_pIOHandler->fd.seeks = &tamsor_zzip_seeks;
    m_pIOHandler->fd.filesize = &tamsor_zzip_filesize;
    m_pIOHandler->fd.write = &tamsor_zzip_write;
}

ZIPEncryptedFileSystem::~ZIPEncryptedFileSystem() {}

void* ZIPEncryptedFileSystem::operator new(std::size_t size) {
    return StaticMemAllocator::allocate(static_cast<unsigned int>(size), "ZIPEncryptedFileSystem");
}

void ZIPEncryptedFileSystem::operator delete(void* pBlock, std::size_t size) {
    StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), "ZIPEncryptedFileSystem");
}

// The key is exactly one 128-bit register: rotated once to the phase of `offset`, it XORs whole 16-byte blocks
// at once (a block keeps the phase), and the tail is finished byte by byte. The key index is carried and
// wrapped, never computed from offset + i, and the loops compare what is left (len - i, with i <= len) rather
// than i + 64 or i + 16: no sum can overflow, whatever len is.
void ZIPEncryptedFileSystem::encrypt(char* buf, unsigned int len, unsigned int offset) {
    unsigned int k = offset % m_uiKeyLength;
    unsigned int i = 0;
    if (len >= 16) {
        alignas(16) unsigned char rotatedKey[16];
        for (unsigned int j = 0; j < 16; ++j) rotatedKey[j] = m_key[(k + j) % m_uiKeyLength];
        const __m128i key = _mm_load_si128(reinterpret_cast<const __m128i*>(rotatedKey));
        for (; len - i >= 64; i += 64) {
            __m128i* p = reinterpret_cast<__m128i*>(buf + i);
            const __m128i a = _mm_xor_si128(_mm_loadu_si128(p), key);
            const __m128i b = _mm_xor_si128(_mm_loadu_si128(p + 1), key);
            const __m128i c = _mm_xor_si128(_mm_loadu_si128(p + 2), key);
            const __m128i d = _mm_xor_si128(_mm_loadu_si128(p + 3), key);
            _mm_storeu_si128(p, a);
            _mm_storeu_si128(p + 1, b);
            _mm_storeu_si128(p + 2, c);
            _mm_storeu_si128(p + 3, d);
        }
        for (; len - i >= 16; i += 16) {
            __m128i* p = reinterpret_cast<__m128i*>(buf + i);
            _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), key));
        }
    }
    for (; i < len; ++i) {
        buf[i] = static_cast<char>(buf[i] ^ m_key[k]);
        k = (k + 1) % m_uiKeyLength;
    }
}

void ZIPEncryptedFileSystem::decrypt(char* buf, unsigned int len, unsigned int offset) {
    encrypt(buf, len, offset);
}

}  // namespace Tamsor
