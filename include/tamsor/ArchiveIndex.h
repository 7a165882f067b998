#ifndef TAMSOR_ARCHIVEINDEX_H
#define TAMSOR_ARCHIVEINDEX_H

// The member index of an archive: what the file-system interface does not tell (sizes, methods, CRCs, times,
// attributes, where each member's data lies, and the directories that member names only imply), read once
// from the archive's central directory as a file system reads its archives (an ArchiveFile, unscrambling for a
// scrambled file system). It reads zip64 records, so it knows archives that the file system's binding refuses
// (more than 65,535 members, members and offsets past 4 GiB); MemberReader reads the members' bytes from it.
// Archives that readers of the format would read differently are refused, or their members flagged (MemberFlaw).
//
// An index is a snapshot: it does not follow a later setZIPArchive or a change of the archive file. It holds
// no reference to the file system once built, and is safe to read from several threads at once (nothing in it
// changes after construction). Building one costs one read of the end records and of the central directory,
// one pass over it (a sort of the members by offset when the directory lists them out of file order), O(n log n)
// name lookups, and memory in proportion to the number of members and the length of their names.

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace Tamsor {

class ZIPFileSystemImpl;

// Where a member's modification time came from.
enum class TimeSource {
    None,               // an implied directory, or the top level: no time of its own
    Dos,                // the MS-DOS date and time fields: local time of the machine that made the archive,
                        // 2-second steps; read here as this machine's local time
    ExtendedTimestamp,  // the extended timestamp extra field (0x5455): UTC, exact to the second
    Ntfs,               // the NTFS extra field (0x000a): UTC, exact to the second here
};
// Of several, the extended timestamp counts, then the NTFS time, then the MS-DOS fields. Fields whose lengths do
// not hold together are ignored.

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

struct ArchiveMember {
    std::string name;          // as stored, byte for byte; directories (stored or implied) end in "/";
                               // the top level is ""
    std::string unicodeName;   // the Info-ZIP Unicode Path field (0x7075) when its CRC matches the stored
                               // name, else empty
    bool bDirectory = false;   // a directory member, or a directory implied by other names
    bool bImplied = false;     // made up from other members' names: not stored in the archive
    std::uint64_t uiSize = 0;  // uncompressed size (zip64 field when the record holds the marker)
    std::uint64_t uiCompressedSize = 0;
    std::uint64_t uiLocalHeaderOffset = 0;   // where the member's local header starts in the file (a stub before
                                             // the archive included); the header and the compressed data lie
                                             // before the central directory
    std::uint16_t uiMethod = 0;              // 0 stored, 8 deflated, anything else as stored
    std::uint16_t uiFlags = 0;               // the general-purpose bit flag
    std::uint16_t uiVersionMadeBy = 0;       // high byte: the host system (3 is Unix)
    std::uint32_t uiExternalAttributes = 0;  // on Unix hosts, the st_mode in the high 16 bits
    std::uint32_t uiCrc32 = 0;
    std::time_t modificationTime = 0;
    TimeSource timeSource = TimeSource::None;
    std::uint32_t uiIndex = 0;  // position in the central directory; implied directories follow the stored ones
    MemberFlaw flaw = MemberFlaw::None;
    std::uint32_t uiOverlapped = 0;  // with MemberFlaw::Overlaps: the uiIndex of a member it overlaps
    // Where the next member's local header starts in the file, or the central directory when no member follows:
    // this member's header, data and data descriptor must end there. 0 when not known (an implied directory, or
    // a member not made by an index).
    std::uint64_t uiDataLimit = 0;
    // The WinZip AES field (0x9901) of a method-99 member, when it holds together (7 bytes, vendor "AE"): its
    // version (1 for AE-1, whose CRC-32 is kept; 2 for AE-2, whose CRC-32 field is 0), key strength (1 to 3 for
    // 128 to 256 bits) and the method the data is compressed with. All 0 otherwise.
    std::uint16_t uiAesVersion = 0;
    std::uint8_t uiAesStrength = 0;
    std::uint16_t uiAesMethod = 0;

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

class ArchiveIndex {
  public:
    // Reads the central directory of the archive bound to `fileSystem`. isValid() is false when no archive is
    // bound or its central directory cannot be read.
    explicit ArchiveIndex(const ZIPFileSystemImpl& fileSystem);
    // Reads the central directory of the archive at `archivePath` as `fileSystem` reads archives, bound or
    // not: this is how archives that binding refuses (zip64, more than 65,535 members) are read. A path that is
    // not a regular file is refused without being opened (a FIFO would block the open).
    ArchiveIndex(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath);

    // False when the archive's records do not hold together: a damaged archive gives no members at all rather
    // than some of them or made-up ones. Every number in the archive is checked against the file's size and the
    // bytes read before it is relied on; memory follows the records actually read, never the sizes claimed.
    bool isValid() const { return m_bValid; }
    // Why the index is not valid, as the end of a sentence that starts with the archive's path ("has no end
    // record", "has a central directory that runs past the end of the file"); empty when it is valid.
    const std::string& error() const { return m_strError; }

    // Every member in central-directory order, then the implied directories; the top level "" is not listed.
    const std::vector<ArchiveMember>& members() const { return m_members; }

    // The member (or implied directory) at `path`: one leading "/" is ignored, and a directory is found with or
    // without its trailing "/"; "" or "/" give the top level. Null when there is none. O(log n).
    const ArchiveMember* find(const std::string& path) const;

    // The members directly inside directory `path` (as for find), stored ones in stored order, then implied
    // directories; of several members with one name, only the first. Empty for a file or a missing path.
    std::vector<const ArchiveMember*> children(const std::string& path) const;

  private:
    void build(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath);

    bool m_bValid = false;
    std::string m_strError;
    std::vector<ArchiveMember> m_members;
    ArchiveMember m_root;
    std::map<std::string, std::size_t> m_byName;                 // key: name without trailing "/"
    std::map<std::string, std::vector<std::size_t>> m_children;  // key: parent name without trailing "/"
};

}  // namespace Tamsor

#endif
