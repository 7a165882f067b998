#ifndef TAMSOR_TOOLS_DECODEDNAMES_H
#define TAMSOR_TOOLS_DECODEDNAMES_H

// The members' names as text, kept only where the text is not the stored bytes (code page 437, another code
// set, a Unicode Path field, and the directories such names imply): most names are their own text and cost
// nothing here. The index keeps every stored name; this keeps the rest, and finds members by that rest.
//
// Memory: nothing while every name is its stored bytes. From the first one that is not, 4 bytes a member
// (where its text lies, if it has one), and for each name with a text of its own that text and 4 to 11 bytes
// (its length, and room to align the next); the lookup, once asked for, 8 to 16 bytes for each of those names.
//
// Threads: set() on one thread while the names are decoded; after that every call from any thread (the lookup
// is built on first use, once, under std::call_once). The index must outlive this.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace Tool {

// A name or path as a key: less one trailing "/", so that a directory is found with or without it.
inline std::string_view nameKey(std::string_view text) {
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return text;
}

class DecodedNames {
  public:
    explicit DecodedNames(const ArchiveIndex& index) : m_rIndex(index) {}

    // Gives member `id` the text `text` in place of any it had: its own, or (the same as its stored name) none.
    // Costs a copy of it when it is its own.
    void set(MemberId id, std::string_view text);
    // Whether member `id` has a text of its own. O(1).
    bool has(MemberId id) const { return !m_at.empty() && m_at[id] != kStored; }
    // The text of member `id`: its own, or its stored name. O(1); valid until the next set().
    std::string_view name(MemberId id) const;
    bool empty() const { return m_at.empty(); }

    // The first member (in id order) of those with a text of their own whose text, less one trailing "/", is
    // `key`; kNoMember when none is. Costs a hash of `key` (and, the first time, of every such text).
    MemberId find(std::string_view key) const;

  private:
    // Each text lies at a multiple of 8 bytes in m_arena (so that 32 bits reach 32 GiB), after its length.
    static constexpr std::uint32_t kStored = UINT32_MAX;
    static constexpr std::size_t kAlignment = 8;

    void buildLookup() const;
    void insert(MemberId id) const;

    const ArchiveIndex& m_rIndex;
    std::vector<std::uint32_t> m_at;  // by id: where its text is, in units of kAlignment, or kStored; empty
                                      // while no member has a text of its own
    std::string m_arena;
    mutable std::once_flag m_lookupBuilt;
    mutable std::vector<MemberId> m_slots;  // an open-addressing hash of the first member of each text
};

}  // namespace Tool
}  // namespace Tamsor

#endif
