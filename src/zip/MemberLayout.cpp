#include "MemberLayout.h"

#include <algorithm>

#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

// One past the last byte that the member surely spans: its local header's fixed part and its data. (Its name
// and extra field there are the local header's to say; the member reader checks them.)
std::uint64_t knownEnd(const MemberExtent& extent) {
    return extent.uiOffset + kLocalHeaderSize + extent.uiCompressedSize;
}

}  // namespace

void layOutMembers(std::vector<MemberExtent>& rExtents, std::uint64_t uiDirectoryOffset) {
    std::vector<MemberId> order(rExtents.size());
    for (MemberId i = 0; i < order.size(); ++i) order[i] = i;
    const auto byOffset = [&rExtents](MemberId a, MemberId b) { return rExtents[a].uiOffset < rExtents[b].uiOffset; };
    if (!std::is_sorted(order.begin(), order.end(), byOffset)) std::stable_sort(order.begin(), order.end(), byOffset);
    // Every member that starts before the furthest end seen so far overlaps the member that reaches there.
    std::uint64_t furthestEnd = 0;
    MemberId furthest = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        MemberExtent& rExtent = rExtents[order[k]];
        if (k > 0 && rExtent.uiOffset < furthestEnd) {
            rExtent.overlapped = furthest;
            rExtents[furthest].overlapped = order[k];
        }
        if (k == 0 || knownEnd(rExtent) > furthestEnd) {
            furthestEnd = knownEnd(rExtent);
            furthest = order[k];
        }
        rExtent.uiDataLimit = k + 1 < order.size() ? rExtents[order[k + 1]].uiOffset : uiDirectoryOffset;
    }
}

}  // namespace ZipRecords
}  // namespace Tamsor
