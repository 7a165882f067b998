#include "MountTree.h"

#include <sys/stat.h>

#include <algorithm>

#include "MemberFacts.h"
#include "ShownNames.h"

namespace Tamsor {
namespace Tool {

namespace {

const mode_t kImpliedDirectoryMode = S_IFDIR | 0755;

// The file type the kind says; for files and directories (and symbolic links known only by their mode), the
// type the stored mode gives.
mode_t typeOf(MemberKind kind, mode_t stored) {
    switch (kind) {
        case MemberKind::Symlink:
            return S_IFLNK;
        case MemberKind::Fifo:
            return S_IFIFO;
        case MemberKind::Socket:
            return S_IFSOCK;
        case MemberKind::BlockDevice:
            return S_IFBLK;
        case MemberKind::CharacterDevice:
            return S_IFCHR;
        default:
            return stored & S_IFMT;
    }
}

bool isSpecial(mode_t mode) {
    return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISBLK(mode) || S_ISCHR(mode);
}

}  // namespace

MountTree::MountTree(const std::vector<ShownArchive>& archives, const MountSettings& settings,
                     std::vector<std::string>& rNotes)
    : m_settings(settings), m_paths(archives, rNotes) {
    findHardLinks();
    linkChildren();
    countSubdirectories();
}

// Each hard link's node and the node of the member it names, following a link to a link; the count of names
// of each node that hard links name.
void MountTree::findHardLinks() {
    for (std::size_t archive = 0; archive < m_paths.archiveCount(); ++archive) {
        const ArchiveFacts& facts = m_paths.facts(archive);
        const MemberId base = m_paths.base(archive);
        for (MemberId id = 0; id < facts.storedCount(); ++id) {
            if (facts.record(id).kind != MemberKind::HardLink || !m_paths.isShown(base + id + 1)) continue;
            MemberId linked = facts.index().details(id).linkedMember;
            while (linked != kNoMember && linked < id && facts.record(linked).kind == MemberKind::HardLink)
                linked = facts.index().details(linked).linkedMember;
            const std::uint32_t node = linked == kNoMember || linked >= id ? kNone : m_paths.nodeOf(base + linked);
            m_hardLinks.emplace_back(base + id + 1, node);
        }
    }
    if (m_settings.bSeparateHardLinks) return;
    std::vector<std::uint32_t> named;
    for (const LinkedNode& link : m_hardLinks)
        if (link.second != kNone) named.push_back(link.second);
    std::sort(named.begin(), named.end());
    for (const std::uint32_t node : named) {
        if (m_linkCounts.empty() || m_linkCounts.back().first != node) m_linkCounts.emplace_back(node, 0);
        ++m_linkCounts.back().second;
    }
}

// Each directory's entries in the order they were met: a directory made for names was met while the member
// that made it was placed, just before that member.
void MountTree::linkChildren() {
    const std::uint32_t nodes = static_cast<std::uint32_t>(m_paths.size());
    m_childStarts.assign(nodes + 1, 0);
    for (std::uint32_t node = 1; node < nodes; ++node)
        if (isShown(node)) ++m_childStarts[parent(node) + 1];
    for (std::size_t node = 1; node < m_childStarts.size(); ++node) m_childStarts[node] += m_childStarts[node - 1];
    m_childNodes.resize(m_childStarts.back());
    m_uiShown += m_childNodes.size();
    std::vector<std::uint32_t> next(m_childStarts.begin(), m_childStarts.end() - 1);
    std::uint32_t own = static_cast<std::uint32_t>(m_paths.base(m_paths.archiveCount()) + 1);
    for (; own < nodes && m_paths.madeBy(own) == kNoMember; ++own) m_childNodes[next[parent(own)]++] = own;
    for (std::size_t archive = 0; archive < m_paths.archiveCount(); ++archive) {
        const MemberId end = m_paths.base(archive) + m_paths.facts(archive).storedCount();
        for (MemberId id = m_paths.base(archive); id < end; ++id) {
            for (; own < nodes && m_paths.madeBy(own) == id; ++own)
                if (isShown(own)) m_childNodes[next[parent(own)]++] = own;
            if (isShown(id + 1)) m_childNodes[next[parent(id + 1)]++] = id + 1;
        }
    }
}

void MountTree::countSubdirectories() {
    for (std::uint32_t node = 0; node < m_paths.size(); ++node) {
        if (!isShown(node)) continue;
        std::uint32_t count = 0;
        for (const std::uint32_t child : children(node)) count += S_ISDIR(mode(child));
        if (count > 0) m_subdirectories.emplace_back(node, count);
    }
}

bool MountTree::isHidden(std::uint32_t node) const {
    if (!m_settings.bHideSymlinks && !m_settings.bHideSpecials) return false;
    const mode_t mode = typeAndPermissions(node);
    return (m_settings.bHideSymlinks && S_ISLNK(mode)) || (m_settings.bHideSpecials && isSpecial(mode));
}

std::uint32_t MountTree::lookup(std::uint32_t parent, std::string_view name) const {
    const std::uint32_t node = m_paths.lookup(parent, name);
    return node == kNone || isHidden(node) ? kNone : node;
}

std::uint32_t MountTree::linkedNode(std::uint32_t node) const {
    const auto found = std::lower_bound(m_hardLinks.begin(), m_hardLinks.end(), LinkedNode(node, 0));
    return found != m_hardLinks.end() && found->first == node ? found->second : kNone;
}

MemberDetails MountTree::details(MemberId member) const {
    const std::size_t archive = m_paths.archiveOf(member);
    return m_paths.facts(archive).index().details(member - m_paths.base(archive));
}

MemberId MountTree::dataMember(std::uint32_t node) const {
    const MemberId id = member(node);
    if (id == kNoMember || record(id).kind != MemberKind::HardLink) return id;
    const std::uint32_t linked = linkedNode(node);
    return linked == kNone ? id : member(linked);
}

std::uint32_t MountTree::inodeOf(std::uint32_t node) const {
    const MemberId id = member(node);
    if (m_settings.bSeparateHardLinks || id == kNoMember || record(id).kind != MemberKind::HardLink) return node;
    const std::uint32_t linked = linkedNode(node);
    return linked == kNone ? node : linked;
}

mode_t MountTree::typeAndPermissions(std::uint32_t node) const {
    const MemberId id = member(node);
    if (id == kNoMember) return kImpliedDirectoryMode;
    const MemberRecord& stored = record(id);
    if (stored.kind == MemberKind::HardLink) {
        const std::uint32_t linked = linkedNode(node);
        return linked == kNone ? S_IFLNK | 0777 : typeAndPermissions(linked);
    }
    const mode_t mode = memberMode(stored);
    return typeOf(stored.kind, mode) | (mode & 07777);
}

mode_t MountTree::mode(std::uint32_t node) const {
    const mode_t mode = typeAndPermissions(node);
    if (S_ISDIR(mode)) return mode & ~m_settings.directoryMask;
    return S_ISLNK(mode) ? mode : mode & ~m_settings.fileMask;
}

nlink_t MountTree::links(std::uint32_t node) const {
    if (S_ISDIR(mode(node))) return 2 + countOf(m_subdirectories, node);
    if (m_settings.bSeparateHardLinks) return 1;
    return 1 + countOf(m_linkCounts, inodeOf(node));
}

nlink_t MountTree::countOf(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& counts, std::uint32_t node) {
    const auto found = std::lower_bound(counts.begin(), counts.end(), std::make_pair(node, std::uint32_t(0)));
    return found != counts.end() && found->first == node ? found->second : 0;
}

// A hard link whose member is not in the archive: a relative link to that member's path as it would show.
std::string MountTree::linkTarget(std::uint32_t node) const {
    const MemberId id = member(node);
    if (id == kNoMember || record(id).kind != MemberKind::HardLink || linkedNode(node) != kNone) return "";
    std::string target;
    for (std::uint32_t up = parent(node); up != 0; up = parent(up)) target += "../";
    const std::string stored = details(id).linkTarget;
    std::vector<std::string_view> components;
    shownComponents(stored, components);
    for (const std::string_view component : components) target += fittedComponent(component) + "/";
    if (!target.empty()) target.pop_back();
    return target;
}

}  // namespace Tool
}  // namespace Tamsor
