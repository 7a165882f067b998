#include "RestartPoints.h"

#include <algorithm>

namespace Tamsor {

void RestartBudget::add(std::shared_ptr<RestartPoint> pPoint) {
    std::list<std::shared_ptr<RestartPoint>> evicted;  // freed once the lock is released
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uiBytes += pPoint->footprint();
    m_lru.push_front(std::move(pPoint));
    m_lru.front()->m_lruPosition = m_lru.begin();
    m_lru.front()->m_bHeld = true;
    while (m_uiBytes > m_uiBudget && !m_lru.empty()) {
        RestartPoint& rOldest = *m_lru.back();
        rOldest.m_bHeld = false;
        m_uiBytes -= rOldest.footprint();
        evicted.splice(evicted.begin(), m_lru, rOldest.m_lruPosition);
    }
}

void RestartBudget::touch(RestartPoint& rPoint) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rPoint.m_bHeld) m_lru.splice(m_lru.begin(), m_lru, rPoint.m_lruPosition);
}

std::size_t RestartBudget::points() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lru.size();
}

std::size_t RestartBudget::bytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uiBytes;
}

std::shared_ptr<RestartPoint> RestartTable::nearest(std::uint64_t offset) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto at = m_points.upper_bound(offset); at != m_points.begin();) {
        std::shared_ptr<RestartPoint> pPoint = (--at)->second.lock();
        if (pPoint) return pPoint;
    }
    return nullptr;
}

bool RestartTable::holds(std::uint64_t offset) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_points.find(offset);
    return found != m_points.end() && !found->second.expired();
}

void RestartTable::put(const std::shared_ptr<RestartPoint>& pPoint) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_points[pPoint->uiOffset] = pPoint;
}

}  // namespace Tamsor
