#ifndef TAMSOR_SRC_MEMBERLAYOUT_H
#define TAMSOR_SRC_MEMBERLAYOUT_H

// Where the members lie in the file, from the central directory alone: members whose bytes overlap (the shape of
// a zip bomb that makes many members of one piece of data, or of a member whose data holds the next member's
// local header) are flagged, and every member learns where the next one starts, its data limit, so that the
// member reader can check the exact end it finds in the local header.

#include <cstdint>
#include <vector>

#include "tamsor/ArchiveMember.h"

namespace Tamsor {
namespace ZipRecords {

// One stored member's place, by its position in the central directory.
struct MemberExtent {
    std::uint64_t uiOffset;  // of its local header
    std::uint64_t uiCompressedSize;
    std::uint64_t uiDataLimit = 0;    // set by layOutMembers
    MemberId overlapped = kNoMember;  // set by layOutMembers: the position of a member it overlaps
};

// Flags the members that overlap another one (each gets the other's position) and sets every member's data
// limit; `uiDirectoryOffset` is where the central directory starts in the file. A member is taken to span the
// fixed part of its local header and its compressed data, and nothing more: what only the local header can tell
// (its name and extra field, a data descriptor) is the member reader's to check against the limit. Costs one
// pass when the directory lists its members in file order, as writers do; a sort by offset otherwise.
void layOutMembers(std::vector<MemberExtent>& rExtents, std::uint64_t uiDirectoryOffset);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
