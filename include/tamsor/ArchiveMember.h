#ifndef TAMSOR_ARCHIVEMEMBER_H
#define TAMSOR_ARCHIVEMEMBER_H

// What the member index knows of one member: MemberRecord, the fixed-size part it keeps of every member (its
// names lie in the index's arena), and ArchiveMember, a copy of one member with its names, for the member reader
// and for hosts that want a member's facts apart from the index.

#include <cstdint>
#include <ctime>
#include <string>

namespace Tamsor {

// A member's position in its index: stored members in central-directory order, then the directories that
// names only imply; the top level comes last (see ArchiveIndex).
typedef std::uint32_t MemberId;
const MemberId kNoMember = 0xFFFFFFFF;

// Where a member's modification time came from.
enum class TimeSource : std::uint8_t {
    None,               // an implied directory, or the top level: no time of its own
    Dos,                // the MS-DOS date and time fields: local time of the machine that made the archive,
                        // 2-second steps; read here as this machine's local time
    ExtendedTimestamp,  // the extended timestamp extra field (0x5455): UTC, exact to the second
    Ntfs,               // the NTFS extra field (0x000a): UTC, to 100 ns (the fraction in MemberDetails)
    UnixField,          // the modification time of PKWARE's Unix field (0x000d) or Info-ZIP's type 1 (0x5855):
                        // UTC, exact to the second
};
// Of several: the extended timestamp, unless an NTFS time agrees with it to the second, when the NTFS time counts
// (the same second, and its fraction: 7-Zip writes both fields, the NTFS one to 100 ns); an NTFS time that
// disagrees with the extended timestamp is passed over. Then an NTFS time alone, then the Unix fields' time
// (PKWARE's before Info-ZIP's), then the MS-DOS fields. Fields whose lengths do not hold together are ignored.

// What the central directory shows to be wrong with a member: readers of the format would read it differently
// (one of them a streaming reader that walks the local headers), so its bytes are never handed out. It is still
// listed, under its stored name.
enum class MemberFlaw : std::uint8_t {
    None,
    Overlaps,        // its local header and data overlap another member's (a zip bomb's shape), or they
                     // run into the central directory
    NameAmbiguous,   // its Unicode Path field (CRC matching) names another file than its UTF-8 name, or
                     // than its ASCII name (where a character the code page lacks may stand as '_' or '?')
    Zip64Disagrees,  // its zip64 field holds more values than its markers ask for, and read by position they
                     // disagree with what it says read in the markers' order
};

// How a member's data is encrypted, as its central directory entry says.
enum class EncryptionKind : std::uint8_t {
    None,
    ZipCrypto,  // the traditional PKWARE cipher: flag bit 0, any method but 99
    Aes128,     // WinZip AES (method 99, flag bit 0, an AES extra field 0x9901 that holds together), by key size
    Aes192,
    Aes256,
    Unsupported,  // PKWARE's strong encryption (flag bit 6), or method 99 without the flag or a sound AES field
};

// What a member is, as the archive's maker recorded it: the file type bits of a Unix mode in the external
// attributes (host 3), and PKWARE's Unix field (0x000d), whose link name on a regular file makes it a hard link.
// A member made elsewhere is a File or a Directory.
enum class MemberKind : std::uint8_t {
    File,
    Directory,  // a directory member, or a directory implied by other names
    Symlink,    // its target is its data, or the Unix field's link name when it has one (MemberDetails)
    HardLink,   // another name of the member named by MemberDetails::linkTarget; its own data is empty. The
                // member reader refuses it (ReadStatus::NotAFile): its content is its linked member's
    Fifo,
    Socket,
    BlockDevice,  // its numbers in MemberDetails when the Unix field gives them
    CharacterDevice,
};

// What the Unix extra fields (PKWARE's 0x000d, Info-ZIP's 0x5855, 0x7855 and 0x7875) and the NTFS field (0x000a)
// say of a member besides what its record keeps. Kept apart from the record (MemberRecord::bHasDetails), since
// most members of most archives have none of it.
struct MemberDetails {
    std::uint32_t uiNanoseconds = 0;  // of the record's modificationTime, when its source has them (NTFS)
    bool bHasOwner = false;           // the fields give a user and a group id
    bool bHasDevice = false;          // the Unix field gives a device's major and minor numbers
    std::uint32_t uiUserId = 0;
    std::uint32_t uiGroupId = 0;
    std::uint32_t uiDeviceMajor = 0;
    std::uint32_t uiDeviceMinor = 0;
    // A Symlink's target as the Unix field gives it (else "": the target is the member's data); a HardLink's
    // stored name of the member it is another name of.
    std::string linkTarget;
    // A HardLink's: the first stored member of that name when it comes earlier in the archive and is neither a
    // link nor a directory (what an extractor has made by then), and is kept by the index (IndexOptions::keep);
    // else kNoMember.
    MemberId linkedMember = kNoMember;
};

// The fixed-size facts of a member (80 bytes). Plain data: every field is what the central directory (or the
// index, for those it works out) says.
struct MemberRecord {
    std::uint64_t uiSize = 0;  // uncompressed size (zip64 field when the record holds the marker)
    std::uint64_t uiCompressedSize = 0;
    std::uint64_t uiLocalHeaderOffset = 0;  // where the member's local header starts in the file (a stub before
                                            // the archive included); the header and the compressed data lie
                                            // before the central directory
    // Where the next member's local header starts in the file, or the central directory when no member follows:
    // this member's header, data and data descriptor must end there. 0 when not known (an implied directory, or
    // a member not made by an index).
    std::uint64_t uiDataLimit = 0;
    std::time_t modificationTime = 0;
    std::uint32_t uiNameOffset = 0;  // where the name lies in its index's arena (the Unicode name right after it)
    std::uint32_t uiCrc32 = 0;
    std::uint32_t uiExternalAttributes = 0;  // on Unix hosts, the st_mode in the high 16 bits
    MemberId overlapped = kNoMember;         // with MemberFlaw::Overlaps: a member it overlaps
    MemberId parent = kNoMember;             // the directory that holds it in its index (kNoMember: the top level's)
    std::uint16_t uiNameLength = 0;
    std::uint16_t uiUnicodeNameLength = 0;  // of the Unicode Path field's name (0x7075) when its CRC matches the
                                            // stored name, else 0
    std::uint16_t uiMethod = 0;             // 0 stored, 8 deflated, anything else as stored (99 for AES)
    std::uint16_t uiFlags = 0;              // the general-purpose bit flag
    std::uint16_t uiVersionMadeBy = 0;      // high byte: the host system (3 is Unix)
    // The WinZip AES field (0x9901) of a method-99 member, when it holds together (7 bytes, vendor "AE"): its
    // version (1 for AE-1, whose CRC-32 is kept; 2 for AE-2, whose CRC-32 field is 0), key strength (1 to 3 for
    // 128 to 256 bits) and the method the data is compressed with. All 0 otherwise.
    std::uint16_t uiAesMethod = 0;
    std::uint8_t uiAesVersion = 0;
    std::uint8_t uiAesStrength = 0;
    TimeSource timeSource = TimeSource::None;
    MemberFlaw flaw = MemberFlaw::None;
    MemberKind kind = MemberKind::File;
    bool bHasDetails = false;  // its index holds MemberDetails for it
    bool bDirectory = false;   // a directory member, or a directory implied by other names
    bool bImplied = false;     // made up from other members' names: not stored in the archive

    // Bit 0 of the flags (traditional, AES or strong encryption) or method 99 (AES).
    bool isEncrypted() const { return (uiFlags & 0x0001) != 0 || uiMethod == 99; }
    // Derived from the flags, the method and the AES field, so that a member edited by hand stays consistent.
    EncryptionKind encryption() const {
        if (!isEncrypted()) return EncryptionKind::None;
        if ((uiFlags & 0x0040) != 0 || (uiFlags & 0x0001) == 0) return EncryptionKind::Unsupported;
        if (uiMethod != 99) return EncryptionKind::ZipCrypto;
        if (uiAesVersion == 0) return EncryptionKind::Unsupported;
        return static_cast<EncryptionKind>(static_cast<int>(EncryptionKind::Aes128) + uiAesStrength - 1);
    }
    // The method the data is compressed with: the AES field's for a WinZip AES member, else uiMethod (which
    // keeps the stored value, 99, for listings and the local header's check).
    std::uint16_t compressionMethod() const { return uiMethod == 99 && uiAesVersion != 0 ? uiAesMethod : uiMethod; }
    // Bit 11 of the flags: the name and comment are UTF-8.
    bool hasUtf8Name() const { return (uiFlags & 0x0800) != 0; }
    // Made on a Unix host: the high 16 bits of the external attributes are a st_mode.
    bool hasUnixMode() const { return (uiVersionMadeBy >> 8) == 3; }
};

static_assert(sizeof(MemberRecord) == 80, "the index's memory per member is counted on this size");

// A member with its names: what ArchiveIndex::member() copies out, and what the member reader reads by. The
// name fields stand apart from the record's arena fields, which mean nothing in a copy.
struct ArchiveMember : MemberRecord {
    std::string name;         // as stored, byte for byte; directories (stored or implied) end in "/";
                              // the top level is ""
    std::string unicodeName;  // the Info-ZIP Unicode Path field (0x7075) when its CRC matches the stored
                              // name, else empty
    MemberId id = kNoMember;  // its position in the index it came from
};

}  // namespace Tamsor

#endif
