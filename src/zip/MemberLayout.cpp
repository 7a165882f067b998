#include "MemberLayout.h"

#include <algorithm>

#include "ZipRecords.h"

namespace Tamsor {
namespace ZipRecords {

namespace {

// One past the last byte that the member surely spans: its local header's fixed part and its data. (Its name
// and extra field there are the local header's to say; the member reader checks them.)
std::uint64_t knownEnd(const MemberPlace& place) {
    return place.uiOffset + kLocalHeaderSize + place.uiCompressedSize;
}

}  // namespace

// Every member that starts before the furthest end seen so far overlaps the member that reaches there.
bool LayoutWalk::add(MemberId position, const MemberPlace& place) {
    if (m_bStarted && place.uiOffset < m_uiPreviousOffset) return false;
    if (m_bStarted) {
        m_rReport.limit(m_previous, place.uiOffset);
        if (place.uiOffset < m_uiFurthestEnd) m_rReport.overlap(position, m_furthest);
    }
    if (!m_bStarted || knownEnd(place) > m_uiFurthestEnd) {
        m_uiFurthestEnd = knownEnd(place);
        m_furthest = position;
    }
    m_bStarted = true;
    m_previous = position;
    m_uiPreviousOffset = place.uiOffset;
    return true;
}

void LayoutWalk::finish(std::uint64_t uiDirectoryOffset) {
    if (m_bStarted) m_rReport.limit(m_previous, uiDirectoryOffset);
}

void layOutMembers(const std::vector<MemberPlace>& places, std::uint64_t uiDirectoryOffset, LayoutReport& rReport) {
    std::vector<MemberId> order(places.size());
    for (MemberId i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&places](MemberId a, MemberId b) { return places[a].uiOffset < places[b].uiOffset; });
    LayoutWalk walk(rReport);
    for (const MemberId position : order) walk.add(position, places[position]);
    walk.finish(uiDirectoryOffset);
}

}  // namespace ZipRecords
}  // namespace Tamsor
