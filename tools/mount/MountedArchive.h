#ifndef TAMSOR_TOOLS_MOUNTEDARCHIVE_H
#define TAMSOR_TOOLS_MOUNTEDARCHIVE_H

// What a mount serves, in the terms a FUSE file system uses (node numbers, struct stat, negative errno
// values): the tree of the archive's members (MountTree) with their attributes, and their bytes from a
// MemberReader, which reads at any offset from several threads at once with no whole-member buffer.
//
// Never wrong bytes with success: encrypted members are refused by open() (EACCES), members of a method no
// reader here decodes too (EOPNOTSUPP: the bytes are there, the operation is what is missing; EIO would
// blame the archive); a read that meets damaged data, or that reaches a member's end when its CRC-32 does
// not match, fails with EIO. A deflated member's CRC is carried by every decoding run, so the read that
// reaches its end always knows; a stored member read out of order (or whose start the kernel still held in
// its cache) is read once more from its start when a read first reaches its end, to check it. Each such
// failure is logged once per member, with its name.
//
// Threads: every call may come from any thread at once; nothing here holds a lock while reading. The source,
// the tree and the log must outlive this.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "MemberSource.h"
#include "MountLog.h"
#include "MountTree.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {
namespace Tool {

class MountedArchive {
  public:
    // The tree's archives, in its order, and their paths, absolute: the readers open them by path, and a
    // background mount changes directory to "/". The restart budget is shared out among them.
    MountedArchive(const std::vector<const MemberSource*>& sources, const MountTree& tree,
                   const std::vector<std::string>& archivePaths, std::uint64_t uiRestartBudget, MountLog& rLog);

    const MountTree& tree() const { return m_rTree; }
    void getAttributes(std::uint32_t node, struct stat& rAttributes) const;
    void getFileSystemStatistics(struct statvfs& rStatistics) const;

    // 0, with the node's member (a hard link's: the member it names) copied out of the index into `rMember`
    // for the reads that follow, or -EISDIR, -EINVAL (not a regular file: no bytes are ever served for a
    // link, a FIFO, a socket or a device), -EROFS (write access), -EACCES (encrypted), -EOPNOTSUPP (method).
    int open(std::uint32_t node, int flags, ArchiveMember& rMember);
    // Like pread into `pBuffer`: the count (short only at the end) or a negative errno value. `member` is the
    // node's, as open() gave it.
    std::int64_t read(std::uint32_t node, const ArchiveMember& member, char* pBuffer, std::size_t size,
                      std::uint64_t offset);
    // A symbolic link's target (the Unix field's link name, or its member's content, checked whole); 0 or a
    // negative errno value.
    int readLink(std::uint32_t node, std::string& rTarget);

    // "N reads, B bytes served, I inflated, P restart points (S bytes)", for the log of a verbose mount.
    std::string summary() const;

    MountedArchive(const MountedArchive&) = delete;
    MountedArchive& operator=(const MountedArchive&) = delete;

  private:
    struct NodeState {
        std::atomic<bool> bReported{false};         // a refusal or failure of this member is in the log
        std::atomic<std::int8_t> iStoredCheck{-1};  // -1 not known yet, else the ReadStatus of a whole read
    };

    void addDetails(const MemberDetails& details, struct stat& rAttributes) const;
    std::uint64_t sizeOf(std::uint32_t node, mode_t mode) const;
    int openData(std::uint32_t node, ArchiveMember& rMember);
    ReadStatus checkStored(std::uint32_t node, const ArchiveMember& member);
    ReadStatus readWholeStored(std::uint32_t node, const ArchiveMember& member);
    // The reader of the archive that holds the node's data.
    MemberReader& readerOf(std::uint32_t node) const;
    int refuse(std::uint32_t node, ReadStatus status, const std::string& what);

    const std::vector<const MemberSource*> m_sources;  // their words for refusals
    const MountTree& m_rTree;
    MountLog& m_rLog;
    std::vector<std::unique_ptr<MemberReader>> m_readers;  // by archive
    std::unique_ptr<NodeState[]> m_pStates;                // by node: 2 bytes each
    std::uint64_t m_uiBlocks;                              // what statfs says the members take
    std::time_t m_archiveTime;  // for the top level and implied directories, which have no time of their own
    uid_t m_uiOwner;
    gid_t m_uiGroup;
    std::atomic<std::uint64_t> m_uiReads{0};
    std::atomic<std::uint64_t> m_uiServed{0};
};

}  // namespace Tool
}  // namespace Tamsor

#endif
