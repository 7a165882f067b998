#include "MountTree.h"

#include <climits>

#include "Format.h"

namespace Tamsor {
namespace Tool {

namespace {

std::string childKey(std::uint32_t parent, const std::string& name) {
    return std::to_string(parent) + "/" + name;
}

}  // namespace

std::string mountComponents(const std::string& name, std::vector<std::string>& rComponents) {
    rComponents.clear();
    if (name.find('\0') != std::string::npos) return "its name holds a NUL byte";
    std::string::size_type start = 0;
    while (start <= name.size()) {
        std::string::size_type slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        const std::string component = name.substr(start, slash - start);
        start = slash + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") return "a '..' in its name would lead out of the archive";
        if (component.size() > NAME_MAX)
            return "a part of its name is longer than " + std::to_string(NAME_MAX) + " bytes";
        rComponents.push_back(component);
    }
    return rComponents.empty() ? "its name is empty" : "";
}

MountTree::MountTree(const ArchiveFacts& facts, std::vector<std::string>& rNotes) {
    m_nodes.emplace_back();
    m_nodes[0].mode = S_IFDIR | 0755;
    m_nodes[0].links = 2;
    std::vector<std::string> components;
    for (const ArchiveMember& member : facts.index().members()) {
        if (member.bImplied) continue;  // made here from the names as shown
        const std::string& name = facts.name(member);
        std::string why = mountComponents(name, components);
        if (why.empty()) why = place(member, components);
        if (!why.empty())
            rNotes.push_back("'" + displayName(name) + "' (member " + std::to_string(member.uiIndex + 1) +
                             ") not shown: " + why);
    }
}

// Finds or makes the directories on the way, then the member's own node; why not, when it cannot be placed.
std::string MountTree::place(const ArchiveMember& member, const std::vector<std::string>& components) {
    std::uint32_t parent = 0;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::uint32_t found = lookup(parent, components[i]);
        if (found == kNone)
            parent = addNode(parent, components[i], nullptr, S_IFDIR | 0755);
        else if (S_ISDIR(m_nodes[found].mode))
            parent = found;
        else
            return "'" + displayName(components[i]) + "' on its path is not a directory";
    }
    const std::uint32_t existing = lookup(parent, components.back());
    if (existing == kNone) {
        addNode(parent, components.back(), &member, memberMode(member));
        return "";
    }
    MountNode& rExisting = m_nodes[existing];
    if (member.bDirectory && !rExisting.pMember && S_ISDIR(rExisting.mode)) {
        rExisting.pMember = &member;  // an implied directory meets its own member
        rExisting.mode = memberMode(member);
        return "";
    }
    return rExisting.pMember ? "an earlier member has the same path" : "a directory other names imply has that path";
}

std::uint32_t MountTree::addNode(std::uint32_t parent, const std::string& name, const ArchiveMember* pMember,
                                 mode_t mode) {
    const std::uint32_t index = static_cast<std::uint32_t>(m_nodes.size());
    m_nodes.emplace_back();
    MountNode& rNode = m_nodes.back();
    rNode.pMember = pMember;
    rNode.name = name;
    rNode.parent = parent;
    rNode.mode = mode;
    rNode.links = S_ISDIR(mode) ? 2 : 1;
    m_nodes[parent].children.push_back(index);
    if (S_ISDIR(mode)) ++m_nodes[parent].links;
    m_children.emplace(childKey(parent, name), index);
    return index;
}

std::uint32_t MountTree::lookup(std::uint32_t parent, const std::string& name) const {
    const auto found = m_children.find(childKey(parent, name));
    return found == m_children.end() ? kNone : found->second;
}

}  // namespace Tool
}  // namespace Tamsor
