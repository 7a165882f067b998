#include "ArchiveScreen.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "ZipRecords.h"

namespace Tamsor {

namespace {

using namespace ZipRecords;

const std::uint64_t kMaxEntries = 0xFFFF;
const std::uint64_t kMaxMemberSize = 0x7FFFFFFF;  // zziplib keeps sizes in an int
const std::uint32_t kZip64Marker = 0xFFFFFFFF;
const char kZip64[] = "uses zip64 records, which are not supported";

std::string describeZip64(const TableFile& file, const EndRecord& end) {
    std::vector<unsigned char> bytes;
    if (file.readAt(end.uiZip64EndOffset, kZip64EndSize, bytes) && le32(bytes.data()) == kZip64EndSignature) {
        const std::uint64_t entries = le64(&bytes[32]);
        if (entries > kMaxEntries) {
            std::ostringstream reason;
            reason << "holds " << entries << " entries; more than " << kMaxEntries << " are not supported";
            return reason.str();
        }
    }
    return kZip64;
}

// What the end record alone tells; empty when it holds together.
std::string screenEndRecord(const EndRecord& end) {
    if (end.uiDisk != 0 || end.uiDirectoryDisk != 0) return "spans several disks, which is not supported";
    if (end.uiDirectorySize == kZip64Marker || end.uiDirectoryOffset == kZip64Marker) return kZip64;
    if (end.uiEntriesOnDisk != end.uiEntries) return "has an end record whose entry counts disagree";
    if (static_cast<std::uint64_t>(end.uiDirectoryOffset) + end.uiDirectorySize > end.uiOffset)
        return "has a central directory that lies outside the file";
    return std::string();
}

// Walks the central directory as zziplib will, checking every record against the directory's bounds and every
// size against what zziplib can hold. Member data lies before the central directory (a stub before the archive
// only lowers the offsets).
std::string screenCentralDirectory(const std::vector<unsigned char>& directory, const EndRecord& end,
                                   ListingDigest& rListing) {
    std::size_t p = 0;
    for (std::uint64_t n = 0; n < end.uiEntries; ++n) {
        if (p + kCentralSize > directory.size() || le32(&directory[p]) != kCentralSignature)
            return "has a central directory that holds fewer entries than its end record says";
        const unsigned char* pRecord = &directory[p];
        const std::size_t recordSize = kCentralSize + le16(pRecord + 28) + le16(pRecord + 30) + le16(pRecord + 32);
        if (p + recordSize > directory.size()) return "has a central directory entry that runs past its end";
        const std::string strName(reinterpret_cast<const char*>(pRecord + kCentralSize), le16(pRecord + 28));
        const std::uint32_t compressedSize = le32(pRecord + 20);
        const std::uint32_t size = le32(pRecord + 24);
        const std::uint32_t localOffset = le32(pRecord + 42);
        if (compressedSize == kZip64Marker || size == kZip64Marker || localOffset == kZip64Marker) return kZip64;
        if (size > kMaxMemberSize || compressedSize > kMaxMemberSize) {
            std::ostringstream reason;
            reason << "has a member '" << strName << "' of " << std::max(size, compressedSize)
                   << " bytes; members of 2 GiB and more are not supported";
            return reason.str();
        }
        if (localOffset + static_cast<std::uint64_t>(kLocalHeaderSize) + compressedSize > end.uiDirectoryOffset)
            return "has a member '" + strName + "' whose data runs past the central directory";
        rListing.add(strName.data(), strName.size(), le16(pRecord + 10), compressedSize, size);
        p += recordSize;
    }
    return std::string();
}

// The central directory where the end record says, or right before the end record when a stub before the
// archive has moved it (as unzip finds it); false when it cannot be read.
bool readCentralDirectory(const TableFile& file, const EndRecord& end, std::vector<unsigned char>& directory) {
    if (!file.readAt(end.uiDirectoryOffset, end.uiDirectorySize, directory)) return false;
    const bool bThere = directory.size() >= 4 && le32(directory.data()) == kCentralSignature;
    if (bThere || end.uiEntries == 0 || end.uiDirectoryOffset + end.uiDirectorySize >= end.uiOffset) return true;
    return file.readAt(end.uiOffset - end.uiDirectorySize, end.uiDirectorySize, directory);
}

}  // namespace

std::string screenArchive(const char* path, union _zzip_plugin_io* pIO, std::int64_t* pEntries,
                          std::uint64_t* pDigest) {
    if (pEntries) *pEntries = -1;
    struct stat status;
    if (!path || !pIO || ::stat(path, &status) != 0 || S_ISDIR(status.st_mode)) return std::string();
    if (!S_ISREG(status.st_mode)) return "is not a regular file";

    const TableFile file(pIO->fd, path);
    if (!file.isOpen()) return std::string();
    const std::int64_t fileSize = file.size();
    if (fileSize < 0) return std::string();
    if (static_cast<std::uint64_t>(fileSize) < kEndSize) return "is too short to be a ZIP archive";

    EndRecord end;
    switch (findEndRecord(file, static_cast<std::uint64_t>(fileSize), end)) {
        case EndSearch::NotFound:
            return std::string();
        case EndSearch::CutShort:
            return "ends inside its end record";
        case EndSearch::Found:
            break;
    }
    if (end.bZip64Locator) return describeZip64(file, end);
    const std::string strEndProblem = screenEndRecord(end);
    if (!strEndProblem.empty()) return strEndProblem;
    std::vector<unsigned char> directory;
    if (!readCentralDirectory(file, end, directory)) return std::string();
    ListingDigest listing;
    const std::string strDirectoryProblem = screenCentralDirectory(directory, end, listing);
    if (strDirectoryProblem.empty() && pEntries && pDigest) {
        *pEntries = static_cast<std::int64_t>(listing.entries());
        *pDigest = listing.value();
    }
    return strDirectoryProblem;
}

}  // namespace Tamsor
