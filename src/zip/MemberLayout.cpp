#include "MemberLayout.h"

#include <algorithm>

#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

// One past the last byte that the member surely spans: its local header's fixed part and its data. (Its name
// and extra field there are the local header's to say; the member reader checks them.)
std::uint64_t knownEnd(const ArchiveMember& member) {
    return member.uiLocalHeaderOffset + kLocalHeaderSize + member.uiCompressedSize;
}

void markOverlap(ArchiveMember& rMember, const ArchiveMember& other) {
    rMember.flaw = MemberFlaw::Overlaps;
    rMember.uiOverlapped = other.uiIndex;
}

}  // namespace

void layOutMembers(std::vector<ArchiveMember>& rMembers, std::uint64_t uiDirectoryOffset) {
    std::vector<std::uint32_t> order(rMembers.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto byOffset = [&rMembers](std::uint32_t a, std::uint32_t b) {
        return rMembers[a].uiLocalHeaderOffset < rMembers[b].uiLocalHeaderOffset;
    };
    if (!std::is_sorted(order.begin(), order.end(), byOffset)) std::stable_sort(order.begin(), order.end(), byOffset);
    // Every member that starts before the furthest end seen so far overlaps the member that reaches there.
    std::uint64_t furthestEnd = 0;
    std::uint32_t furthest = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        ArchiveMember& rMember = rMembers[order[k]];
        if (k > 0 && rMember.uiLocalHeaderOffset < furthestEnd) {
            markOverlap(rMember, rMembers[furthest]);
            markOverlap(rMembers[furthest], rMember);
        }
        if (k == 0 || knownEnd(rMember) > furthestEnd) {
            furthestEnd = knownEnd(rMember);
            furthest = order[k];
        }
        rMember.uiDataLimit = k + 1 < order.size() ? rMembers[order[k + 1]].uiLocalHeaderOffset : uiDirectoryOffset;
    }
}

}  // namespace ZipRecords
}  // namespace Tamsor
