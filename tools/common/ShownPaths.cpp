#include "ShownPaths.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "Format.h"
#include "ShownNames.h"

namespace Tamsor {
namespace Tool {

namespace {

std::size_t hashOf(std::uint32_t parent, std::string_view name) {
    return std::hash<std::string_view>()(name) ^ (std::size_t(parent) * 0x9E3779B97F4A7C15ull);
}

std::string joined(const std::vector<std::string>& components) {
    std::string text;
    for (const std::string& component : components) text += (text.empty() ? "" : "/") + component;
    return text;
}

}  // namespace

// What only building needs: the member being placed, and where each taken name's numbering goes on.
class ShownPaths::Builder {
  public:
    Builder(ShownPaths& rPaths, std::vector<std::string>& rNotes) : m_rPaths(rPaths), m_rNotes(rNotes) {}

    // The archive's members go in `root` from now on.
    void startArchive(std::size_t archive, std::uint32_t root) {
        m_archive = archive;
        m_root = root;
    }

    void place(MemberId id) {
        m_id = id;
        shownComponents(m_rPaths.text(id), m_components);
        if (m_components.empty()) return note("not shown: its name has no component a file system can show");
        if (m_rPaths.text(id).find('\0') != std::string_view::npos) note("shown as if its name ended at its NUL byte");
        std::uint32_t parent = m_root;
        for (std::size_t i = 0; i + 1 < m_components.size(); ++i) parent = directoryFor(parent, m_components[i]);
        placeLast(parent, m_components.back());
    }

    // A folder for an archive's members, named `name` (or numbered, when that is taken).
    std::uint32_t folder(const std::string& name) {
        m_id = kNoMember;
        std::string fitted;
        const std::string_view component = fittedView(name, fitted);
        for (std::uint32_t number = 0;; ++number) {
            const std::string numbered = number == 0 ? std::string(component) : numberedName(component, number, true);
            const std::size_t slot = m_rPaths.slotOf(0, numbered);
            if (m_rPaths.m_slots[slot] == kNone) return addDirectory(0, std::string_view(), numbered, slot);
        }
    }

  private:
    // The directory named `component` in `parent`, made when there is none.
    std::uint32_t directoryFor(std::uint32_t parent, std::string_view component) {
        std::string fitted;
        const std::string_view name = fittedView(component, fitted);
        const std::size_t slot = m_rPaths.slotOf(parent, name);
        const std::uint32_t found = m_rPaths.m_slots[slot];
        if (found == kNone) return addDirectory(parent, component, name, slot);
        if (m_rPaths.isDirectory(found)) return found;
        // A file holds the name: the first directory among its numbered names, or a new one after them.
        std::uint32_t& rNumber = m_nextNumbers[found];
        for (std::uint32_t number = 1;; ++number) {
            const std::string numbered = numberedName(name, number, true);
            const std::size_t numberedSlot = m_rPaths.slotOf(parent, numbered);
            const std::uint32_t holder = m_rPaths.m_slots[numberedSlot];
            if (holder != kNone && m_rPaths.isDirectory(holder)) return holder;
            if (holder != kNone) continue;
            rNumber = std::max(rNumber, number);
            const std::uint32_t node = addDirectory(parent, component, numbered, numberedSlot);
            note("shown under '" + shownPath(node) + "/': a file holds the name '" + displayName(name) + "'");
            return node;
        }
    }

    // The member itself: under its own name, merged into the directory of that name, or numbered.
    void placeLast(std::uint32_t parent, std::string_view component) {
        const std::uint32_t node = m_id + 1;
        const bool bDirectory = m_rPaths.record(m_id).bDirectory;
        std::string fitted;
        const std::string_view name = fittedView(component, fitted);
        const std::size_t slot = m_rPaths.slotOf(parent, name);
        const std::uint32_t found = m_rPaths.m_slots[slot];
        if (found == kNone) {
            if (name.size() != component.size()) m_rPaths.rename(node, fitted);
            m_rPaths.show(node, parent, slot);
            if (name.size() != component.size()) note("shown as '" + shownPath(node) + "': its name is too long");
            return;
        }
        if (bDirectory && m_rPaths.isDirectory(found)) return merge(found);
        std::uint32_t& rNumber = m_nextNumbers[found];
        // A directory may merge into any of the numbered names; a file goes on from the last one given.
        for (std::uint32_t number = bDirectory ? 1 : rNumber + 1;; ++number) {
            std::string numbered = numberedName(name, number, bDirectory);
            const std::size_t numberedSlot = m_rPaths.slotOf(parent, numbered);
            const std::uint32_t holder = m_rPaths.m_slots[numberedSlot];
            if (holder != kNone && bDirectory && m_rPaths.isDirectory(holder)) return merge(holder);
            if (holder != kNone) continue;
            rNumber = std::max(rNumber, number);
            m_rPaths.rename(node, numbered);
            m_rPaths.show(node, parent, numberedSlot);
            return note("shown as '" + shownPath(node) + "': an earlier member holds its name");
        }
    }

    std::uint32_t addDirectory(std::uint32_t parent, std::string_view component, std::string_view name,
                               std::size_t slot) {
        const std::string_view text = m_id == kNoMember ? component : m_rPaths.text(m_id);
        const std::uint32_t node = static_cast<std::uint32_t>(m_rPaths.m_parents.size());
        m_rPaths.m_own.push_back(OwnDirectory{m_id, static_cast<std::uint32_t>(component.data() - text.data()),
                                              static_cast<std::uint32_t>(component.size())});
        m_rPaths.m_parents.push_back(kNone);
        if (name != component) m_rPaths.rename(node, std::string(name));
        m_rPaths.show(node, parent, slot);
        return node;
    }

    // A directory member of a path that is a directory already: that directory, which takes its mode and
    // time if it had none.
    void merge(std::uint32_t directory) {
        if (m_rPaths.isOwn(directory) && m_rPaths.m_own[directory - m_rPaths.m_firstOwn].member == kNoMember)
            m_rPaths.m_own[directory - m_rPaths.m_firstOwn].member = m_id;
        m_rPaths.m_merged.emplace_back(m_id, directory);
    }

    static std::string_view fittedView(std::string_view component, std::string& rStorage) {
        if (fitsAsComponent(component)) return component;
        rStorage = fittedComponent(component);
        return rStorage;
    }

    std::string shownPath(std::uint32_t node) const { return displayName(joined(m_rPaths.path(node))); }

    void note(const std::string& what) {
        const std::string of = m_rPaths.archiveCount() > 1 ? " of " + m_rPaths.m_archives[m_archive].strLabel : "";
        m_rNotes.push_back("'" + displayName(m_rPaths.text(m_id)) + "' (member " +
                           std::to_string(m_id - m_rPaths.base(m_archive) + 1) + of + ") " + what);
    }

    ShownPaths& m_rPaths;
    std::vector<std::string>& m_rNotes;
    MemberId m_id = kNoMember;
    std::size_t m_archive = 0;
    std::uint32_t m_root = 0;
    std::vector<std::string_view> m_components;
    // By the node that holds a name: the last number given to a name like it. So a thousand members of one
    // name cost a thousand probes, not half a million.
    std::unordered_map<std::uint32_t, std::uint32_t> m_nextNumbers;
};

ShownPaths::ShownPaths(const std::vector<ShownArchive>& archives, std::vector<std::string>& rNotes)
    : m_archives(archives), m_bases(1, 0) {
    std::size_t stored = 0;
    for (const ShownArchive& archive : archives) {
        m_bases.push_back(m_bases.back() + static_cast<MemberId>(archive.pFacts->index().size()));
        stored += archive.pFacts->storedCount();
    }
    m_firstOwn = m_bases.back() + 1;
    m_parents.assign(m_firstOwn, kNone);
    std::size_t slots = 16;
    while (slots < 2 * stored) slots *= 2;
    m_slots.assign(slots, kNone);
    Builder builder(*this, rNotes);
    std::vector<std::uint32_t> roots;  // the folders first, so that they keep their names
    for (const ShownArchive& archive : archives)
        roots.push_back(archive.strFolder.empty() ? 0 : builder.folder(archive.strFolder));
    for (std::size_t archive = 0; archive < archives.size(); ++archive) {
        builder.startArchive(archive, roots[archive]);
        for (MemberId id = 0; id < archives[archive].pFacts->storedCount(); ++id) builder.place(m_bases[archive] + id);
    }
}

std::size_t ShownPaths::archiveOf(MemberId member) const {
    std::size_t archive = 0;
    while (member >= m_bases[archive + 1]) ++archive;  // a few archives at most: a scan
    return archive;
}

// Puts `node` in `slot` (where slotOf() found no node of its parent and name), or anew when the hash grows.
void ShownPaths::show(std::uint32_t node, std::uint32_t parent, std::size_t slot) {
    m_parents[node] = parent;
    ++m_uiShown;
    if (2 * m_uiShown <= m_slots.size()) {
        m_slots[slot] = node;
        return;
    }
    // More directories made here than room was made for.
    std::vector<std::uint32_t> nodes(1, node);
    for (const std::uint32_t shown : m_slots)
        if (shown != kNone) nodes.push_back(shown);
    m_slots.assign(2 * m_slots.size(), kNone);
    for (const std::uint32_t shown : nodes) m_slots[slotOf(m_parents[shown], name(shown))] = shown;
}

void ShownPaths::rename(std::uint32_t node, std::string name) {
    if (m_renamedAt.size() < m_parents.size()) m_renamedAt.resize(m_parents.size(), kNone);
    m_renamedAt[node] = static_cast<std::uint32_t>(m_renamed.size());
    m_renamed.push_back(std::move(name));
}

std::size_t ShownPaths::slotOf(std::uint32_t parent, std::string_view name) const {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t slot = hashOf(parent, name) & mask;
    for (; m_slots[slot] != kNone; slot = (slot + 1) & mask) {
        const std::uint32_t node = m_slots[slot];
        if (m_parents[node] == parent && this->name(node) == name) break;
    }
    return slot;
}

std::uint32_t ShownPaths::nodeOf(MemberId id) const {
    if (m_parents[id + 1] != kNone) return id + 1;
    const auto found = std::lower_bound(m_merged.begin(), m_merged.end(), std::make_pair(id, std::uint32_t(0)));
    return found != m_merged.end() && found->first == id ? found->second : kNone;
}

MemberId ShownPaths::member(std::uint32_t node) const {
    if (node == 0) return kNoMember;
    return isOwn(node) ? m_own[node - m_firstOwn].member : node - 1;
}

std::string_view ShownPaths::name(std::uint32_t node) const {
    if (node == 0) return std::string_view();
    if (node < m_renamedAt.size() && m_renamedAt[node] != kNone) return m_renamed[m_renamedAt[node]];
    if (!isOwn(node)) return lastShownComponent(text(node - 1));
    const OwnDirectory& own = m_own[node - m_firstOwn];
    return text(own.nameSource).substr(own.uiNameStart, own.uiNameLength);
}

std::vector<std::string> ShownPaths::path(std::uint32_t node) const {
    std::vector<std::string> components;
    for (; node != 0; node = m_parents[node]) components.emplace_back(name(node));
    std::reverse(components.begin(), components.end());
    return components;
}

}  // namespace Tool
}  // namespace Tamsor
