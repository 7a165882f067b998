#include "FuseMountOperations.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

namespace {

// Nothing in a mount changes: the kernel may keep names, attributes and negative lookups this long.
const double kCacheSeconds = 86400.0;

MountSession& sessionOf(fuse_req_t request) {
    return *static_cast<MountSession*>(fuse_req_userdata(request));
}

MountedArchive& archiveOf(fuse_req_t request) {
    return sessionOf(request).archive();
}

// The node of inode `inode`, or MountTree::kNone for a number the kernel cannot have had from us.
std::uint32_t nodeOf(fuse_req_t request, fuse_ino_t inode) {
    const MountTree& tree = archiveOf(request).tree();
    if (inode < 1 || inode > tree.size()) return MountTree::kNone;
    const std::uint32_t node = static_cast<std::uint32_t>(inode - 1);
    return tree.isShown(node) ? node : MountTree::kNone;
}

fuse_entry_param entryOf(MountedArchive& rArchive, std::uint32_t node) {
    fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.ino = rArchive.tree().inodeOf(node) + 1;  // a hard link is the inode of the member it names
    entry.generation = 1;
    entry.attr_timeout = kCacheSeconds;
    entry.entry_timeout = kCacheSeconds;
    rArchive.getAttributes(node, entry.attr);
    return entry;
}

void initialise(void* pUserData, struct fuse_conn_info* pConnection) {
    // One read at a time on each file, in increasing order: a member read from start to end then goes on
    // with the one decoder that read the bytes before, instead of read-ahead requests overtaking it.
    pConnection->want &= ~FUSE_CAP_ASYNC_READ;
    static_cast<MountSession*>(pUserData)->setOpenless((pConnection->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0);
    if (pConnection->capable & FUSE_CAP_CACHE_SYMLINKS) pConnection->want |= FUSE_CAP_CACHE_SYMLINKS;
}

void lookUp(fuse_req_t request, fuse_ino_t parent, const char* pName) {
    MountedArchive& rArchive = archiveOf(request);
    const std::uint32_t directory = nodeOf(request, parent);
    const std::uint32_t node = directory == MountTree::kNone ? directory : rArchive.tree().lookup(directory, pName);
    if (node == MountTree::kNone) {
        fuse_entry_param none;  // inode 0: the kernel keeps the name's absence for the entry timeout
        std::memset(&none, 0, sizeof none);
        none.entry_timeout = kCacheSeconds;
        fuse_reply_entry(request, &none);
        return;
    }
    const fuse_entry_param entry = entryOf(rArchive, node);
    fuse_reply_entry(request, &entry);
}

void getAttributes(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* /*pInfo*/) {
    const std::uint32_t node = nodeOf(request, inode);
    if (node == MountTree::kNone) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    struct stat attributes;
    archiveOf(request).getAttributes(node, attributes);
    fuse_reply_attr(request, &attributes, kCacheSeconds);
}

void readLink(fuse_req_t request, fuse_ino_t inode) {
    const std::uint32_t node = nodeOf(request, inode);
    std::string target;
    const int result = node == MountTree::kNone ? -ENOENT : archiveOf(request).readLink(node, target);
    if (result < 0)
        fuse_reply_err(request, -result);
    else
        fuse_reply_readlink(request, target.c_str());
}

void openDirectory(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* pInfo) {
    const std::uint32_t node = nodeOf(request, inode);
    if (node == MountTree::kNone || !S_ISDIR(archiveOf(request).tree().mode(node))) {
        fuse_reply_err(request, node == MountTree::kNone ? ENOENT : ENOTDIR);
        return;
    }
    pInfo->cache_readdir = 1;  // listings never change
    pInfo->keep_cache = 1;
    fuse_reply_open(request, pInfo);
}

// Entries "." and ".." and then the children, numbered from 0; `offset` is the number of the next one. With
// `bPlus`, each child comes with its attributes, so that no lookup follows for it.
void listDirectory(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset, bool bPlus) {
    MountedArchive& rArchive = archiveOf(request);
    const std::uint32_t node = nodeOf(request, inode);
    if (node == MountTree::kNone) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const NodeRange children = rArchive.tree().children(node);
    std::vector<char> buffer(size);
    std::size_t used = 0;
    std::string name;  // FUSE takes names ending in NUL
    for (std::size_t i = static_cast<std::size_t>(offset); i < children.size() + 2; ++i) {
        const std::uint32_t child = i == 0 ? node : i == 1 ? rArchive.tree().parent(node) : children[i - 2];
        name = i == 0 ? "." : i == 1 ? ".." : rArchive.tree().name(child);
        fuse_entry_param entry = entryOf(rArchive, child);
        const off_t next = static_cast<off_t>(i + 1);
        std::size_t added;
        if (bPlus)
            added = fuse_add_direntry_plus(request, &buffer[used], size - used, name.c_str(), &entry, next);
        else
            added = fuse_add_direntry(request, &buffer[used], size - used, name.c_str(), &entry.attr, next);
        if (added > size - used) break;  // full: the kernel asks again from `next`
        used += added;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void readDirectory(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info*) {
    listDirectory(request, inode, size, offset, false);
}

void readDirectoryPlus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info*) {
    listDirectory(request, inode, size, offset, true);
}

// The member's check, so that a refused member fails at its open as long as the kernel still asks; ENOSYS
// for a member that passes it, once the kernel can take that as "open files yourself from now on".
void openFile(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info* pInfo) {
    const std::uint32_t node = nodeOf(request, inode);
    ArchiveMember member;
    const int result = node == MountTree::kNone ? -ENOENT : archiveOf(request).open(node, pInfo->flags, member);
    if (result < 0) {
        fuse_reply_err(request, -result);
        return;
    }
    if (sessionOf(request).isOpenless()) {
        fuse_reply_err(request, ENOSYS);
        return;
    }
    pInfo->fh = 0;          // reads find their stream by node
    pInfo->keep_cache = 1;  // the pages of an earlier open are still the member's
    pInfo->noflush = 1;
    fuse_reply_open(request, pInfo);
}

void readFile(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info* /*pInfo*/) {
    const std::uint32_t node = nodeOf(request, inode);
    if (node == MountTree::kNone) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    MountSession& rSession = sessionOf(request);
    // Before the reply: the program's next read, which may come on another thread as soon as it has this one,
    // must find this one noted.
    if (offset == 0) rSession.readAhead().noteRead(node, size);
    rSession.streams().read(node, size, static_cast<std::uint64_t>(offset),
                            [request](const char* pData, std::int64_t result) {
                                if (result < 0)
                                    fuse_reply_err(request, static_cast<int>(-result));
                                else
                                    fuse_reply_buf(request, pData, static_cast<std::size_t>(result));
                            });
}

void release(fuse_req_t request, fuse_ino_t /*inode*/, struct fuse_file_info* /*pInfo*/) {
    fuse_reply_err(request, 0);  // nothing belongs to an open file
}

void getFileSystemStatistics(fuse_req_t request, fuse_ino_t /*inode*/) {
    struct statvfs statistics;
    archiveOf(request).getFileSystemStatistics(statistics);
    fuse_reply_statfs(request, &statistics);
}

struct fuse_lowlevel_ops makeOperations() {
    struct fuse_lowlevel_ops operations;
    std::memset(&operations, 0, sizeof operations);
    operations.init = initialise;
    operations.lookup = lookUp;
    operations.getattr = getAttributes;
    operations.readlink = readLink;
    operations.opendir = openDirectory;
    operations.readdir = readDirectory;
    operations.readdirplus = readDirectoryPlus;
    operations.open = openFile;
    operations.read = readFile;
    operations.release = release;
    operations.statfs = getFileSystemStatistics;
    // Everything that would change something is left out: the mount is read-only, and the kernel refuses
    // such calls with EROFS before they get here.
    return operations;
}

}  // namespace

const struct fuse_lowlevel_ops& mountOperations() {
    static const struct fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace Tool
}  // namespace Tamsor
