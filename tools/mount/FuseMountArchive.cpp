#include "FuseMountArchive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "BindingRefusal.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Tool {

namespace {

const mode_t kFileMode = S_IFREG | 0444;
const mode_t kDirectoryMode = S_IFDIR | 0555;
const unsigned long kBlockSize = 512;

// The last component of a member name ("a/b/" gives "b"); empty when the name ends in "//" or is empty.
std::string lastComponent(const std::string& memberName) {
    std::string name = memberName;
    if (!name.empty() && name.back() == '/') name.pop_back();
    const std::string::size_type slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Archives may hold names that no path can reach ("", ".", "..", an embedded NUL): they are left out of
// listings rather than handed to the kernel, which would refuse them or resolve them elsewhere.
bool isListableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('\0') == std::string::npos;
}

}  // namespace

struct MountedArchive::OpenFile {
    VirtualFileSystem::FileHandle file;
    std::uint64_t uiSize = 0;      // from the index: reads at or past it end at once, without seeking
    std::uint64_t uiPosition = 0;  // where the file stands, so that sequential reads never seek
    bool bPositionKnown = true;    // false after a failed read or seek: the next read seeks first
};

MountedArchive::MountedArchive() : m_uiNextHandle(1), m_archiveTime(0), m_uiOwner(getuid()), m_uiGroup(getgid()) {}

MountedArchive::~MountedArchive() {
    // Files the kernel never released (a forced unmount) are closed here, before the file system goes, since
    // the file system must outlive every entry made on it.
    m_openFiles.clear();
}

bool MountedArchive::open(const std::string& archivePath, bool bScrambled, std::string& error) {
    char absolutePath[PATH_MAX];
    struct stat archiveAttributes;
    if (!realpath(archivePath.c_str(), absolutePath) || stat(absolutePath, &archiveAttributes) != 0) {
        error = "cannot open archive " + archivePath + ": " + std::strerror(errno);
        return false;
    }
    m_archiveTime = archiveAttributes.st_mtime;
    m_pFileSystem.reset(bScrambled ? new ZIPEncryptedFileSystem() : new ZIPFileSystem());
    if (!m_pFileSystem->setZIPArchive(absolutePath)) {
        const std::string reason = takeBindingRefusal(absolutePath);
        error = "cannot open archive " + archivePath + ": " +
                (reason.empty() ? "not a readable ZIP archive" : "it " + reason);
        return false;
    }
    m_pIndex.reset(new ArchiveIndex(*m_pFileSystem));
    if (!m_pIndex->isValid()) {
        error = "cannot read the member list of archive " + archivePath;
        return false;
    }
    return true;
}

int MountedArchive::getAttributes(const char* path, struct stat& attributes) const {
    const ArchiveMember* pMember = m_pIndex->find(path);
    if (!pMember) return -ENOENT;
    fillAttributes(*pMember, attributes);
    return 0;
}

void MountedArchive::fillAttributes(const ArchiveMember& member, struct stat& attributes) const {
    std::memset(&attributes, 0, sizeof attributes);
    attributes.st_uid = m_uiOwner;
    attributes.st_gid = m_uiGroup;
    const bool bOwnTime = !member.bImplied && !member.name.empty();
    const std::time_t time = bOwnTime ? member.modificationTime : m_archiveTime;
    attributes.st_mtime = attributes.st_atime = attributes.st_ctime = time;
    if (member.bDirectory) {
        attributes.st_mode = kDirectoryMode;
        attributes.st_nlink = countLinks(member);
        return;
    }
    attributes.st_mode = kFileMode;
    attributes.st_nlink = 1;
    attributes.st_size = static_cast<off_t>(member.uiSize);
    attributes.st_blocks = static_cast<blkcnt_t>((member.uiSize + kBlockSize - 1) / kBlockSize);
}

// A directory's "." and its entry in its parent, plus every subdirectory's "..", as on a disk file system:
// find(1) relies on it to skip leaf directories. Counted on first use and kept.
nlink_t MountedArchive::countLinks(const ArchiveMember& directory) const {
    const auto known = m_linkCounts.find(&directory);
    if (known != m_linkCounts.end()) return known->second;
    nlink_t links = 2;
    for (const auto& child : reachableChildren("/" + directory.name)) {
        if (child.second->bDirectory) ++links;
    }
    m_linkCounts[&directory] = links;
    return links;
}

// Names are listed only when a lookup of the path they make finds a member: an archive can hold names that
// list under a directory yet lead nowhere ("/abs" under the top level, "a//b" under "a"), and the kernel
// would show those as broken entries. Of several names with one last component, the one lookups find wins.
std::vector<std::pair<std::string, const ArchiveMember*>> MountedArchive::reachableChildren(
    const std::string& directoryPath) const {
    std::string base = directoryPath;
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::vector<std::pair<std::string, const ArchiveMember*>> reachable;
    std::unordered_set<std::string> seen;
    for (const ArchiveMember* pChild : m_pIndex->children(directoryPath)) {
        std::string name = lastComponent(pChild->name);
        if (!isListableName(name) || !seen.insert(name).second) continue;
        const ArchiveMember* pFound = m_pIndex->find(base + "/" + name);
        if (pFound) reachable.emplace_back(std::move(name), pFound);
    }
    return reachable;
}

int MountedArchive::listDirectory(const char* path, Listing& entries) const {
    const ArchiveMember* pDirectory = m_pIndex->find(path);
    if (!pDirectory) return -ENOENT;
    if (!pDirectory->bDirectory) return -ENOTDIR;
    for (auto& child : reachableChildren(path)) {
        struct stat attributes;
        fillAttributes(*child.second, attributes);
        entries.emplace_back(std::move(child.first), attributes);
    }
    return 0;
}

void MountedArchive::getFileSystemStatistics(struct statvfs& statistics) const {
    std::memset(&statistics, 0, sizeof statistics);
    std::uint64_t uiBlocks = 0;
    for (const ArchiveMember& member : m_pIndex->members()) uiBlocks += (member.uiSize + kBlockSize - 1) / kBlockSize;
    statistics.f_bsize = kBlockSize;
    statistics.f_frsize = kBlockSize;
    statistics.f_blocks = static_cast<fsblkcnt_t>(uiBlocks);
    statistics.f_files = static_cast<fsfilcnt_t>(m_pIndex->members().size() + 1);
    statistics.f_namemax = NAME_MAX;
    statistics.f_flag = ST_RDONLY;
}

int MountedArchive::openFile(const char* path, int flags, std::uint64_t& handle) {
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0) return -EROFS;
    const ArchiveMember* pMember = m_pIndex->find(path);
    if (!pMember) return -ENOENT;
    if (pMember->bDirectory) return -EISDIR;
    // The stored name, not the path: the file system strips one leading "/" and then looks the name up as
    // it stands, so that names the index reaches through normalisation still open the right member.
    std::unique_ptr<OpenFile> pOpen(new OpenFile);
    pOpen->file = m_pFileSystem->open(("/" + pMember->name).c_str(), O_RDONLY);
    if (pOpen->file.isNull()) return -EIO;  // a method zziplib cannot decode, or a damaged member
    pOpen->uiSize = pMember->uiSize;
    handle = m_uiNextHandle++;
    m_openFiles[handle] = std::move(pOpen);
    return 0;
}

int MountedArchive::readFile(std::uint64_t handle, char* buffer, std::size_t size, off_t offset) {
    const auto found = m_openFiles.find(handle);
    if (found == m_openFiles.end()) return -EBADF;
    if (offset < 0) return -EINVAL;
    OpenFile& open = *found->second;
    const std::uint64_t uiOffset = static_cast<std::uint64_t>(offset);
    if (uiOffset >= open.uiSize || size == 0) return 0;
    // Sequential reads, the common case, go straight on; any other offset is sought, which for a deflated
    // member going backwards means inflating again from its start.
    if (!open.bPositionKnown || uiOffset != open.uiPosition) {
        if (open.file->lseek(static_cast<long>(offset), SEEK_SET) != static_cast<long>(offset)) {
            open.bPositionKnown = false;
            return -EIO;
        }
        open.uiPosition = uiOffset;
        open.bPositionKnown = true;
    }
    const std::size_t wanted = size < static_cast<std::size_t>(INT_MAX) ? size : static_cast<std::size_t>(INT_MAX);
    std::size_t done = 0;
    while (done < wanted) {
        const int count = open.file->read(buffer + done, static_cast<unsigned int>(wanted - done));
        if (count < 0) {
            open.bPositionKnown = false;
            return -EIO;
        }
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    open.uiPosition += done;
    return static_cast<int>(done);
}

void MountedArchive::releaseFile(std::uint64_t handle) {
    m_openFiles.erase(handle);
}

}  // namespace Tool
}  // namespace Tamsor
