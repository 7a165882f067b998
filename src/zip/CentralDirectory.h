#ifndef TAMSOR_SRC_CENTRALDIRECTORY_H
#define TAMSOR_SRC_CENTRALDIRECTORY_H

// Finding an archive's central directory (end record, zip64 end record, a stub before the archive) and reading
// its records into members. Every number is a claim: the directory's place, size and entry count are checked
// against the file's size before anything is read, and the directory is read piece by piece, so that memory
// follows the records actually there rather than the sizes claimed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "UnixFields.h"
#include "ZipRecords.h"
#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace ZipRecords {

struct DirectoryPlace {
    std::uint64_t uiOffset = 0;  // where the directory starts in the file
    std::uint64_t uiSize = 0;
    std::uint64_t uiEntries = 0;
    std::uint64_t uiShift = 0;  // what a stub before the archive adds to every offset the archive states
};

// Where the central directory of a file of `fileSize` bytes lies. Empty when found; otherwise why not, as the end
// of a sentence ("has no end record"). Reads the last 64 KiB of the file and a few records.
std::string locateCentralDirectory(const ArchiveFile& file, std::uint64_t fileSize, DirectoryPlace& rPlace);

// Receives the directory's members in order: every member's place, and the whole of those it wants. A member
// it does not want is not read further than its place (the name is the record's own bytes).
class MemberSink {
  public:
    virtual ~MemberSink() = default;
    virtual bool wants(std::string_view storedName) = 0;
    virtual void place(std::uint64_t uiLocalHeaderOffset, std::uint64_t uiCompressedSize) = 0;
    // `rMember` (with `id` its position in the directory) and `rUnix` (what its Unix and NTFS fields say beyond
    // the record: MemberDetails when rMember.bHasDetails) are reused for the next one: a sink copies what it keeps.
    virtual void add(ArchiveMember& rMember, UnixFields& rUnix) = 0;
};

// The directory's records at `place`, in order, each checked against the directory's bytes, and its data
// against the directory's place, handed to `sink`. Empty when all hold together; otherwise why not (the sink has
// had some). The file must start with the first member when it starts with a local header (an archive after
// another one, or a member the directory leaves out, would show streaming readers something else). Costs one
// read of the directory, in pieces of at most 1 MiB, and one pass over it.
std::string readCentralDirectory(const ArchiveFile& file, const DirectoryPlace& place, MemberSink& rSink);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
