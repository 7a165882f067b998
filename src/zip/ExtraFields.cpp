#include "ExtraFields.h"

#include <zlib.h>

#include "UnixFields.h"
#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

const std::uint16_t kZip64Field = 0x0001;
const std::uint16_t kNtfsField = 0x000a;
const std::uint16_t kTimestampField = 0x5455;
const std::uint16_t kUnicodePathField = 0x7075;
const std::uint16_t kPkwareUnixField = 0x000d;
const std::uint16_t kInfoZipUnix1Field = 0x5855;
const std::uint16_t kInfoZipUnix2Field = 0x7855;
const std::uint16_t kInfoZipUnixNewField = 0x7875;
const std::uint16_t kAesField = 0x9901;
const std::uint16_t kAesMethod = 99;
const std::int64_t kNtfsTicksPerSecond = 10000000;
const std::int64_t kNtfsEpochToUnix = 11644473600;  // seconds from 1601-01-01 to 1970-01-01, both UTC

// The zip64 field holds, in this order, each of the uncompressed size, the compressed size and the local-header
// offset whose fixed field holds the marker, 8 bytes each (then the disk number, which is not used here). A
// value the field is too short for keeps the fixed field's marker, which the data checks then refuse.
// Some readers take the field's values by position instead (the uncompressed size first, whatever the markers
// say): a field that holds more values than the markers ask for must read the same both ways. (Fewer than 8
// bytes beyond them are the disk number, which no reader takes for a size.)
void readZip64(const unsigned char* p, std::size_t length, ArchiveMember& rMember) {
    std::uint64_t* const values[] = {&rMember.uiSize, &rMember.uiCompressedSize, &rMember.uiLocalHeaderOffset};
    std::size_t at = 0;
    for (std::uint64_t* pValue : values) {
        if (*pValue != kZip64Marker) continue;
        if (length - at < 8) return;
        *pValue = le64(p + at);
        at += 8;
    }
    for (std::size_t i = 0; length - at >= 8 && i < 3 && length - 8 * i >= 8; ++i)
        if (le64(p + 8 * i) != *values[i]) rMember.flaw = MemberFlaw::Zip64Disagrees;
}

// A flags byte, then the times its bits announce; a central record carries the modification time only (bit 0),
// in signed 32-bit seconds.
bool readTimestamp(const unsigned char* p, std::size_t length, std::int64_t& rTime) {
    if (length < 5 || (p[0] & 0x01) == 0) return false;
    rTime = static_cast<std::int32_t>(le32(p + 1));
    return true;
}

// Four reserved bytes, then tagged attributes; tag 1 (24 bytes) starts with the modification time in 100 ns
// ticks since 1601-01-01: whole seconds into `rTime`, the rest into `rNanoseconds`.
bool readNtfs(const unsigned char* p, std::size_t length, std::int64_t& rTime, std::uint32_t& rNanoseconds) {
    for (std::size_t at = 4; at <= length && length - at >= 4;) {
        const std::uint16_t tag = le16(p + at), size = le16(p + at + 2);
        at += 4;
        if (size > length - at) return false;
        if (tag == 1) {
            if (size != 24) return false;
            const std::uint64_t ticks = le64(p + at);
            rTime = static_cast<std::int64_t>(ticks / kNtfsTicksPerSecond) - kNtfsEpochToUnix;
            rNanoseconds = static_cast<std::uint32_t>(ticks % kNtfsTicksPerSecond) * 100;
            return true;
        }
        at += size;
    }
    return false;
}

// Version 1, the CRC-32 of the stored name it stands for, then the name in UTF-8: a name that was renamed by a
// tool that knew nothing of the field no longer matches the CRC, and the field is stale.
bool readUnicodePath(const unsigned char* p, std::size_t length, const std::string& strStoredName, std::string& rName) {
    if (length <= 5 || p[0] != 1) return false;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(strStoredName.data()),
                            static_cast<uInt>(strStoredName.size()));
    if (static_cast<std::uint32_t>(crc) != le32(p + 1)) return false;
    rName.assign(reinterpret_cast<const char*>(p + 5), length - 5);
    return true;
}

bool isAscii(const std::string& strName) {
    for (const char c : strName)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A Unicode Path stands for a stored name in a legacy code page. A UTF-8 stored name (flag bit 11) needs none:
// the two must be one name. A stored name in plain ASCII reads alike in every code page: the Unicode name must
// have the same ASCII characters in the same places, each other character standing for one '_' or '?' (what
// a writer puts for a character its code page lacks). Anything else would show readers that heed the field
// another file than those that do not. Other stored names are a code page's bytes, which are not compared.
bool unicodeNameAgrees(const ArchiveMember& member) {
    const std::string &unicode = member.unicodeName, &stored = member.name;
    if (member.hasUtf8Name()) return unicode == stored;
    if (!isAscii(stored)) return true;
    std::size_t s = 0;
    for (std::size_t u = 0; u < unicode.size(); ++s) {
        const unsigned char c = static_cast<unsigned char>(unicode[u]);
        if (s >= stored.size()) return false;
        if (c < 0x80) {
            if (stored[s] != unicode[u++]) return false;
            continue;
        }
        if (stored[s] != '_' && stored[s] != '?') return false;
        for (++u; u < unicode.size() && (static_cast<unsigned char>(unicode[u]) & 0xC0) == 0x80;) ++u;
    }
    return s == stored.size();
}

// The Unix fields, each read by its own rules (UnixFields.h); the first of each kind counts.
void readUnixField(std::uint16_t id, const unsigned char* p, std::size_t size, UnixFields& rUnix, unsigned& rSeen) {
    const std::uint16_t ids[] = {kPkwareUnixField, kInfoZipUnix1Field, kInfoZipUnix2Field, kInfoZipUnixNewField};
    bool (*const readers[])(const unsigned char*, std::size_t, UnixFields&) = {&readPkwareUnix, &readInfoZipUnix1,
                                                                               &readInfoZipUnix2, &readInfoZipUnixNew};
    for (unsigned i = 0; i < 4; ++i) {
        if (id != ids[i] || (rSeen & 1u << i) != 0) continue;
        if (readers[i](p, size, rUnix)) rSeen |= 1u << i;
        return;
    }
}

// The modification time by its sources: an extended timestamp, unless an NTFS time agrees with it to the second
// (then the NTFS time, which adds the fraction); an NTFS time alone; the Unix fields' time; the MS-DOS time.
void settleTime(bool bTimestamp, std::int64_t timestamp, bool bNtfs, std::int64_t ntfsTime, std::uint32_t uiNanoseconds,
                UnixFields& rUnix, ArchiveMember& rMember) {
    if (bNtfs && (!bTimestamp || timestamp == ntfsTime)) {
        rMember.modificationTime = static_cast<std::time_t>(ntfsTime);
        rMember.timeSource = TimeSource::Ntfs;
        rUnix.details.uiNanoseconds = uiNanoseconds;
    } else if (bTimestamp) {
        rMember.modificationTime = static_cast<std::time_t>(timestamp);
        rMember.timeSource = TimeSource::ExtendedTimestamp;
    } else if (rUnix.bUnixTime) {
        rMember.modificationTime = static_cast<std::time_t>(rUnix.unixTime);
        rMember.timeSource = TimeSource::UnixField;
    }
}

}  // namespace

void readExtraFields(const unsigned char* p, std::size_t length, ArchiveMember& rMember, UnixFields& rUnix) {
    bool bTimestamp = false, bNtfs = false, bZip64 = false, bUnicode = false;
    std::int64_t timestamp = 0, ntfsTime = 0;
    std::uint32_t uiNanoseconds = 0;
    unsigned uiUnixSeen = 0;
    rUnix.clear();
    for (std::size_t at = 0; length - at >= 4;) {
        const std::uint16_t id = le16(p + at), size = le16(p + at + 2);
        at += 4;
        if (size > length - at) break;
        const unsigned char* pData = p + at;
        at += size;
        // Of two fields of one kind, the first counts.
        if (id == kZip64Field && !bZip64) {
            bZip64 = true;
            readZip64(pData, size, rMember);
        } else if (id == kTimestampField && !bTimestamp) {
            bTimestamp = readTimestamp(pData, size, timestamp);
        } else if (id == kNtfsField && !bNtfs) {
            bNtfs = readNtfs(pData, size, ntfsTime, uiNanoseconds);
        } else if (id == kUnicodePathField && !bUnicode) {
            bUnicode = readUnicodePath(pData, size, rMember.name, rMember.unicodeName);
        } else {
            readUnixField(id, pData, size, rUnix, uiUnixSeen);
        }
    }
    if (bUnicode && !unicodeNameAgrees(rMember)) rMember.flaw = MemberFlaw::NameAmbiguous;
    if (rMember.uiMethod == kAesMethod) readAesField(p, length, rMember);
    settleTime(bTimestamp, timestamp, bNtfs, ntfsTime, uiNanoseconds, rUnix, rMember);
}

// The vendor version (2 bytes), the vendor id "AE", the strength (1 byte), the actual method (2 bytes).
void readAesField(const unsigned char* p, std::size_t length, ArchiveMember& rMember) {
    for (std::size_t at = 0; length - at >= 4;) {
        const std::uint16_t id = le16(p + at), size = le16(p + at + 2);
        at += 4;
        if (size > length - at) return;
        if (id == kAesField) {
            const unsigned char* q = p + at;
            const std::uint16_t version = size == 7 ? le16(q) : 0;
            if ((version != 1 && version != 2) || q[2] != 'A' || q[3] != 'E' || q[4] < 1 || q[4] > 3) return;
            rMember.uiAesVersion = version;
            rMember.uiAesStrength = q[4];
            rMember.uiAesMethod = le16(q + 5);
            return;
        }
        at += size;
    }
}

}  // namespace ZipRecords
}  // namespace Tamsor
