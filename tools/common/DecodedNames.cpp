#include "DecodedNames.h"

#include <cstring>
#include <functional>
#include <stdexcept>

namespace Tamsor {
namespace Tool {

namespace {

std::size_t hashOf(std::string_view key) {
    return std::hash<std::string_view>()(key);
}

}  // namespace

void DecodedNames::set(MemberId id, std::string_view text) {
    if (text == m_rIndex.name(id)) {
        if (!m_at.empty()) m_at[id] = kStored;
        return;
    }
    if (m_at.empty()) m_at.assign(m_rIndex.size() + 1, kStored);  // the top level too
    m_arena.resize((m_arena.size() + kAlignment - 1) / kAlignment * kAlignment);
    const std::size_t unit = m_arena.size() / kAlignment;
    // Out of reach only past 32 GiB of names, far past what the index itself would have taken by then.
    if (unit >= kStored) throw std::length_error("the decoded member names pass 32 GiB");
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    m_arena.append(reinterpret_cast<const char*>(&length), sizeof length);
    m_arena.append(text);
    m_at[id] = static_cast<std::uint32_t>(unit);
}

std::string_view DecodedNames::name(MemberId id) const {
    if (!has(id)) return m_rIndex.name(id);
    const char* pEntry = m_arena.data() + std::size_t(m_at[id]) * kAlignment;
    std::uint32_t length;
    std::memcpy(&length, pEntry, sizeof length);
    return std::string_view(pEntry + sizeof length, length);
}

MemberId DecodedNames::find(std::string_view key) const {
    if (empty() || key.empty()) return kNoMember;
    std::call_once(m_lookupBuilt, [this] { buildLookup(); });
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = hashOf(key) & mask; m_slots[slot] != kNoMember; slot = (slot + 1) & mask)
        if (nameKey(name(m_slots[slot])) == key) return m_slots[slot];
    return kNoMember;
}

// Room for twice as many texts as there are, a power of two; the first member of each key in id order.
void DecodedNames::buildLookup() const {
    std::size_t count = 0;
    for (const std::uint32_t at : m_at) count += at != kStored;
    std::size_t slots = 16;
    while (slots < 2 * count) slots *= 2;
    m_slots.assign(slots, kNoMember);
    for (MemberId id = 0; id < m_at.size(); ++id)
        if (has(id)) insert(id);
}

void DecodedNames::insert(MemberId id) const {
    const std::string_view key = nameKey(name(id));
    if (key.empty()) return;  // "" and "/" name the top level, which is found by other means
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = hashOf(key) & mask;; slot = (slot + 1) & mask) {
        if (m_slots[slot] == kNoMember) {
            m_slots[slot] = id;
            return;
        }
        if (nameKey(name(m_slots[slot])) == key) return;
    }
}

}  // namespace Tool
}  // namespace Tamsor
