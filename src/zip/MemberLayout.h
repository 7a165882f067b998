#ifndef TAMSOR_SRC_MEMBERLAYOUT_H
#define TAMSOR_SRC_MEMBERLAYOUT_H

// Where the members lie in the file, from the central directory alone: members whose bytes overlap (the shape of
// a zip bomb that makes many members of one piece of data, or of a member whose data holds the next member's
// local header) are found, and every member learns where the next one starts, its data limit, so that the
// member reader can check the exact end it finds in the local header.

#include <cstdint>
#include <vector>

#include "tamsor/ArchiveMember.h"

namespace Tamsor {
namespace ZipRecords {

// One stored member's place: where its local header starts, and its compressed size.
struct MemberPlace {
    std::uint64_t uiOffset;
    std::uint64_t uiCompressedSize;
};

// What the layout finds, by the members' positions in the central directory.
class LayoutReport {
  public:
    virtual ~LayoutReport() = default;
    // Where the member after `position` starts (or the central directory): its data limit.
    virtual void limit(MemberId position, std::uint64_t uiDataLimit) = 0;
    // Members `a` and `b` overlap.
    virtual void overlap(MemberId a, MemberId b) = 0;
};

// Finds the members that overlap another one and every member's data limit, from members handed over in
// central-directory order while their offsets do not go down (as writers write them): one pass, nothing kept
// but the furthest end so far. A member is taken to span the fixed part of its local header and its compressed
// data, and nothing more: what only the local header can tell (its name and extra field, a data descriptor) is
// the member reader's to check against the limit.
class LayoutWalk {
  public:
    explicit LayoutWalk(LayoutReport& rReport) : m_rReport(rReport) {}
    // False, with nothing reported of the member, when its offset is lower than the one before: the directory is
    // not in file order, and the walk stops (layOutMembers then takes every place).
    bool add(MemberId position, const MemberPlace& place);
    // The last member's limit: where the central directory starts.
    void finish(std::uint64_t uiDirectoryOffset);

  private:
    LayoutReport& m_rReport;
    bool m_bStarted = false;
    MemberId m_previous = 0, m_furthest = 0;
    std::uint64_t m_uiPreviousOffset = 0, m_uiFurthestEnd = 0;
};

// The same from every member's place, in any order: a sort by offset (4 bytes a member) when they are not in
// file order.
void layOutMembers(const std::vector<MemberPlace>& places, std::uint64_t uiDirectoryOffset, LayoutReport& rReport);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
