#include "LocalRecords.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ExtraFields.h"
#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

const std::uint16_t kEncryptedFlag = 0x0001;
const std::uint16_t kDescriptorFlag = 0x0008;
// Read with the fixed part in one go: the local extra fields that writers put there (times, Unix ids, zip64
// sizes, an NTFS field) fit in this.
const std::size_t kExtraGuess = 96;

struct LocalHeader {
    std::uint16_t uiFlags, uiMethod;
    std::uint32_t uiCrc32;
    std::uint64_t uiCompressedSize, uiSize;
    std::size_t uiNameLength, uiExtraLength;
};

LocalHeader fixedPartOf(const unsigned char* p) {
    return LocalHeader{le16(p + 6), le16(p + 8), le32(p + 14), le32(p + 18), le32(p + 22), le16(p + 26), le16(p + 28)};
}

// The zip64 field of a local header gives the uncompressed, then the compressed size, each where the fixed
// field holds the marker.
void readLocalZip64(const unsigned char* pExtra, std::size_t length, LocalHeader& rHeader) {
    for (std::size_t at = 0; length - at >= 4;) {
        const std::uint16_t id = le16(pExtra + at), size = le16(pExtra + at + 2);
        at += 4;
        if (size > length - at) return;
        if (id == 0x0001) {
            std::size_t value = 0;
            for (std::uint64_t* pSize : {&rHeader.uiSize, &rHeader.uiCompressedSize}) {
                if (*pSize != kZip64Marker || size - value < 8) continue;
                *pSize = le64(pExtra + at + value);
                value += 8;
            }
            return;
        }
        at += size;
    }
}

// A streaming reader takes a WinZip AES member's key size and method from the local header's AES field.
bool sameAesField(const unsigned char* pExtra, std::size_t length, const ArchiveMember& member) {
    if (member.uiMethod != 99) return true;
    ArchiveMember local;
    readAesField(pExtra, length, local);
    return local.uiAesVersion == member.uiAesVersion && local.uiAesStrength == member.uiAesStrength &&
           local.uiAesMethod == member.uiAesMethod;
}

// What the local header says that a streaming reader would go by, against the central directory.
ReadStatus compare(const LocalHeader& header, const unsigned char* pName, const ArchiveMember& member) {
    if (header.uiNameLength != member.name.size() || std::memcmp(pName, member.name.data(), member.name.size()) != 0)
        return ReadStatus::LocalNameMismatch;
    if (header.uiMethod != member.uiMethod || ((header.uiFlags ^ member.uiFlags) & kEncryptedFlag) != 0 ||
        !sameAesField(pName + header.uiNameLength, header.uiExtraLength, member))
        return ReadStatus::LocalHeaderMismatch;
    if ((header.uiFlags & kDescriptorFlag) == 0 &&
        (header.uiCrc32 != member.uiCrc32 || header.uiCompressedSize != member.uiCompressedSize ||
         header.uiSize != member.uiSize))
        return ReadStatus::LocalHeaderMismatch;
    return ReadStatus::Ok;
}

// The data descriptor's length when one of its four forms (signature or not, 32- or 64-bit sizes) at `p` gives
// the central directory's values; 0 when none does.
std::size_t descriptorMatching(const unsigned char* p, std::size_t available, const ArchiveMember& member) {
    for (const std::size_t start : {std::size_t(4), std::size_t(0)}) {
        if (start == 4 && (available < 4 || le32(p) != kDataDescriptorSignature)) continue;
        for (const std::size_t width : {std::size_t(4), std::size_t(8)}) {
            const std::size_t length = start + 4 + 2 * width;
            if (length > available) continue;
            const unsigned char* q = p + start;
            const std::uint64_t compressed = width == 4 ? le32(q + 4) : le64(q + 4);
            const std::uint64_t size = width == 4 ? le32(q + 4 + width) : le64(q + 4 + width);
            if (le32(q) == member.uiCrc32 && compressed == member.uiCompressedSize && size == member.uiSize)
                return length;
        }
    }
    return 0;
}

// After the data, where the local header announced a descriptor: its length, or DescriptorMismatch when one is
// plainly there (its signature, or the member's CRC-32 where it would start) with other values. An announced
// descriptor that is not there at all is no other story: a streaming reader fails on it.
ReadStatus readDescriptor(const ArchiveMember& member, std::uint64_t uiEnd, std::uint64_t uiFileSize,
                          const ReadExactly& readExactly, std::uint64_t& rLength) {
    unsigned char bytes[24];
    const std::size_t available = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(bytes), uiFileSize - uiEnd));
    if (available > 0 && !readExactly(uiEnd, bytes, available)) return ReadStatus::IoError;
    rLength = descriptorMatching(bytes, available, member);
    if (rLength == 0 && available >= 4 && (le32(bytes) == kDataDescriptorSignature || le32(bytes) == member.uiCrc32))
        return ReadStatus::DescriptorMismatch;
    return ReadStatus::Ok;
}

// Where the member's records end: right at uiDataLimit, or before it with no local header in between.
ReadStatus checkEnd(const ArchiveMember& member, std::uint64_t uiEnd, const ReadExactly& readExactly) {
    if (member.uiDataLimit == 0 || uiEnd == member.uiDataLimit) return ReadStatus::Ok;
    if (uiEnd > member.uiDataLimit) return ReadStatus::Overlapping;
    unsigned char signature[4];
    if (member.uiDataLimit - uiEnd < sizeof(signature)) return ReadStatus::Ok;
    if (!readExactly(uiEnd, signature, sizeof(signature))) return ReadStatus::IoError;
    return le32(signature) == kLocalHeaderSignature ? ReadStatus::UnlistedMember : ReadStatus::Ok;
}

}  // namespace

ReadStatus checkLocalRecords(const ArchiveMember& member, std::uint64_t uiFileSize, const ReadExactly& readExactly,
                             std::uint64_t& rDataOffset) {
    const std::uint64_t offset = member.uiLocalHeaderOffset;
    if (uiFileSize < kLocalHeaderSize || offset > uiFileSize - kLocalHeaderSize) return ReadStatus::BadLocalHeader;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(
        std::min<std::uint64_t>(kLocalHeaderSize + member.name.size() + kExtraGuess, uiFileSize - offset)));
    if (!readExactly(offset, bytes.data(), bytes.size())) return ReadStatus::IoError;
    if (le32(bytes.data()) != kLocalHeaderSignature) return ReadStatus::BadLocalHeader;
    LocalHeader header = fixedPartOf(bytes.data());
    const std::size_t variable = header.uiNameLength + header.uiExtraLength;
    if (variable > uiFileSize - offset - kLocalHeaderSize) return ReadStatus::BadLocalHeader;
    if (kLocalHeaderSize + variable > bytes.size()) {
        const std::size_t have = bytes.size();
        bytes.resize(kLocalHeaderSize + variable);
        if (!readExactly(offset + have, &bytes[have], bytes.size() - have)) return ReadStatus::IoError;
    }
    const unsigned char* pName = &bytes[kLocalHeaderSize];
    readLocalZip64(pName + header.uiNameLength, header.uiExtraLength, header);
    const std::uint64_t dataOffset = offset + kLocalHeaderSize + variable;
    if (member.uiCompressedSize > uiFileSize - dataOffset) return ReadStatus::BadLocalHeader;
    ReadStatus status = compare(header, pName, member);
    if (status != ReadStatus::Ok) return status;
    // An encrypted member's data holds its encryption's header and trailer too: openEncryption checks those.
    if (member.uiMethod == 0 && !member.isEncrypted() && member.uiCompressedSize != member.uiSize)
        return ReadStatus::SizeMismatch;
    std::uint64_t end = dataOffset + member.uiCompressedSize, descriptorLength = 0;
    if (header.uiFlags & kDescriptorFlag) {
        status = readDescriptor(member, end, uiFileSize, readExactly, descriptorLength);
        if (status != ReadStatus::Ok) return status;
    }
    status = checkEnd(member, end + descriptorLength, readExactly);
    if (status == ReadStatus::Ok) rDataOffset = dataOffset;
    return status;
}

}  // namespace ZipRecords
}  // namespace Tamsor
