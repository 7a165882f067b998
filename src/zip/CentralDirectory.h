#ifndef TAMSOR_SRC_CENTRALDIRECTORY_H
#define TAMSOR_SRC_CENTRALDIRECTORY_H

// Finding an archive's central directory (end record, zip64 end record, a stub before the archive) and reading
// its records into members. Every number is a claim: the directory's place, size and entry count are checked
// against the file's size before anything is read, and the directory is read piece by piece, so that memory
// follows the records actually there rather than the sizes claimed.

#include <cstdint>
#include <string>
#include <vector>

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

// The directory's records at `place`, in order, each checked against the directory's bytes, and its data
// against the directory's place. Empty when all hold together; otherwise why not, and `rMembers` is partial.
// Costs one read of the directory, in pieces of at most 1 MiB, and one pass over it.
std::string readCentralDirectory(const ArchiveFile& file, const DirectoryPlace& place,
                                 std::vector<ArchiveMember>& rMembers);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
