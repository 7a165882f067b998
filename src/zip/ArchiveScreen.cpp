#include "ArchiveScreen.h"

#include <sys/stat.h>

#include <sstream>
#include <vector>

#include "ZipRecords.h"

namespace Tamsor {

namespace {

using namespace ZipRecords;

const std::uint64_t kMaxEntries = 0xFFFF;
const char kZip64Only[] = "keeps sizes or offsets in zip64 records only, which are not supported";
const char kRunsPast[] = "has a central directory entry that runs past its end";

ArchiveScreening refusal(const std::string& strReason, bool bBlocking = false) {
    ArchiveScreening screening;
    screening.strRefusal = strReason;
    screening.bBlocking = bBlocking;
    return screening;
}

// The entry count of the zip64 end record that the locator points at, when it is there and says more than
// zziplib can list (it reads the classic record's 16-bit count only).
std::string screenZip64Count(const TableFile& file, const EndRecord& end) {
    std::vector<unsigned char> bytes;
    if (!end.bZip64Locator || !readBytes(file, end.uiZip64EndOffset, kZip64EndSize, bytes) ||
        le32(bytes.data()) != kZip64EndSignature || le64(&bytes[32]) <= kMaxEntries)
        return std::string();
    std::ostringstream reason;
    reason << "holds " << le64(&bytes[32]) << " entries; more than " << kMaxEntries << " are not supported";
    return reason.str();
}

// Where zziplib reads the central directory: where the end record says, moved back to end right before the
// end record when it would run into it.
std::uint64_t directoryOffsetOf(const EndRecord& end) {
    const std::uint64_t stated = end.uiDirectoryOffset;
    if (stated + end.uiDirectorySize > end.uiOffset && end.uiOffset >= end.uiDirectorySize)
        return end.uiOffset - end.uiDirectorySize;
    return stated;
}

// Walks the records as zziplib does: as many as the end record counts on this disk, within the directory's
// size. What zziplib would list ends up in `rListing`.
std::string screenCentralDirectory(const std::vector<unsigned char>& directory, const EndRecord& end,
                                   ListingDigest& rListing) {
    std::size_t p = 0;
    for (std::uint64_t n = 0; n < end.uiEntriesOnDisk; ++n) {
        if (p + kCentralSize > directory.size() || le32(&directory[p]) != kCentralSignature)
            return "has a central directory that holds fewer entries than its end record says";
        const unsigned char* pRecord = &directory[p];
        const std::size_t nameSize = le16(pRecord + 28);
        const std::size_t recordSize = kCentralSize + nameSize + le16(pRecord + 30) + le16(pRecord + 32);
        if (p + recordSize > directory.size()) return kRunsPast;  // zziplib drops a last one, fails on others
        const std::uint32_t compressedSize = le32(pRecord + 20);
        const std::uint32_t size = le32(pRecord + 24);
        if (compressedSize == kZip64Marker || size == kZip64Marker || le32(pRecord + 42) == kZip64Marker)
            return kZip64Only;
        rListing.add(reinterpret_cast<const char*>(pRecord + kCentralSize), nameSize, le16(pRecord + 10),
                     compressedSize, size);
        p += recordSize;
    }
    if (p + 4 <= directory.size() && le32(&directory[p]) == kCentralSignature)
        return "has an end record that counts fewer entries than its central directory holds";
    return std::string();
}

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

ScreenedFile screenedFileOf(const struct stat& status) {
    ScreenedFile file;
    file.uiDevice = status.st_dev;
    file.uiInode = status.st_ino;
    file.iSize = status.st_size;
    file.iModified = nanoseconds(status.st_mtim);
    file.iChanged = nanoseconds(status.st_ctim);
    return file;
}

ArchiveScreening screenFile(const char* path, union _zzip_plugin_io* pIO, const struct stat& status) {
    if (S_ISFIFO(status.st_mode)) return refusal("is not a regular file", true);
    if (!S_ISREG(status.st_mode)) return ArchiveScreening();  // directories and devices: zziplib refuses them

    const TableFile file(pIO->fd, path);
    const std::int64_t fileSize = file.isOpen() ? static_cast<std::int64_t>(file.size()) : -1;
    EndRecord end;
    if (fileSize < static_cast<std::int64_t>(kEndSize) ||
        findEndRecord(file, static_cast<std::uint64_t>(fileSize), end) != EndSearch::Found)
        return ArchiveScreening();
    const std::string strTooMany = screenZip64Count(file, end);
    if (!strTooMany.empty()) return refusal(strTooMany);
    if (end.uiDirectorySize == kZip64Marker || end.uiDirectoryOffset == kZip64Marker) return refusal(kZip64Only);
    const std::uint64_t directoryOffset = directoryOffsetOf(end);
    if (directoryOffset + end.uiDirectorySize > end.uiOffset)
        return refusal("has a central directory larger than the file");  // not read: its size is a lie
    std::vector<unsigned char> directory;
    if (!readBytes(file, directoryOffset, end.uiDirectorySize, directory)) return ArchiveScreening();
    ListingDigest listing;
    ArchiveScreening screening = refusal(screenCentralDirectory(directory, end, listing));
    if (screening.strRefusal.empty()) {
        screening.iEntries = static_cast<std::int64_t>(listing.entries());
        screening.uiDigest = listing.value();
    }
    return screening;
}

}  // namespace

bool ScreenedFile::isUnchanged(const ScreenedFile& now) const {
    return iSize >= 0 && now.uiDevice == uiDevice && now.uiInode == uiInode && now.iSize == iSize &&
           now.iModified == iModified && now.iChanged == iChanged;
}

ScreenedFile screenedFileAt(const char* path) {
    struct stat status;
    return path && ::stat(path, &status) == 0 ? screenedFileOf(status) : ScreenedFile();
}

ArchiveScreening screenArchive(const char* path, union _zzip_plugin_io* pIO) {
    struct stat status;
    if (!path || !pIO || ::stat(path, &status) != 0) return ArchiveScreening();
    ArchiveScreening screening = screenFile(path, pIO, status);
    screening.file = screenedFileOf(status);
    return screening;
}

}  // namespace Tamsor
