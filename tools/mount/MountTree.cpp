#include "MountTree.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <functional>

#include "Format.h"

namespace Tamsor {
namespace Tool {

namespace {

const mode_t kImpliedDirectoryMode = S_IFDIR | 0755;

// The last component of a name the tree shows (mountComponents accepted it): empty and "." ones skipped.
std::string_view lastComponent(std::string_view name) {
    for (;;) {
        while (!name.empty() && name.back() == '/') name.remove_suffix(1);
        const std::string_view::size_type slash = name.rfind('/');
        const std::string_view component = slash == std::string_view::npos ? name : name.substr(slash + 1);
        if (component != "." || slash == std::string_view::npos) return component;
        name = name.substr(0, slash);
    }
}

std::size_t hashOf(std::uint32_t parent, std::string_view name) {
    return std::hash<std::string_view>()(name) ^ (std::size_t(parent) * 0x9E3779B97F4A7C15ull);
}

}  // namespace

std::string mountComponents(std::string_view name, std::vector<std::string_view>& rComponents) {
    rComponents.clear();
    if (name.find('\0') != std::string_view::npos) return "its name holds a NUL byte";
    std::string_view::size_type start = 0;
    while (start <= name.size()) {
        std::string_view::size_type slash = name.find('/', start);
        if (slash == std::string_view::npos) slash = name.size();
        const std::string_view component = name.substr(start, slash - start);
        start = slash + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") return "a '..' in its name would lead out of the archive";
        if (component.size() > NAME_MAX)
            return "a part of its name is longer than " + std::to_string(NAME_MAX) + " bytes";
        rComponents.push_back(component);
    }
    return rComponents.empty() ? "its name is empty" : "";
}

MountTree::MountTree(const ArchiveFacts& facts, std::vector<std::string>& rNotes)
    : m_rFacts(facts), m_firstOwn(static_cast<std::uint32_t>(facts.index().size() + 1)), m_parents(m_firstOwn, kNone) {
    std::size_t slots = 16;
    while (slots < 2 * std::size_t(facts.storedCount())) slots *= 2;
    m_slots.assign(slots, kNone);
    std::vector<std::string_view> components;
    for (MemberId id = 0; id < facts.storedCount(); ++id) {
        const std::string_view name = facts.name(id);
        std::string why = mountComponents(name, components);
        if (why.empty()) why = place(id, components);
        if (!why.empty())
            rNotes.push_back("'" + displayName(name) + "' (member " + std::to_string(id + 1) + ") not shown: " + why);
    }
    linkChildren();
    countSubdirectories();
}

// Finds or makes the directories on the way, then shows the member; why not, when it cannot be placed.
std::string MountTree::place(MemberId id, const std::vector<std::string_view>& components) {
    std::uint32_t parent = 0;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::size_t slot = slotOf(parent, components[i]);
        const std::uint32_t found = m_slots[slot];
        if (found == kNone)
            parent = addDirectory(parent, id, components[i], slot);
        else if (isDirectory(found))
            parent = found;
        else
            return "'" + displayName(components[i]) + "' on its path is not a directory";
    }
    const std::size_t slot = slotOf(parent, components.back());
    const std::uint32_t existing = m_slots[slot];
    if (existing == kNone) {
        show(id + 1, parent, slot);
        return "";
    }
    const MemberId holder = member(existing);
    if (m_rFacts.record(id).bDirectory && holder == kNoMember && isOwn(existing)) {
        m_own[existing - m_firstOwn].member = id;  // an implied directory meets its own member
        return "";
    }
    return holder != kNoMember ? "an earlier member has the same path" : "a directory other names imply has that path";
}

std::uint32_t MountTree::addDirectory(std::uint32_t parent, MemberId nameSource, std::string_view component,
                                      std::size_t slot) {
    const std::string_view text = m_rFacts.name(nameSource);
    const std::uint32_t node = static_cast<std::uint32_t>(m_parents.size());
    m_own.push_back(OwnDirectory{nameSource, static_cast<std::uint32_t>(component.data() - text.data()),
                                 static_cast<std::uint32_t>(component.size())});
    m_parents.push_back(kNone);
    show(node, parent, slot);
    return node;
}

// Puts `node` in `slot` (where slotOf() found no node of its parent and name), or anew when the hash grows.
void MountTree::show(std::uint32_t node, std::uint32_t parent, std::size_t slot) {
    m_parents[node] = parent;
    ++m_uiShown;
    if (2 * m_uiShown <= m_slots.size()) {
        m_slots[slot] = node;
        return;
    }
    // More directories of its own than room was made for.
    std::vector<std::uint32_t> nodes(1, node);
    for (const std::uint32_t shown : m_slots)
        if (shown != kNone) nodes.push_back(shown);
    m_slots.assign(2 * m_slots.size(), kNone);
    for (const std::uint32_t shown : nodes) m_slots[slotOf(m_parents[shown], name(shown))] = shown;
}

std::size_t MountTree::slotOf(std::uint32_t parent, std::string_view name) const {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t slot = hashOf(parent, name) & mask;
    for (; m_slots[slot] != kNone; slot = (slot + 1) & mask) {
        const std::uint32_t node = m_slots[slot];
        if (m_parents[node] == parent && this->name(node) == name) break;
    }
    return slot;
}

std::uint32_t MountTree::lookup(std::uint32_t parent, std::string_view name) const {
    return m_slots[slotOf(parent, name)];
}

// Each directory's entries in the order they were met: a directory of the tree's own was met while the member
// that made it was placed, just before that member.
void MountTree::linkChildren() {
    m_childStarts.assign(m_parents.size() + 1, 0);
    for (std::uint32_t node = 1; node < m_parents.size(); ++node)
        if (m_parents[node] != kNone) ++m_childStarts[m_parents[node] + 1];
    for (std::size_t node = 1; node < m_childStarts.size(); ++node) m_childStarts[node] += m_childStarts[node - 1];
    m_childNodes.resize(m_childStarts.back());
    std::vector<std::uint32_t> next(m_childStarts.begin(), m_childStarts.end() - 1);
    std::size_t own = 0;
    for (MemberId id = 0; id < m_rFacts.storedCount(); ++id) {
        for (; own < m_own.size() && m_own[own].nameSource == id; ++own) {
            const std::uint32_t node = m_firstOwn + static_cast<std::uint32_t>(own);
            m_childNodes[next[m_parents[node]]++] = node;
        }
        if (m_parents[id + 1] != kNone) m_childNodes[next[m_parents[id + 1]]++] = id + 1;
    }
}

void MountTree::countSubdirectories() {
    for (std::uint32_t node = 0; node < m_parents.size(); ++node) {
        if (!isShown(node)) continue;
        std::uint32_t count = 0;
        for (const std::uint32_t child : children(node)) count += isDirectory(child);
        if (count > 0) m_subdirectories.emplace_back(node, count);
    }
}

MemberId MountTree::member(std::uint32_t node) const {
    if (node == 0) return kNoMember;
    return isOwn(node) ? m_own[node - m_firstOwn].member : node - 1;
}

std::string_view MountTree::name(std::uint32_t node) const {
    if (node == 0) return std::string_view();
    if (!isOwn(node)) return lastComponent(m_rFacts.name(node - 1));
    const OwnDirectory& own = m_own[node - m_firstOwn];
    return m_rFacts.name(own.nameSource).substr(own.uiNameStart, own.uiNameLength);
}

mode_t MountTree::mode(std::uint32_t node) const {
    const MemberId id = member(node);
    return id == kNoMember ? kImpliedDirectoryMode : memberMode(m_rFacts.record(id));
}

nlink_t MountTree::links(std::uint32_t node) const {
    if (!isDirectory(node)) return 1;
    const auto found =
        std::lower_bound(m_subdirectories.begin(), m_subdirectories.end(), std::make_pair(node, std::uint32_t(0)));
    return 2 + (found != m_subdirectories.end() && found->first == node ? found->second : 0);
}

}  // namespace Tool
}  // namespace Tamsor
