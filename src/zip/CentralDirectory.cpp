#include "CentralDirectory.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "ExtraFields.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

const std::size_t kWindow = 1 << 20;

// What the end records claim: the zip64 end record's numbers when a locator leads to one.
struct Claim {
    std::uint64_t uiEntries, uiSize, uiOffset, uiDisk, uiDirectoryDisk;
    std::uint64_t uiRecordsStart;  // where the end records start: the directory must end there or before
};

// The zip64 end record that the locator points to, or the one right before the locator when a stub before the
// archive has moved it (a record without extensible data, as writers make them).
bool findZip64End(const ArchiveFile& file, const EndRecord& end, Zip64EndRecord& rRecord) {
    if (end.uiOffset < kZip64LocatorSize + kZip64EndSize) return false;
    const std::uint64_t beforeLocator = end.uiOffset - kZip64LocatorSize - kZip64EndSize;
    return (end.uiZip64EndOffset <= beforeLocator && readZip64EndRecord(file, end.uiZip64EndOffset, rRecord)) ||
           readZip64EndRecord(file, beforeLocator, rRecord);
}

// A locator with no zip64 end record is harmless when the end record holds every number itself (a locator's
// signature may end a directory by chance), fatal when one of them is left to the zip64 record.
std::string claimOf(const ArchiveFile& file, const EndRecord& end, Claim& rClaim) {
    rClaim = {end.uiEntries, end.uiDirectorySize, end.uiDirectoryOffset, end.uiDisk, end.uiDirectoryDisk, end.uiOffset};
    Zip64EndRecord record;
    if (!end.bZip64Locator) return std::string();
    if (!findZip64End(file, end, record)) {
        const bool bComplete =
            end.uiEntries != 0xFFFF && end.uiDirectorySize != kZip64Marker && end.uiDirectoryOffset != kZip64Marker;
        return bComplete ? std::string() : "has a zip64 end locator that leads to no zip64 end record";
    }
    rClaim = {record.uiEntries, record.uiDirectorySize, record.uiDirectoryOffset,
              record.uiDisk,    record.uiDirectoryDisk, record.uiOffset};
    return std::string();
}

bool startsWithCentralRecord(const ArchiveFile& file, std::uint64_t offset) {
    unsigned char signature[4];
    return file.readAt(offset, signature, sizeof(signature)) && le32(signature) == kCentralSignature;
}

// A stub before the archive (a self-extracting program) leaves every offset the archive states short by its
// length; the directory then ends where the end records start, which is where unzip looks for it too. Some
// readers (Python's) always look there: when a directory stands both there and where the end record says (an
// archive after another of its size), they read another archive than the others.
std::string placeAfterStub(const ArchiveFile& file, std::uint64_t uiRecordsStart, DirectoryPlace& rPlace) {
    if (rPlace.uiEntries == 0) return std::string();
    const std::uint64_t moved = uiRecordsStart - rPlace.uiSize;
    if (startsWithCentralRecord(file, rPlace.uiOffset)) {
        return moved != rPlace.uiOffset && startsWithCentralRecord(file, moved)
                   ? "has two central directories that readers could choose between"
                   : std::string();
    }
    if (moved == rPlace.uiOffset || !startsWithCentralRecord(file, moved))
        return "has no central directory where its end record says";
    rPlace.uiShift = moved - rPlace.uiOffset;
    rPlace.uiOffset = moved;
    return std::string();
}

// The directory read in windows of kWindow bytes (or one record, when a record is larger).
class DirectoryStream {
  public:
    DirectoryStream(const ArchiveFile& file, const DirectoryPlace& place)
        : m_rFile(file), m_uiNext(place.uiOffset), m_uiLeft(place.uiSize) {}

    // The next `length` bytes; null when the directory holds fewer, or a read fails.
    const unsigned char* peek(std::size_t length) {
        if (m_uiEnd - m_uiPos >= length) return m_pBuffer.get() + m_uiPos;
        const std::size_t have = m_uiEnd - m_uiPos;
        if (length - have > m_uiLeft) return nullptr;
        const std::size_t more = static_cast<std::size_t>(std::min<std::uint64_t>(m_uiLeft, std::max(kWindow, length)));
        // The bytes not yet taken go first, in a buffer made larger only for a record larger than the window.
        if (have + more > m_uiCapacity) {
            std::unique_ptr<unsigned char[]> pLarger(new unsigned char[have + more]);
            if (have > 0) std::memcpy(pLarger.get(), m_pBuffer.get() + m_uiPos, have);
            m_pBuffer = std::move(pLarger);
            m_uiCapacity = have + more;
        } else if (have > 0) {
            std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_uiPos, have);
        }
        m_uiPos = 0;
        m_uiEnd = have;
        if (!m_rFile.readAt(m_uiNext, m_pBuffer.get() + have, more)) {
            m_bFailed = true;
            return nullptr;
        }
        m_uiNext += more;
        m_uiLeft -= more;
        m_uiEnd += more;
        return m_pBuffer.get();
    }
    void skip(std::size_t length) { m_uiPos += length; }
    bool failed() const { return m_bFailed; }

  private:
    const ArchiveFile& m_rFile;
    std::uint64_t m_uiNext;  // the file offset of the first byte not yet read
    std::uint64_t m_uiLeft;  // the directory's bytes not yet read
    std::unique_ptr<unsigned char[]> m_pBuffer;
    std::size_t m_uiCapacity = 0;
    std::size_t m_uiPos = 0;  // the first byte of the buffer not yet taken
    std::size_t m_uiEnd = 0;  // one past the last byte read into it
    bool m_bFailed = false;
};

// MS-DOS date and time (2-second steps, years from 1980) as this machine's local time. Members share few
// distinct times, and mktime is slow: the last one is kept.
class DosClock {
  public:
    std::time_t timeOf(std::uint16_t uiDate, std::uint16_t uiTime) {
        const std::uint32_t key = static_cast<std::uint32_t>(uiDate) << 16 | uiTime;
        if (m_bKnown && key == m_uiKey) return m_time;
        std::tm parts{};
        parts.tm_year = 80 + (uiDate >> 9);
        parts.tm_mon = ((uiDate >> 5) & 0x0f) - 1;
        parts.tm_mday = uiDate & 0x1f;
        parts.tm_hour = uiTime >> 11;
        parts.tm_min = (uiTime >> 5) & 0x3f;
        parts.tm_sec = (uiTime & 0x1f) * 2;
        parts.tm_isdst = -1;
        m_time = std::mktime(&parts);
        m_uiKey = key;
        m_bKnown = true;
        return m_time;
    }

  private:
    bool m_bKnown = false;
    std::uint32_t m_uiKey = 0;
    std::time_t m_time = 0;
};

// The record at `p` (whose lengths have been checked) into `rMember`, its offsets as the archive states them.
// The member is reused from record to record: its strings keep their storage.
void readMember(const unsigned char* p, DosClock& rClock, ArchiveMember& member, UnixFields& rUnix) {
    static_cast<MemberRecord&>(member) = MemberRecord();
    member.unicodeName.clear();
    const std::size_t nameLength = le16(p + 28);
    member.name.assign(reinterpret_cast<const char*>(p + kCentralSize), nameLength);
    member.uiVersionMadeBy = le16(p + 4);
    member.uiFlags = le16(p + 8);
    member.uiMethod = le16(p + 10);
    member.modificationTime = rClock.timeOf(le16(p + 14), le16(p + 12));
    member.timeSource = TimeSource::Dos;
    member.uiCrc32 = le32(p + 16);
    member.uiCompressedSize = le32(p + 20);
    member.uiSize = le32(p + 24);
    member.uiExternalAttributes = le32(p + 38);
    member.uiLocalHeaderOffset = le32(p + 42);
    readExtraFields(p + kCentralSize + nameLength, le16(p + 30), member, rUnix);
    member.bDirectory = !member.name.empty() && member.name.back() == '/';
    settleKind(member, rUnix);
}

// A local header and the data after it lie before the directory (offsets as the archive states them).
bool dataFits(const ArchiveMember& member, std::uint64_t uiDirectory) {
    const std::uint64_t offset = member.uiLocalHeaderOffset;
    return offset <= uiDirectory && member.uiCompressedSize <= uiDirectory - offset &&
           kLocalHeaderSize <= uiDirectory - offset - member.uiCompressedSize;
}

// A reader that walks the local headers from the start of the file (as streaming readers do) finds a member
// where the first listed one (at `first`) is not: a second archive before this one, or a member the directory
// leaves out.
bool startsWithUnlistedMember(const ArchiveFile& file, std::uint64_t first) {
    unsigned char signature[4];
    return first >= sizeof(signature) && file.readAt(0, signature, sizeof(signature)) &&
           le32(signature) == kLocalHeaderSignature;
}

}  // namespace

std::string locateCentralDirectory(const ArchiveFile& file, std::uint64_t fileSize, DirectoryPlace& rPlace) {
    if (fileSize < kEndSize) return "is too short to be a ZIP archive";
    EndRecord end;
    switch (findEndRecord(file, fileSize, end)) {
        case EndSearch::NotFound:
            return "has no end record";
        case EndSearch::CutShort:
            return "ends inside its end record";
        case EndSearch::Found:
            break;
    }
    if (end.bAmbiguous) return "has several end records that readers could choose between";
    Claim claim;
    const std::string strProblem = claimOf(file, end, claim);
    if (!strProblem.empty()) return strProblem;
    if (claim.uiDisk != 0 || claim.uiDirectoryDisk != 0) return "spans several disks";
    if (claim.uiOffset > claim.uiRecordsStart || claim.uiSize > claim.uiRecordsStart - claim.uiOffset) {
        return claim.uiOffset > fileSize || claim.uiSize > fileSize - claim.uiOffset
                   ? "has a central directory that runs past the end of the file"
                   : "has a central directory that overlaps its end record";
    }
    if (claim.uiEntries > claim.uiSize / kCentralSize) return "has more entries than its central directory can hold";
    rPlace.uiOffset = claim.uiOffset;
    rPlace.uiSize = claim.uiSize;
    rPlace.uiEntries = claim.uiEntries;
    rPlace.uiShift = 0;
    return placeAfterStub(file, claim.uiRecordsStart, rPlace);
}

std::string readCentralDirectory(const ArchiveFile& file, const DirectoryPlace& place, MemberSink& rSink) {
    DirectoryStream stream(file, place);
    DosClock clock;
    const std::uint64_t uiStatedDirectory = place.uiOffset - place.uiShift;
    std::uint64_t first = place.uiOffset;  // the lowest local header offset
    ArchiveMember member;
    UnixFields unixFields;
    for (std::uint64_t i = 0; i < place.uiEntries; ++i) {
        const unsigned char* p = stream.peek(kCentralSize);
        if (!p || le32(p) != kCentralSignature) {
            return stream.failed() ? "cannot be read"
                                   : "has a central directory that holds fewer entries than its end record says";
        }
        const std::size_t length = kCentralSize + le16(p + 28) + le16(p + 30) + le16(p + 32);
        if (!(p = stream.peek(length)))
            return stream.failed() ? "cannot be read" : "has a central directory entry that runs past its end";
        const std::string_view name(reinterpret_cast<const char*>(p + kCentralSize), le16(p + 28));
        const bool bWanted = rSink.wants(name);
        // A member's place alone needs no more than two fields, unless they are zip64 markers.
        if (bWanted || le32(p + 20) == kZip64Marker || le32(p + 42) == kZip64Marker) {
            readMember(p, clock, member, unixFields);
        } else {
            member.uiCompressedSize = le32(p + 20);
            member.uiLocalHeaderOffset = le32(p + 42);
        }
        if (!dataFits(member, uiStatedDirectory))
            return "has a member '" + std::string(name) + "' whose data runs past the central directory";
        member.uiLocalHeaderOffset += place.uiShift;
        member.id = static_cast<MemberId>(i);
        first = std::min(first, member.uiLocalHeaderOffset);
        rSink.place(member.uiLocalHeaderOffset, member.uiCompressedSize);
        if (bWanted) rSink.add(member, unixFields);
        stream.skip(length);
    }
    if (startsWithUnlistedMember(file, first))
        return "starts with a local header that its central directory does not list";
    return std::string();
}

}  // namespace ZipRecords
}  // namespace Tamsor
