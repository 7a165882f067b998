#ifndef TAMSOR_SRC_ZIPRECORDS_H
#define TAMSOR_SRC_ZIPRECORDS_H

// Reading a ZIP archive's end record and central directory ourselves, through a zziplib I/O table (plain or
// unscrambling): shared by the binding screen and the member index. Every number read is a claim that callers
// check before they rely on it.

#include <zzip/plugin.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tamsor/ArchiveFile.h"

namespace Tamsor {
namespace ZipRecords {

const std::uint32_t kEndSignature = 0x06054b50;
const std::uint32_t kZip64LocatorSignature = 0x07064b50;
const std::uint32_t kZip64EndSignature = 0x06064b50;
const std::uint32_t kCentralSignature = 0x02014b50;
const std::uint32_t kLocalHeaderSignature = 0x04034b50;
const std::uint32_t kDataDescriptorSignature = 0x08074b50;
const std::size_t kEndSize = 22;
const std::size_t kZip64LocatorSize = 20;
const std::size_t kZip64EndSize = 56;
const std::size_t kCentralSize = 46;
const std::size_t kLocalHeaderSize = 30;
const std::size_t kMaxCommentSize = 0xFFFF;
// What a 32-bit size or offset field holds when the value is in the zip64 extra field instead.
const std::uint32_t kZip64Marker = 0xFFFFFFFF;

inline std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

// The archive file opened through a zziplib I/O table (the binding screen reads as zziplib will), and closed when
// this goes. One thread at a time: each read seeks the table's one descriptor.
class TableFile : public ArchiveFile {
  public:
    TableFile(const zzip_plugin_io& io, const char* path);
    ~TableFile() override;

    // Opened and measured.
    bool isOpen() const { return m_fd >= 0 && m_iSize >= 0; }
    std::uint64_t size() const override { return m_iSize < 0 ? 0 : static_cast<std::uint64_t>(m_iSize); }
    // On a failed seek or read, or a short file, false.
    bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const override;

    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

  private:
    const zzip_plugin_io& m_rIO;
    int m_fd;
    std::int64_t m_iSize;
};

// Exactly `length` bytes of `file` at `offset` into `rBytes` (resized to them); false when they cannot be had.
bool readBytes(const ArchiveFile& file, std::uint64_t offset, std::size_t length, std::vector<unsigned char>& rBytes);

// The end record, as found in the last 64 KiB of the file.
struct EndRecord {
    std::uint64_t uiOffset = 0;  // where the record starts in the file
    std::uint16_t uiDisk = 0;    // this disk's number and the directory's disk (0 unless spanned)
    std::uint16_t uiDirectoryDisk = 0;
    std::uint16_t uiEntriesOnDisk = 0;
    std::uint16_t uiEntries = 0;
    std::uint32_t uiDirectorySize = 0;
    std::uint32_t uiDirectoryOffset = 0;
    bool bZip64Locator = false;          // a zip64 end locator stands right before the record
    std::uint64_t uiZip64EndOffset = 0;  // where that locator says the zip64 end record is
    // Another end record's signature lies after this one (readers that take the last signature take that one),
    // or this one's comment stops short of the end of the file while an earlier one's reaches it exactly
    // (readers that want the comment to end the file take that one).
    bool bAmbiguous = false;
};

enum class EndSearch {
    Found,     // `record` describes the last end record whose comment fits in the file
    NotFound,  // no end record (or the file could not be read)
    CutShort,  // an end record's signature in the file's last bytes, with no room for the record
};

EndSearch findEndRecord(const ArchiveFile& file, std::uint64_t fileSize, EndRecord& record);

// The zip64 end record: the numbers of the end record, past their 16- and 32-bit limits.
struct Zip64EndRecord {
    std::uint64_t uiOffset = 0;  // where the record starts in the file
    std::uint32_t uiDisk = 0;
    std::uint32_t uiDirectoryDisk = 0;
    std::uint64_t uiEntries = 0;
    std::uint64_t uiDirectorySize = 0;
    std::uint64_t uiDirectoryOffset = 0;
};

// The zip64 end record at `offset`; false when the bytes there are not one (signature, length) or cannot be read.
bool readZip64EndRecord(const ArchiveFile& file, std::uint64_t offset, Zip64EndRecord& record);

// A digest of what a listing shows of each entry, in order: its name (up to a NUL, where zziplib's names
// end), method and sizes. Taken from the central directory by the binding screen and from zziplib's reading
// of it, the two must agree: a short read of one record makes zziplib read the next ones wrong.
class ListingDigest {
  public:
    void add(const char* name, std::size_t nameLength, std::uint32_t method, std::uint32_t compressedSize,
             std::uint32_t size);
    std::uint64_t value() const { return m_uiValue; }
    std::uint64_t entries() const { return m_uiEntries; }

  private:
    std::uint64_t m_uiValue = 0xcbf29ce484222325ull;
    std::uint64_t m_uiEntries = 0;
};

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
