#ifndef TAMSOR_SRC_RESTARTPOINTS_H
#define TAMSOR_SRC_RESTARTPOINTS_H

// Restart points of decoded members and the memory budget they share.
//
// A restart point is a decoder's state at one offset of a member's output (taken about every interval of output,
// where the decoder can save it), with where the compressed stream stands there, the CRC-32 of the output
// before it, and a copy of the member's cipher there when it is encrypted. Each member has a table of its points
// by offset; the budget owns every point and evicts the least recently used ones, whole, when the points of all
// members exceed it. Tables hold weak references: an evicted point disappears from its table by itself, and a
// read that restores from it keeps it alive until it is done.
//
// Locks: each table has its own, the budget has one; a table's lock is never held while taking the budget's.
// Safe from any thread.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ciphers/MemberCipher.h"

namespace Tamsor {

struct RestartPoint {
    std::uint64_t uiOffset = 0;            // in the member's output
    std::uint64_t uiCompressedOffset = 0;  // of the next payload byte the decoder takes, from the payload's start
    std::uint32_t uiCrc = 0;               // CRC-32 of the output before uiOffset
    std::vector<unsigned char> state;      // the decoder's state (Decoder::save)
    // For an encrypted member: the cipher at uiCompressedOffset, and the payload bytes before that which it has
    // decrypted and the decoder has not taken yet (they go first).
    std::unique_ptr<MemberCipher> pCipher;
    std::vector<unsigned char> pendingInput;

    std::size_t footprint() const {
        return sizeof(*this) + state.capacity() + pendingInput.capacity() + (pCipher ? pCipher->footprint() : 0);
    }

  private:
    friend class RestartBudget;
    std::list<std::shared_ptr<RestartPoint>>::iterator m_lruPosition;  // guarded by the budget's lock
    bool m_bHeld = false;                                              // guarded by the budget's lock
};

class RestartBudget {
  public:
    explicit RestartBudget(std::size_t budget) : m_uiBudget(budget) {}

    // Takes `pPoint` in as the most recently used, then evicts least recently used points until the budget
    // holds (which may evict `pPoint` itself, when it alone exceeds the budget).
    void add(std::shared_ptr<RestartPoint> pPoint);
    // Marks a point as just used; nothing when it was evicted already.
    void touch(RestartPoint& rPoint);

    std::size_t points() const;
    std::size_t bytes() const;

  private:
    const std::size_t m_uiBudget;
    mutable std::mutex m_mutex;
    std::list<std::shared_ptr<RestartPoint>> m_lru;  // most recently used first
    std::size_t m_uiBytes = 0;
};

// One member's points, by offset (there is none at 0, where a fresh decoder starts).
class RestartTable {
  public:
    // The point nearest before or at `offset` that is still held, or null. O(log n) plus the evicted points
    // stepped over.
    std::shared_ptr<RestartPoint> nearest(std::uint64_t offset) const;
    // True when the point at `offset` is held.
    bool holds(std::uint64_t offset) const;
    // Keeps a weak reference to `pPoint`, replacing any earlier one at its offset.
    void put(const std::shared_ptr<RestartPoint>& pPoint);

  private:
    mutable std::mutex m_mutex;
    std::map<std::uint64_t, std::weak_ptr<RestartPoint>> m_points;
};

}  // namespace Tamsor

#endif
