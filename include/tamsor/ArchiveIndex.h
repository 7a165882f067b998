#ifndef TAMSOR_ARCHIVEINDEX_H
#define TAMSOR_ARCHIVEINDEX_H

// The member index of an archive: what the file-system interface does not tell (sizes, methods, CRCs, times,
// attributes, where each member's data lies, and the directories that member names only imply), read once
// from the archive's central directory as a file system reads its archives (an ArchiveFile, unscrambling for a
// scrambled file system). It reads zip64 records, so it knows archives that the file system's binding refuses
// (more than 65,535 members, members and offsets past 4 GiB); MemberReader reads the members' bytes from it.
// Archives that readers of the format would read differently are refused, or their members flagged (MemberFlaw).
//
// Members are known by id (MemberId): stored members in central-directory order, then the directories that
// names only imply, then the top level. Each is a fixed-size MemberRecord; names lie in one arena; each
// directory's members are an array of ids; paths are looked up through a hash of the names. Memory: about 100
// bytes a member, plus its name (and its Unicode name, when it has one), plus about 72 bytes (and a link's name)
// for each member whose Unix or NTFS fields say more than its record holds (MemberDetails). Building costs one
// read of the end records and of the central directory and one pass over it (a sort by offset when the directory
// lists members out of file order); a lookup by path costs a hash of the path.
//
// An index is a snapshot: it does not follow a later setZIPArchive or a change of the archive file. It holds
// no reference to the file system once built, and is safe to read from several threads at once (nothing in it
// changes after construction).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamsor/ArchiveMember.h"

namespace Tamsor {

class ZIPFileSystemImpl;
class ArchiveFile;

// The ids of a directory's members, in id order.
class MemberIds {
  public:
    MemberIds(const MemberId* pBegin, const MemberId* pEnd) : m_pBegin(pBegin), m_pEnd(pEnd) {}
    const MemberId* begin() const { return m_pBegin; }
    const MemberId* end() const { return m_pEnd; }
    std::size_t size() const { return static_cast<std::size_t>(m_pEnd - m_pBegin); }
    bool empty() const { return m_pBegin == m_pEnd; }
    MemberId operator[](std::size_t i) const { return m_pBegin[i]; }

  private:
    const MemberId* m_pBegin;
    const MemberId* m_pEnd;
};

struct IndexOptions {
    // When set, only the stored members whose stored name it accepts are kept, with the directories their names
    // imply: a look at part of a large archive without the memory of all of it. Every member still counts for
    // the checks of the archive's layout (overlaps, data limits), at 24 bytes each while the index is built.
    std::function<bool(std::string_view storedName)> keep;
};

class ArchiveIndex {
  public:
    // Reads the central directory of the archive bound to `fileSystem`. isValid() is false when no archive is
    // bound or its central directory cannot be read.
    explicit ArchiveIndex(const ZIPFileSystemImpl& fileSystem);
    // Reads the central directory of the archive at `archivePath` as `fileSystem` reads archives, bound or
    // not: this is how archives that binding refuses (zip64, more than 65,535 members) are read. A path that is
    // not a regular file is refused without being opened (a FIFO would block the open).
    ArchiveIndex(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath,
                 const IndexOptions& options = IndexOptions());
    // Reads the central directory of `pFile` (null: an invalid index that says it cannot be opened).
    explicit ArchiveIndex(const std::shared_ptr<const ArchiveFile>& pFile,
                          const IndexOptions& options = IndexOptions());

    // False when the archive's records do not hold together: a damaged archive gives no members at all rather
    // than some of them or made-up ones. Every number in the archive is checked against the file's size and the
    // bytes read before it is relied on; memory follows the records actually read, never the sizes claimed.
    bool isValid() const { return m_bValid; }
    // Why the index is not valid, as the end of a sentence that starts with the archive's path ("has no end
    // record", "has a central directory that runs past the end of the file"); empty when it is valid.
    const std::string& error() const { return m_strError; }

    // The members, implied directories included; ids run from 0 to size() - 1. The top level is not counted.
    std::size_t size() const { return m_records.size() - 1; }
    // The top level: a directory without a name, of no member (its record is an implied directory's).
    MemberId topLevel() const { return static_cast<MemberId>(m_records.size() - 1); }

    const MemberRecord& record(MemberId id) const { return m_records[id]; }
    // The name as stored, byte for byte; directories (stored or implied) end in "/"; the top level's is "".
    std::string_view name(MemberId id) const {
        return std::string_view(m_arena.data() + m_records[id].uiNameOffset, m_records[id].uiNameLength);
    }
    // The Unicode Path field's name, when its CRC matches the stored name; else "".
    std::string_view unicodeName(MemberId id) const {
        const MemberRecord& rRecord = m_records[id];
        return std::string_view(m_arena.data() + rRecord.uiNameOffset + rRecord.uiNameLength,
                                rRecord.uiUnicodeNameLength);
    }
    // A copy of everything the index knows of the member, names included.
    ArchiveMember member(MemberId id) const;
    // What the Unix and NTFS fields say of the member beyond its record: all defaults unless
    // record(id).bHasDetails. Costs a binary search among the members that have details.
    MemberDetails details(MemberId id) const;

    // The member (or implied directory) at `path`: one leading "/" is ignored, and a directory is found with or
    // without its trailing "/"; "" or "/" give the top level. Of several members with one name, the first.
    // kNoMember when there is none. Costs a hash of the path.
    MemberId find(std::string_view path) const;

    // The members directly inside directory `id`: stored ones in stored order (later members of a name already
    // taken included), then implied directories. Empty for a file (so "a/b" beside a file "a" is in no listing).
    MemberIds children(MemberId id) const {
        if (!m_records[id].bDirectory) return MemberIds(nullptr, nullptr);
        return MemberIds(m_childIds.data() + m_childStarts[id], m_childIds.data() + m_childStarts[id + 1]);
    }

  private:
    class Builder;
    // Reads `pFile` (null: `strUnopened` says why there is none).
    void build(const std::shared_ptr<const ArchiveFile>& pFile, const IndexOptions& options,
               const std::string& strUnopened);
    // The id of the first member named `key` (a name less its trailing "/"), or kNoMember.
    MemberId findKey(std::string_view key) const;

    bool m_bValid = false;
    std::string m_strError;
    std::vector<MemberRecord> m_records;  // by id; the last one is the top level's
    std::vector<char> m_arena;            // every name, each followed by its Unicode name
    // An open-addressing hash of the first member of each key: its id, and the high half of its key's hash, which
    // settles most probes without the member's name.
    struct NameSlot {
        MemberId id;
        std::uint32_t uiHash;
    };
    std::vector<NameSlot> m_nameSlots;
    std::vector<std::uint32_t> m_childStarts;  // by id: where its members start in m_childIds (one more at the end)
    std::vector<MemberId> m_childIds;
    // The details of the members that have them, by id (increasing).
    std::vector<std::pair<MemberId, MemberDetails>> m_details;
};

}  // namespace Tamsor

#endif
