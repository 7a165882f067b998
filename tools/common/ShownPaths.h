#ifndef TAMSOR_TOOLS_SHOWNPATHS_H
#define TAMSOR_TOOLS_SHOWNPATHS_H

// The path under which each stored member of an archive is shown, by the mount and by extraction alike, worked
// out once for the whole archive: every member is reachable, each under one path, by ShownNames' rules.
//
// Members are placed in archive order, so the first member of a path keeps it. Directories that names only
// imply are made as they are met; a directory member of a path that is a directory already is that
// directory (the first one's mode and time stand), not another. A file, a link or a special file whose name
// is taken gets the first free numbered name ("report (1).txt"); so does a directory whose name a file
// holds, and the members below it go into the first directory of those numbered names (or one made after
// them). Only a name with no component at all ("/", "..") is shown nowhere.
//
// Nodes are numbered: 0 is the top level, stored member id N is node N + 1, and the directories made for
// names that only imply them come after the members. A node holds no name of its own unless it was renamed:
// it shows the last shown component of its member's text, or (a directory made here) a component of the
// text of the member that made it.
//
// Memory, by node (members included, shown or not): 4 bytes for its parent and 8 to 16 for the lookup by
// name; 16 more for each directory made here; from the first renamed node on, 4 bytes a node and the new
// names; 8 for each directory member merged into another directory. Building costs one pass over the stored
// members and a hash of each component of their names; no name is copied unless it is renamed.
//
// Several archives may be shown in one tree, merged or each in a folder of its own (see ShownArchive).
//
// Threads: built on one thread; then any number may read it. The facts (and their index) must outlive it.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ArchiveFacts.h"

namespace Tamsor {
namespace Tool {

// One of several archives shown in one tree.
struct ShownArchive {
    const ArchiveFacts* pFacts;
    std::string strLabel;   // how notes name it when there are several (its path)
    std::string strFolder;  // the directory its members go in, numbered if taken; "": the top level
};

class ShownPaths {
  public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // Each member shown under another name than its own, or nowhere, adds one line to `rNotes`.
    ShownPaths(const ArchiveFacts& facts, std::vector<std::string>& rNotes)
        : ShownPaths(std::vector<ShownArchive>{{&facts, "", ""}}, rNotes) {}
    // Several archives in one tree, in the order given: their members are numbered on from one archive to the
    // next (an archive's member N is member base(archive) + N here), so a later archive's member of a name an
    // earlier one holds is numbered, and directories of one path merge.
    ShownPaths(const std::vector<ShownArchive>& archives, std::vector<std::string>& rNotes);

    std::size_t archiveCount() const { return m_archives.size(); }
    // Member numbers below base(archive + 1) from base(archive) on are that archive's, by its ids.
    MemberId base(std::size_t archive) const { return m_bases[archive]; }
    const ArchiveFacts& facts(std::size_t archive = 0) const { return *m_archives[archive].pFacts; }
    // The archive member number `member` is in (a search among the archives).
    std::size_t archiveOf(MemberId member) const;
    // The member's decoded name (ArchiveFacts::name).
    std::string_view text(MemberId member) const {
        const std::size_t archive = archiveOf(member);
        return facts(archive).name(member - m_bases[archive]);
    }
    const MemberRecord& record(MemberId member) const {
        const std::size_t archive = archiveOf(member);
        return facts(archive).record(member - m_bases[archive]);
    }
    // Every node number runs below this, shown or not.
    std::size_t size() const { return m_parents.size(); }
    // The top level and every node in it.
    std::size_t shownCount() const { return m_uiShown; }
    bool isShown(std::uint32_t node) const { return node == 0 || m_parents[node] != kNone; }
    std::uint32_t parent(std::uint32_t node) const { return node == 0 ? 0 : m_parents[node]; }
    bool isDirectory(std::uint32_t node) const { return node == 0 || isOwn(node) || record(node - 1).bDirectory; }

    // Members are numbered as above (with one archive, by its ids).
    // The node that shows stored member `id` (a directory member merged into another: that directory), or
    // kNone. O(1), or a binary search for a merged one.
    std::uint32_t nodeOf(MemberId id) const;
    // The member a node shows (a directory made here: the first directory member merged into it), or
    // kNoMember (the top level, a directory only implied, an archive's folder).
    MemberId member(std::uint32_t node) const;
    // The last component as shown; "" for the top level. Costs a scan of the member's name from its end.
    std::string_view name(std::uint32_t node) const;
    // The member whose name made `node` (a directory made here: the member met when it was made; an archive's
    // folder: kNoMember). Nodes were met in this order, after the folders, a directory made here just before
    // the member that made it.
    MemberId madeBy(std::uint32_t node) const { return isOwn(node) ? m_own[node - m_firstOwn].nameSource : node - 1; }
    bool isMadeHere(std::uint32_t node) const { return isOwn(node); }
    // The components from the top level down to `node`.
    std::vector<std::string> path(std::uint32_t node) const;

    // The shown child of directory `parent` named `name`, or kNone. Costs a hash of the name.
    std::uint32_t lookup(std::uint32_t parent, std::string_view name) const { return m_slots[slotOf(parent, name)]; }

  private:
    class Builder;

    // A directory made for a path no member held when it was met: named by a component of the text of the
    // member that made it (unless renamed; an archive's folder is).
    struct OwnDirectory {
        MemberId nameSource;  // kNoMember: an archive's folder
        std::uint32_t uiNameStart;
        std::uint32_t uiNameLength;
        MemberId member = kNoMember;  // the first directory member of that path met later
    };

    bool isOwn(std::uint32_t node) const { return node >= m_firstOwn; }
    // The slot of the child of `parent` named `name`, or the empty one where it would go.
    std::size_t slotOf(std::uint32_t parent, std::string_view name) const;
    void show(std::uint32_t node, std::uint32_t parent, std::size_t slot);
    void rename(std::uint32_t node, std::string name);

    std::vector<ShownArchive> m_archives;
    std::vector<MemberId> m_bases;           // by archive, and one more: where its member numbers start
    std::uint32_t m_firstOwn;                // the first node number of the directories made here
    std::vector<std::uint32_t> m_parents;    // by node: its directory, or kNone when not shown
    std::vector<OwnDirectory> m_own;         // by node less m_firstOwn
    std::vector<std::uint32_t> m_slots;      // an open-addressing hash of the shown nodes by (parent, name)
    std::size_t m_uiShown = 1;               // the top level
    std::vector<std::uint32_t> m_renamedAt;  // by node: its index in m_renamed, or kNone; empty while none is
    std::vector<std::string> m_renamed;      // the names of renamed nodes
    std::vector<std::pair<MemberId, std::uint32_t>> m_merged;  // (directory member, the node it is), by id
};

}  // namespace Tool
}  // namespace Tamsor

#endif
