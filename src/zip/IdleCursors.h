#ifndef TAMSOR_SRC_IDLECURSORS_H
#define TAMSOR_SRC_IDLECURSORS_H

// Cursors kept between reads, so that a read that starts where an earlier one stopped goes on from there.
// Bounded in number overall and per member; the least recently parked go first. `Cursor` has position().
// Members are named by a number never given to another member of the reader (not an address, which a record
// made after another was dropped may take again, with cursors of the first still idle here).
// Safe from any thread; nothing is freed while the lock is held.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Tamsor {

template <class Cursor>
class IdleCursors {
  public:
    IdleCursors(std::size_t maxIdle, std::size_t maxPerMember) : m_uiMaxIdle(maxIdle), m_uiMaxPerMember(maxPerMember) {}

    // The idle cursor of member `member` that stands furthest in [from, to], taken out of the pool; null when
    // none.
    std::unique_ptr<Cursor> take(std::uint64_t member, std::uint64_t from, std::uint64_t to) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t best = m_entries.size();
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            const std::uint64_t position = m_entries[i].pCursor->position();
            if (m_entries[i].uiMember == member && position >= from && position <= to &&
                (best == m_entries.size() || position > m_entries[best].pCursor->position()))
                best = i;
        }
        if (best == m_entries.size()) return nullptr;
        std::unique_ptr<Cursor> pCursor = std::move(m_entries[best].pCursor);
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(best));
        return pCursor;
    }

    // Keeps `pCursor` for member `member`, dropping the oldest of that member's, then the oldest of all, beyond
    // the bounds.
    void park(std::uint64_t member, std::unique_ptr<Cursor> pCursor) {
        std::vector<std::unique_ptr<Cursor>> dropped;  // freed once the lock is released
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(Entry{member, std::move(pCursor)});
        std::size_t ofMember = 0;
        for (const Entry& entry : m_entries) ofMember += entry.uiMember == member ? 1 : 0;
        for (std::size_t i = 0; i < m_entries.size() && ofMember > m_uiMaxPerMember;) {
            if (m_entries[i].uiMember != member) {
                ++i;
                continue;
            }
            drop(i, dropped);
            --ofMember;
        }
        while (m_entries.size() > m_uiMaxIdle) drop(0, dropped);
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries.size();
    }

  private:
    struct Entry {
        std::uint64_t uiMember;
        std::unique_ptr<Cursor> pCursor;
    };

    // Entries are kept oldest first.
    void drop(std::size_t i, std::vector<std::unique_ptr<Cursor>>& rDropped) {
        rDropped.push_back(std::move(m_entries[i].pCursor));
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
    }

    const std::size_t m_uiMaxIdle;
    const std::size_t m_uiMaxPerMember;
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;  // oldest first
};

}  // namespace Tamsor

#endif
