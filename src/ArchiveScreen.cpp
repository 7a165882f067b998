#include "ArchiveScreen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zzip/plugin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

namespace Tamsor {

namespace {

const std::uint32_t kEndSignature = 0x06054b50;
const std::uint32_t kZip64LocatorSignature = 0x07064b50;
const std::uint32_t kZip64EndSignature = 0x06064b50;
const std::uint32_t kCentralSignature = 0x02014b50;
const std::size_t kEndSize = 22;
const std::size_t kZip64LocatorSize = 20;
const std::size_t kZip64EndSize = 56;
const std::size_t kCentralSize = 46;
const std::size_t kLocalHeaderSize = 30;
const std::size_t kMaxCommentSize = 0xFFFF;
const std::uint64_t kMaxEntries = 0xFFFF;
const std::uint64_t kMaxMemberSize = 0x7FFFFFFF;  // zziplib keeps sizes in an int
const std::uint32_t kZip64Marker = 0xFFFFFFFF;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

// The archive file, opened and read through the file system's I/O table.
class TableFile {
  public:
    TableFile(const char* path, const zzip_plugin_io& io) : m_rIO(io), m_fd(io.open(path, O_RDONLY)) {}
    ~TableFile() {
        if (m_fd >= 0) m_rIO.close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    std::int64_t size() const { return m_rIO.filesize(m_fd); }

    // Reads exactly `length` bytes at `offset`; false on any failure or short file.
    bool readAt(std::uint64_t offset, std::size_t length, std::vector<unsigned char>& bytes) const {
        bytes.resize(length);
        if (m_rIO.seeks(m_fd, static_cast<zzip_off_t>(offset), SEEK_SET) != static_cast<zzip_off_t>(offset))
            return false;
        std::size_t done = 0;
        while (done < length) {
            const zzip_ssize_t n = m_rIO.read(m_fd, bytes.data() + done, length - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

  private:
    const zzip_plugin_io& m_rIO;
    int m_fd;
};

// Where the end record starts in `tail`, or -1. The last signature whose record and comment fit the file wins.
long findEndRecord(const std::vector<unsigned char>& tail) {
    if (tail.size() < kEndSize) return -1;
    for (std::size_t i = tail.size() - kEndSize + 1; i-- > 0;) {
        if (le32(&tail[i]) != kEndSignature) continue;
        if (i + kEndSize + le16(&tail[i + 20]) <= tail.size()) return static_cast<long>(i);
    }
    return -1;
}

// True when the end-record signature appears in the last bytes of the file with no room for the record.
bool endsInsideEndRecord(const std::vector<unsigned char>& tail) {
    const std::size_t from = tail.size() >= kEndSize ? tail.size() - kEndSize + 1 : 0;
    for (std::size_t i = from; i + 4 <= tail.size(); ++i)
        if (le32(&tail[i]) == kEndSignature) return true;
    return false;
}

std::string describeZip64(const TableFile& file, const std::vector<unsigned char>& tail, std::size_t endInTail) {
    std::vector<unsigned char> bytes;
    const unsigned char* pLocator = &tail[endInTail - kZip64LocatorSize];
    const std::uint64_t zip64EndOffset = le64(pLocator + 8);
    if (file.readAt(zip64EndOffset, kZip64EndSize, bytes) && le32(bytes.data()) == kZip64EndSignature) {
        const std::uint64_t entries = le64(&bytes[32]);
        if (entries > kMaxEntries) {
            std::ostringstream reason;
            reason << "holds " << entries << " entries; more than " << kMaxEntries << " are not supported";
            return reason.str();
        }
    }
    return "uses zip64 records, which are not supported";
}

std::string describeMember(const std::string& strName, const char* what) {
    return "has a member '" + strName + "' " + what;
}

// Walks the central directory as zziplib will, checking every record against the directory's and the file's
// bounds, and every size against what zziplib can hold.
std::string screenCentralDirectory(const std::vector<unsigned char>& directory, std::uint64_t entries,
                                   std::uint64_t directoryOffset) {
    std::size_t p = 0;
    for (std::uint64_t n = 0; n < entries; ++n) {
        if (p + kCentralSize > directory.size() || le32(&directory[p]) != kCentralSignature)
            return "has a central directory that holds fewer entries than its end record says";
        const unsigned char* pRecord = &directory[p];
        const std::size_t recordSize = kCentralSize + le16(pRecord + 28) + le16(pRecord + 30) + le16(pRecord + 32);
        if (p + recordSize > directory.size()) return "has a central directory entry that runs past its end";
        const std::string strName(reinterpret_cast<const char*>(pRecord + kCentralSize), le16(pRecord + 28));
        const std::uint32_t compressedSize = le32(pRecord + 20);
        const std::uint32_t size = le32(pRecord + 24);
        const std::uint32_t localOffset = le32(pRecord + 42);
        if (compressedSize == kZip64Marker || size == kZip64Marker || localOffset == kZip64Marker)
            return "uses zip64 records, which are not supported";
        if (size > kMaxMemberSize || compressedSize > kMaxMemberSize) {
            std::ostringstream reason;
            reason << "has a member '" << strName << "' of " << std::max(size, compressedSize)
                   << " bytes; members of 2 GiB and more are not supported";
            return reason.str();
        }
        // Member data lies before the central directory (a prefix before the archive only lowers the offsets).
        if (localOffset + static_cast<std::uint64_t>(kLocalHeaderSize) + compressedSize > directoryOffset)
            return describeMember(strName, "whose data runs past the central directory");
        p += recordSize;
    }
    return std::string();
}

}  // namespace

std::string screenArchive(const char* path, union _zzip_plugin_io* pIO) {
    struct stat status;
    if (!path || !pIO || ::stat(path, &status) != 0 || S_ISDIR(status.st_mode)) return std::string();
    if (!S_ISREG(status.st_mode)) return "is not a regular file";

    const TableFile file(path, pIO->fd);
    if (!file.isOpen()) return std::string();
    const std::int64_t fileSize = file.size();
    if (fileSize < 0) return std::string();
    if (static_cast<std::uint64_t>(fileSize) < kEndSize) return "is too short to be a ZIP archive";

    std::vector<unsigned char> tail;
    const std::size_t tailSize = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(fileSize), kEndSize + kMaxCommentSize));
    const std::uint64_t tailOffset = static_cast<std::uint64_t>(fileSize) - tailSize;
    if (!file.readAt(tailOffset, tailSize, tail)) return std::string();

    const long endInTail = findEndRecord(tail);
    if (endInTail < 0) return endsInsideEndRecord(tail) ? "ends inside its end record" : std::string();
    const std::size_t endIndex = static_cast<std::size_t>(endInTail);
    const std::uint64_t endOffset = tailOffset + endIndex;
    const unsigned char* pEnd = &tail[endIndex];

    if (endIndex >= kZip64LocatorSize && le32(&tail[endIndex - kZip64LocatorSize]) == kZip64LocatorSignature)
        return describeZip64(file, tail, endIndex);
    if (le16(pEnd + 4) != 0 || le16(pEnd + 6) != 0) return "spans several disks, which is not supported";
    const std::uint64_t entries = le16(pEnd + 10);
    const std::uint32_t directorySize = le32(pEnd + 12);
    const std::uint32_t directoryOffset = le32(pEnd + 16);
    if (directorySize == kZip64Marker || directoryOffset == kZip64Marker)
        return "uses zip64 records, which are not supported";
    if (le16(pEnd + 8) != entries) return "has an end record whose entry counts disagree";
    if (static_cast<std::uint64_t>(directoryOffset) + directorySize > endOffset)
        return "has a central directory that lies outside the file";

    // Offsets count from the start of the archive, which a stub before it (a self-extractor) moves: then the
    // directory is found right before the end record instead, as unzip finds it.
    std::vector<unsigned char> directory;
    if (!file.readAt(directoryOffset, directorySize, directory)) return std::string();
    const bool bDirectoryThere = directory.size() >= 4 && le32(directory.data()) == kCentralSignature;
    if (!bDirectoryThere && entries != 0 && directoryOffset + directorySize < endOffset &&
        !file.readAt(endOffset - directorySize, directorySize, directory))
        return std::string();
    return screenCentralDirectory(directory, entries, directoryOffset);
}

}  // namespace Tamsor
