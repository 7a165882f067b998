#ifndef TAMSOR_TOOLS_MOUNTTREE_H
#define TAMSOR_TOOLS_MOUNTTREE_H

// The tree a mount shows, built once from the member index and never changed after: every member under the
// path ShownPaths gives it (the one extraction uses), each as the kind of file it is.
//
// Kinds: files and directories; symbolic links (their target is the Unix field's link name when it has one,
// else their data); FIFOs, sockets and block and character devices (st_rdev from the Unix field), whose
// bytes are never served; hard links, which are the node of the member they name (one inode, its link count
// counting every name), or with -o nohardlinks a file of their own with that member's bytes. A hard link to
// a member the archive does not hold shows as a symbolic link to where that member would be (a file with no
// bytes would be a lie; a link that leads nowhere says what the archive says). -o nosymlinks and
// -o nospecials leave those kinds out (their names stay taken, so every other member keeps its path).
//
// Nodes are ShownPaths' (the inode number less one), of one archive or of several merged or each in a folder
// of its own (-o subdirs). A directory lists its entries in the order they were met.
//
// Memory, beyond ShownPaths: 8 bytes a node for the listings, 8 for each directory that holds directories
// and for each member that hard links name, 8 for each hard link. Building costs a pass over the nodes.
//
// Threads: built on one thread; then any number may read it. The facts (and their index) must outlive it.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ArchiveFacts.h"
#include "MountOptions.h"
#include "ShownPaths.h"

namespace Tamsor {
namespace Tool {

// A directory's entries: node numbers, in the order they were met.
typedef MemberIds NodeRange;

class MountTree {
  public:
    static constexpr std::uint32_t kNone = ShownPaths::kNone;

    // Each member shown under another name than its own, or not at all, adds one line to `rNotes`.
    MountTree(const std::vector<ShownArchive>& archives, const MountSettings& settings,
              std::vector<std::string>& rNotes);

    // Members are numbered across the archives as ShownPaths numbers them.
    const ShownPaths& paths() const { return m_paths; }
    const MemberRecord& record(MemberId member) const { return m_paths.record(member); }
    // What the Unix and NTFS fields say of `member` (all defaults unless its record has details).
    MemberDetails details(MemberId member) const;

    const MountSettings& settings() const { return m_settings; }
    // Every node number runs below this, shown or not.
    std::size_t size() const { return m_paths.size(); }
    // The top level and every node in it, as `statfs` counts files.
    std::size_t shownCount() const { return m_uiShown; }
    bool isShown(std::uint32_t node) const { return m_paths.isShown(node) && !isHidden(node); }

    // The member a node shows (a directory made for names: the directory member merged into it), or
    // kNoMember (the top level, an implied directory).
    MemberId member(std::uint32_t node) const { return m_paths.member(node); }
    // The member whose bytes and attributes a node has: a hard link's linked member, else member().
    MemberId dataMember(std::uint32_t node) const;
    // The node whose inode `node` is: a hard link's linked node (unless hard links are kept apart), else itself.
    std::uint32_t inodeOf(std::uint32_t node) const;
    // The last component as shown; "" for the top level.
    std::string_view name(std::uint32_t node) const { return m_paths.name(node); }
    std::uint32_t parent(std::uint32_t node) const { return m_paths.parent(node); }
    // Type and permission bits (the masks applied).
    mode_t mode(std::uint32_t node) const;
    // 2 and one for each directory in it, for a directory; for anything else its number of names.
    nlink_t links(std::uint32_t node) const;
    NodeRange children(std::uint32_t node) const {
        return NodeRange(m_childNodes.data() + m_childStarts[node], m_childNodes.data() + m_childStarts[node + 1]);
    }
    // A symbolic link's target when the tree knows it (a hard link to a member not in the archive); else "".
    std::string linkTarget(std::uint32_t node) const;

    // The shown child of directory `parent` named `name`, or kNone. Costs a hash of the name.
    std::uint32_t lookup(std::uint32_t parent, std::string_view name) const;

  private:
    // A hard link's node and the node it links to (kNone: its member is not in the archive).
    typedef std::pair<std::uint32_t, std::uint32_t> LinkedNode;

    bool isHidden(std::uint32_t node) const;
    mode_t typeAndPermissions(std::uint32_t node) const;
    std::uint32_t linkedNode(std::uint32_t node) const;
    void findHardLinks();
    void linkChildren();
    void countSubdirectories();
    static nlink_t countOf(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& counts, std::uint32_t node);

    const MountSettings m_settings;
    const ShownPaths m_paths;
    std::size_t m_uiShown = 1;                 // the top level
    std::vector<std::uint32_t> m_childStarts;  // by node: where its entries start in m_childNodes (one more)
    std::vector<std::uint32_t> m_childNodes;
    // Directories that hold directories, by node number: (node, how many).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_subdirectories;
    std::vector<LinkedNode> m_hardLinks;  // by the hard link's node
    // Nodes that hard links name, by node number: (node, how many hard links).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_linkCounts;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
