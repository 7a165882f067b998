#ifndef TAMSOR_ARCHIVEINDEX_H
#define TAMSOR_ARCHIVEINDEX_H

// The member index of a bound archive: what the file-system interface does not tell (sizes, methods, CRCs,
// times, and the directories that member names only imply), read once from the archive's central directory
// through the file system's own I/O table, so that it works on scrambled archives too. Reading member bytes
// still goes through the file system's File handles.
//
// An index is a snapshot: it does not follow a later setZIPArchive. It holds no reference to the file system
// once built, and is safe to read from several threads at once (nothing in it changes after construction).

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace Tamsor {

class ZIPFileSystemImpl;

struct ArchiveMember {
    std::string name;              // as stored; directories (stored or implied) end in "/"; the top level is ""
    bool bDirectory = false;       // a directory member, or a directory implied by other names
    bool bImplied = false;         // made up from other members' names: not stored in the archive
    std::uint64_t uiSize = 0;      // uncompressed size
    std::uint64_t uiCompressedSize = 0;
    std::uint16_t uiMethod = 0;    // 0 stored, 8 deflated, anything else as stored
    std::uint32_t uiCrc32 = 0;
    std::time_t modificationTime = 0;  // from the member's MS-DOS date and time, taken as local time
    std::uint32_t uiIndex = 0;     // position in the central directory; implied directories follow the stored ones
};

class ArchiveIndex {
public:
    // Reads the central directory of the archive bound to `fileSystem`. isValid() is false when no archive is
    // bound or its central directory cannot be read.
    explicit ArchiveIndex(const ZIPFileSystemImpl& fileSystem);

    bool isValid() const { return m_bValid; }

    // Every member in central-directory order, then the implied directories; the top level "" is not listed.
    const std::vector<ArchiveMember>& members() const { return m_members; }

    // The member (or implied directory) at `path`: one leading "/" is ignored, and a directory is found with or
    // without its trailing "/"; "" or "/" give the top level. Null when there is none. O(log n).
    const ArchiveMember* find(const std::string& path) const;

    // The members directly inside directory `path` (as for find), stored ones in stored order, then implied
    // directories; of several members with one name, only the first. Empty for a file or a missing path.
    std::vector<const ArchiveMember*> children(const std::string& path) const;

private:
    bool m_bValid = false;
    std::vector<ArchiveMember> m_members;
    ArchiveMember m_root;
    std::map<std::string, std::size_t> m_byName;                  // key: name without trailing "/"
    std::map<std::string, std::vector<std::size_t>> m_children;   // key: parent name without trailing "/"
};

}  // namespace Tamsor

#endif
