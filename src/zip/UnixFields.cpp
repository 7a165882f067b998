#include "UnixFields.h"

#include <sys/stat.h>

#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

const std::size_t kPkwareFixedSize = 12;
const std::size_t kDeviceDataSize = 8;

// Of the fields that give an owner, Info-ZIP's new one counts (its ids may be 32 bits wide), then the first of
// the others.
void setOwner(UnixFields& rFields, std::uint32_t uiUser, std::uint32_t uiGroup, bool bOverrides) {
    MemberDetails& rDetails = rFields.details;
    if (rDetails.bHasOwner && !bOverrides) return;
    rDetails.bHasOwner = true;
    rDetails.uiUserId = uiUser;
    rDetails.uiGroupId = uiGroup;
}

// PKWARE's time counts before Info-ZIP's type 1, the first of either before a later one.
void setUnixTime(UnixFields& rFields, std::uint32_t uiTime, bool bOverrides) {
    if (rFields.bUnixTime && !bOverrides) return;
    rFields.bUnixTime = true;
    rFields.unixTime = static_cast<std::int32_t>(uiTime);  // signed seconds, as the extended timestamp's
}

// A little-endian number of `size` bytes (at most 8), when it fits 32 bits.
bool fitted32(const unsigned char* p, std::size_t size, std::uint32_t& rValue) {
    if (size > 8) return false;
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | p[i];
    rValue = static_cast<std::uint32_t>(value);
    return value <= 0xFFFFFFFFu;
}

bool isDeviceMode(mode_t mode) {
    return S_ISBLK(mode) || S_ISCHR(mode);
}

MemberKind kindOfMode(mode_t mode) {
    if (S_ISLNK(mode)) return MemberKind::Symlink;
    if (S_ISFIFO(mode)) return MemberKind::Fifo;
    if (S_ISSOCK(mode)) return MemberKind::Socket;
    if (S_ISBLK(mode)) return MemberKind::BlockDevice;
    if (S_ISCHR(mode)) return MemberKind::CharacterDevice;
    return MemberKind::File;
}

bool saysAnything(const MemberDetails& details) {
    return details.uiNanoseconds != 0 || details.bHasOwner || details.bHasDevice || !details.linkTarget.empty();
}

}  // namespace

void UnixFields::clear() {
    std::string target;
    target.swap(details.linkTarget);
    details = MemberDetails();
    target.clear();
    details.linkTarget.swap(target);
    bUnixField = false;
    unixData.clear();
    bUnixTime = false;
    unixTime = 0;
}

bool readPkwareUnix(const unsigned char* p, std::size_t length, UnixFields& rFields) {
    if (length < kPkwareFixedSize) return false;
    setUnixTime(rFields, le32(p + 4), true);
    setOwner(rFields, le16(p + 8), le16(p + 10), false);
    rFields.bUnixField = true;
    rFields.unixData.assign(reinterpret_cast<const char*>(p + kPkwareFixedSize), length - kPkwareFixedSize);
    return true;
}

bool readInfoZipUnix1(const unsigned char* p, std::size_t length, UnixFields& rFields) {
    if (length != 8 && length != 12) return false;
    setUnixTime(rFields, le32(p + 4), false);
    if (length == 12) setOwner(rFields, le16(p + 8), le16(p + 10), false);
    return true;
}

bool readInfoZipUnix2(const unsigned char* p, std::size_t length, UnixFields& rFields) {
    if (length != 0 && length != 4) return false;
    if (length == 4) setOwner(rFields, le16(p), le16(p + 2), false);
    return true;
}

bool readInfoZipUnixNew(const unsigned char* p, std::size_t length, UnixFields& rFields) {
    if (length < 3 || p[0] != 1) return false;
    const std::size_t userSize = p[1];
    if (length - 2 < userSize + 1) return false;
    const std::size_t groupSize = p[2 + userSize];
    if (length != 3 + userSize + groupSize) return false;
    std::uint32_t uiUser = 0, uiGroup = 0;
    if (!fitted32(p + 2, userSize, uiUser) || !fitted32(p + 3 + userSize, groupSize, uiGroup)) return false;
    setOwner(rFields, uiUser, uiGroup, true);
    return true;
}

void settleKind(ArchiveMember& rMember, UnixFields& rFields) {
    const mode_t mode = rMember.hasUnixMode() ? static_cast<mode_t>(rMember.uiExternalAttributes >> 16) : 0;
    MemberDetails& rDetails = rFields.details;
    if (rMember.bDirectory) {
        rMember.kind = MemberKind::Directory;
    } else if (mode != 0) {
        rMember.kind = kindOfMode(mode);
    }
    const bool bLinkData = rFields.bUnixField && !rFields.unixData.empty();
    if (rMember.kind == MemberKind::File && bLinkData && (mode == 0 || S_ISREG(mode))) {
        rMember.kind = MemberKind::HardLink;
        rDetails.linkTarget = rFields.unixData;
    } else if (rMember.kind == MemberKind::Symlink && bLinkData) {
        rDetails.linkTarget = rFields.unixData;
    } else if (isDeviceMode(mode) && rFields.unixData.size() == kDeviceDataSize) {
        rDetails.bHasDevice = true;
        rDetails.uiDeviceMajor = le32(reinterpret_cast<const unsigned char*>(rFields.unixData.data()));
        rDetails.uiDeviceMinor = le32(reinterpret_cast<const unsigned char*>(rFields.unixData.data()) + 4);
    }
    rMember.bHasDetails = saysAnything(rDetails);
}

}  // namespace ZipRecords
}  // namespace Tamsor
