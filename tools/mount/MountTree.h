#ifndef TAMSOR_TOOLS_MOUNTTREE_H
#define TAMSOR_TOOLS_MOUNTTREE_H

// The tree a mount shows, built once from the member index and never changed after.
//
// Paths are the members' decoded names (ArchiveFacts) split at "/": empty and "." components are dropped, so
// "/abs.txt" and "./a.txt" show as "abs.txt" and "a.txt" at the top level. A member is left out, with one
// note for the log, when its name has a ".." component (it would lead out of the archive), a NUL byte, a
// component longer than NAME_MAX bytes or no component at all, when an earlier member already holds its path,
// or when a component before its last is a file. Directories that names only imply are made as they are met;
// a directory member met later gives such a directory its mode and time. A directory lists its entries in the
// order they were met.
//
// Nodes are numbered (the inode number less one): 0 is the top level, member id N is node N + 1, and the
// directories the tree makes for itself come after the members. A node holds no name of its own: it shows the
// last component of its member's text, or (a directory of the tree's own) a part of the text of the member
// that made it. A member left out, or whose directory the tree had made already, is a node not shown.
//
// Memory, by node (members included, shown or not): 4 bytes for its parent, 8 for its place among its
// directory's entries, 8 to 16 for the lookup by name; 16 more for each directory of the tree's own, and 8 for
// each directory that holds directories. Building costs one pass over the stored members and a hash of each
// component of their names; no name is copied.
//
// Threads: built on one thread; then any number may read it. The facts (and their index) must outlive it.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ArchiveFacts.h"

namespace Tamsor {
namespace Tool {

// A directory's entries: node numbers, in the order they were met.
typedef MemberIds NodeRange;

class MountTree {
  public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // Each member left out adds one line to `rNotes`: its name and why.
    MountTree(const ArchiveFacts& facts, std::vector<std::string>& rNotes);

    // Every node number runs below this, shown or not.
    std::size_t size() const { return m_parents.size(); }
    // The top level and every node in it, as `statfs` counts files.
    std::size_t shownCount() const { return m_uiShown; }
    bool isShown(std::uint32_t node) const { return node == 0 || m_parents[node] != kNone; }

    // The member a node shows (a directory of the tree's own: the directory member met after it), or
    // kNoMember (the top level, an implied directory).
    MemberId member(std::uint32_t node) const;
    // The last component as shown; "" for the top level. Costs a scan of the member's name from its end.
    std::string_view name(std::uint32_t node) const;
    std::uint32_t parent(std::uint32_t node) const { return node == 0 ? 0 : m_parents[node]; }
    mode_t mode(std::uint32_t node) const;
    // 2 and one for each directory in it, for a directory; 1 for anything else.
    nlink_t links(std::uint32_t node) const;
    NodeRange children(std::uint32_t node) const {
        return NodeRange(m_childNodes.data() + m_childStarts[node], m_childNodes.data() + m_childStarts[node + 1]);
    }

    // The child of directory `parent` named `name`, or kNone. Costs a hash of the name.
    std::uint32_t lookup(std::uint32_t parent, std::string_view name) const;

  private:
    // A directory the tree made for a path no member of its own holds (yet): named by a part of the text of
    // the member that made it.
    struct OwnDirectory {
        MemberId nameSource;  // the member whose text holds its name
        std::uint32_t uiNameStart;
        std::uint32_t uiNameLength;
        MemberId member = kNoMember;  // a directory member of that path met later
    };

    std::string place(MemberId id, const std::vector<std::string_view>& components);
    std::uint32_t addDirectory(std::uint32_t parent, MemberId nameSource, std::string_view component, std::size_t slot);
    void show(std::uint32_t node, std::uint32_t parent, std::size_t slot);
    // The slot of the child of `parent` named `name`, or the empty one where it would go.
    std::size_t slotOf(std::uint32_t parent, std::string_view name) const;
    void linkChildren();
    void countSubdirectories();
    bool isOwn(std::uint32_t node) const { return node >= m_firstOwn; }
    bool isDirectory(std::uint32_t node) const { return S_ISDIR(mode(node)); }

    const ArchiveFacts& m_rFacts;
    std::uint32_t m_firstOwn;                  // the first node number of the tree's own directories
    std::vector<std::uint32_t> m_parents;      // by node: its directory, or kNone when not shown
    std::vector<OwnDirectory> m_own;           // by node less m_firstOwn
    std::vector<std::uint32_t> m_slots;        // an open-addressing hash of the shown nodes by (parent, name)
    std::size_t m_uiShown = 1;                 // the top level
    std::vector<std::uint32_t> m_childStarts;  // by node: where its entries start in m_childNodes (one more)
    std::vector<std::uint32_t> m_childNodes;
    // Directories that hold directories, by node number: (node, how many).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_subdirectories;
};

// The components of a decoded name as the tree shows them (views into `name`), or why it cannot be shown ("" when
// it can).
std::string mountComponents(std::string_view name, std::vector<std::string_view>& rComponents);

}  // namespace Tool
}  // namespace Tamsor

#endif
