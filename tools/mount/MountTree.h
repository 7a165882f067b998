#ifndef TAMSOR_TOOLS_MOUNTTREE_H
#define TAMSOR_TOOLS_MOUNTTREE_H

// The tree a mount shows: one node per path, numbered (the node number is the inode number less one), built
// once from the member index and never changed after.
//
// Paths are the members' decoded names (MemberFacts) split at "/": empty and "." components are dropped, so
// "/abs.txt" and "./a.txt" show as "abs.txt" and "a.txt" at the top level. A member is left out, with one
// note for the log, when its name has a ".." component (it would lead out of the archive), a NUL byte, a
// component longer than NAME_MAX bytes or no component at all, when an earlier member already holds its path,
// or when a component before its last is a file. Directories that names only imply are made as they are met;
// a directory member met later gives such a directory its mode and time.
//
// Threads: built on one thread; then any number may read it. Costs: one pass over the members, a hash
// lookup for each component; memory in proportion to the members and their names.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "MemberFacts.h"

namespace Tamsor {
namespace Tool {

struct MountNode {
    const ArchiveMember* pMember = nullptr;  // null for the top level and implied directories
    std::string name;                        // the last component as shown; "" for the top level
    std::uint32_t parent = 0;                // the directory it is in; the top level is its own
    mode_t mode = 0;                         // type and permission bits
    nlink_t links = 1;                       // directories: 2 and one for each subdirectory
    std::vector<std::uint32_t> children;     // directories: in the order the members come
};

class MountTree {
  public:
    static const std::uint32_t kNone = UINT32_MAX;

    // Node 0 is the top level. Each member left out adds one line to `rNotes`: its name and why.
    MountTree(const ArchiveFacts& facts, std::vector<std::string>& rNotes);

    std::size_t size() const { return m_nodes.size(); }
    const MountNode& node(std::uint32_t index) const { return m_nodes[index]; }
    // The child of directory `parent` named `name`, or kNone. O(1).
    std::uint32_t lookup(std::uint32_t parent, const std::string& name) const;

  private:
    std::uint32_t addNode(std::uint32_t parent, const std::string& name, const ArchiveMember* pMember, mode_t mode);
    std::string place(const ArchiveMember& member, const std::vector<std::string>& components);

    std::vector<MountNode> m_nodes;
    std::unordered_map<std::string, std::uint32_t> m_children;  // key: the parent's number, "/", the name
};

// The components of a decoded name as the tree shows them, or why it cannot be shown ("" when it can).
std::string mountComponents(const std::string& name, std::vector<std::string>& rComponents);

}  // namespace Tool
}  // namespace Tamsor

#endif
