#include "ZipRecords.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

namespace Tamsor {
namespace ZipRecords {

TableFile::TableFile(const zzip_plugin_io& io, const char* path)
    : m_rIO(io), m_fd(io.open(path, O_RDONLY)), m_iSize(m_fd >= 0 ? io.filesize(m_fd) : -1) {}

TableFile::~TableFile() {
    if (m_fd >= 0) m_rIO.close(m_fd);
}

bool TableFile::readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const {
    unsigned char* const pBytes = static_cast<unsigned char*>(pBuffer);
    if (m_rIO.seeks(m_fd, static_cast<zzip_off_t>(offset), SEEK_SET) != static_cast<zzip_off_t>(offset)) return false;
    std::size_t done = 0;
    while (done < length) {
        const zzip_ssize_t n = m_rIO.read(m_fd, pBytes + done, length - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Whether readers that pick the end record by other rules than the last one whose comment fits (the last
// signature of all; the one whose comment ends the file exactly) would pick another than the one at `chosen`.
bool hasRivalEndRecord(const std::vector<unsigned char>& tail, std::size_t chosen) {
    const auto endsFile = [&tail](std::size_t i) {
        return i + kEndSize <= tail.size() && i + kEndSize + le16(&tail[i + 20]) == tail.size();
    };
    for (std::size_t i = chosen + 1; i + 4 <= tail.size(); ++i)
        if (le32(&tail[i]) == kEndSignature) return true;
    if (endsFile(chosen)) return false;
    for (std::size_t i = 0; i < chosen; ++i)
        if (le32(&tail[i]) == kEndSignature && endsFile(i)) return true;
    return false;
}

}  // namespace

bool readBytes(const ArchiveFile& file, std::uint64_t offset, std::size_t length, std::vector<unsigned char>& rBytes) {
    rBytes.resize(length);
    return file.readAt(offset, rBytes.data(), length);
}

EndSearch findEndRecord(const ArchiveFile& file, std::uint64_t fileSize, EndRecord& record) {
    const std::size_t tailSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndSize + kMaxCommentSize));
    const std::uint64_t tailOffset = fileSize - tailSize;
    std::vector<unsigned char> tail;
    if (tailSize == 0 || !readBytes(file, tailOffset, tailSize, tail)) return EndSearch::NotFound;
    // From the end backwards: a signature whose record and comment do not fit is inside a comment.
    for (std::size_t i = tailSize >= kEndSize ? tailSize - kEndSize + 1 : 0; i-- > 0;) {
        const unsigned char* p = &tail[i];
        if (le32(p) != kEndSignature || i + kEndSize + le16(p + 20) > tailSize) continue;
        record.uiOffset = tailOffset + i;
        record.uiDisk = le16(p + 4);
        record.uiDirectoryDisk = le16(p + 6);
        record.uiEntriesOnDisk = le16(p + 8);
        record.uiEntries = le16(p + 10);
        record.uiDirectorySize = le32(p + 12);
        record.uiDirectoryOffset = le32(p + 16);
        record.bZip64Locator = i >= kZip64LocatorSize && le32(p - kZip64LocatorSize) == kZip64LocatorSignature;
        if (record.bZip64Locator) record.uiZip64EndOffset = le64(p - kZip64LocatorSize + 8);
        record.bAmbiguous = hasRivalEndRecord(tail, i);
        return EndSearch::Found;
    }
    const std::size_t from = tailSize >= kEndSize ? tailSize - kEndSize + 1 : 0;
    for (std::size_t i = from; i + 4 <= tailSize; ++i)
        if (le32(&tail[i]) == kEndSignature) return EndSearch::CutShort;
    return EndSearch::NotFound;
}

bool readZip64EndRecord(const ArchiveFile& file, std::uint64_t offset, Zip64EndRecord& record) {
    unsigned char bytes[kZip64EndSize];
    // The length field counts what follows it: at least the fixed fields.
    if (!file.readAt(offset, bytes, kZip64EndSize) || le32(bytes) != kZip64EndSignature ||
        le64(bytes + 4) < kZip64EndSize - 12)
        return false;
    record.uiOffset = offset;
    record.uiDisk = le32(bytes + 16);
    record.uiDirectoryDisk = le32(bytes + 20);
    record.uiEntries = le64(bytes + 32);
    record.uiDirectorySize = le64(bytes + 40);
    record.uiDirectoryOffset = le64(bytes + 48);
    return true;
}

namespace {

// Eight bytes a step: every directory open digests the whole listing, so a step per byte cost about 3% of a
// walk of 20,000 files. Kept here, inline, rather than as a member: a call out of the library goes through
// its procedure linkage table.
inline std::uint64_t mixWord(std::uint64_t value, std::uint64_t word) {
    value = (value ^ word) * 0x9e3779b97f4a7c15ull;
    return value ^ value >> 29;
}

// The tail's length is mixed in by the caller.
inline std::uint64_t mixBytes(std::uint64_t value, const char* bytes, std::size_t length) {
    for (; length >= 8; bytes += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        value = mixWord(value, word);
    }
    if (length == 0) return value;
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes, length);
    return mixWord(value, tail);
}

}  // namespace

void ListingDigest::add(const char* name, std::size_t nameLength, std::uint32_t method, std::uint32_t compressedSize,
                        std::uint32_t size) {
    const std::size_t shownLength = std::find(name, name + nameLength, '\0') - name;
    std::uint64_t value = mixBytes(m_uiValue, name, shownLength);
    value = mixWord(value, std::uint64_t(shownLength) << 8 | (method & 0xFF));  // zziplib keeps the method in a byte
    m_uiValue = mixWord(value, std::uint64_t(compressedSize) << 32 | size);
    ++m_uiEntries;
}

}  // namespace ZipRecords
}  // namespace Tamsor
