#include "MountedArchive.h"

#include <fcntl.h>
#include <isa-l/crc.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "Format.h"

namespace Tamsor {
namespace Tool {

namespace {

const unsigned long kBlockSize = 512;
// What programs that ask (cat, cp) take as the size of their reads: the kernel then reads ahead as much in
// one request, and each request is a round trip to this process.
const blksize_t kPreferredReadSize = 1 << 20;
// The pieces of a stored member's check.
const std::size_t kCheckPiece = 1 << 20;

int errnoFor(ReadStatus status) {
    switch (status) {
        case ReadStatus::Ok:
            return 0;
        case ReadStatus::Encrypted:
        case ReadStatus::WrongPassword:
            return EACCES;
        case ReadStatus::UnsupportedMethod:
        case ReadStatus::UnsupportedEncryption:
            return EOPNOTSUPP;
        case ReadStatus::NotAFile:
            return EISDIR;
        default:
            return EIO;
    }
}

// Every member's size in blocks, counted once: statfs is asked often, and the sizes never change.
std::uint64_t blocksOf(const std::vector<const MemberSource*>& sources) {
    std::uint64_t uiBlocks = 0;
    for (const MemberSource* pSource : sources)
        for (MemberId id = 0; id < pSource->index().size(); ++id)
            uiBlocks += (pSource->index().record(id).uiSize + kBlockSize - 1) / kBlockSize;
    return uiBlocks;
}

std::time_t modificationTimeOf(const std::string& path) {
    struct stat attributes;
    return stat(path.c_str(), &attributes) == 0 ? attributes.st_mtime : 0;
}

}  // namespace

MountedArchive::MountedArchive(const std::vector<const MemberSource*>& sources, const MountTree& tree,
                               const std::vector<std::string>& archivePaths, std::uint64_t uiRestartBudget,
                               MountLog& rLog)
    : m_sources(sources),
      m_rTree(tree),
      m_rLog(rLog),
      m_pStates(new NodeState[tree.size()]),
      m_uiBlocks(blocksOf(sources)),
      m_archiveTime(modificationTimeOf(archivePaths.front())),
      m_uiOwner(getuid()),
      m_uiGroup(getgid()) {
    for (std::size_t archive = 0; archive < sources.size(); ++archive) {
        MemberReaderOptions options;
        options.uiRestartBudget = static_cast<std::size_t>(uiRestartBudget / sources.size());
        options.password = sources[archive]->passwords().password();
        m_readers.emplace_back(new MemberReader(sources[archive]->fileSystem(), archivePaths[archive], options));
    }
}

MemberReader& MountedArchive::readerOf(std::uint32_t node) const {
    return *m_readers[m_rTree.paths().archiveOf(m_rTree.dataMember(node))];
}

void MountedArchive::getAttributes(std::uint32_t node, struct stat& rAttributes) const {
    const MemberId id = m_rTree.dataMember(node);
    const MemberRecord* pMember = id == kNoMember ? nullptr : &m_rTree.record(id);
    std::memset(&rAttributes, 0, sizeof rAttributes);
    rAttributes.st_ino = m_rTree.inodeOf(node) + 1;
    rAttributes.st_mode = m_rTree.mode(node);
    rAttributes.st_nlink = m_rTree.links(node);
    rAttributes.st_uid = m_uiOwner;
    rAttributes.st_gid = m_uiGroup;
    const std::uint64_t uiSize = sizeOf(node, rAttributes.st_mode);
    rAttributes.st_size = static_cast<off_t>(uiSize);
    rAttributes.st_blocks = static_cast<blkcnt_t>((uiSize + kBlockSize - 1) / kBlockSize);
    rAttributes.st_blksize = kPreferredReadSize;
    const bool bOwnTime = pMember && pMember->timeSource != TimeSource::None;
    rAttributes.st_mtime = rAttributes.st_atime = rAttributes.st_ctime =
        bOwnTime ? pMember->modificationTime : m_archiveTime;
    if (pMember && pMember->bHasDetails) addDetails(m_rTree.details(id), rAttributes);
}

// What the Unix and NTFS fields add: the time's nanoseconds, a device's numbers, and (asked for) the owner.
void MountedArchive::addDetails(const MemberDetails& details, struct stat& rAttributes) const {
    rAttributes.st_mtim.tv_nsec = rAttributes.st_atim.tv_nsec = rAttributes.st_ctim.tv_nsec = details.uiNanoseconds;
    if (details.bHasDevice && (S_ISBLK(rAttributes.st_mode) || S_ISCHR(rAttributes.st_mode)))
        rAttributes.st_rdev = makedev(details.uiDeviceMajor, details.uiDeviceMinor);
    if (details.bHasOwner && m_rTree.settings().bStoredOwners) {
        rAttributes.st_uid = details.uiUserId;
        rAttributes.st_gid = details.uiGroupId;
    }
}

// A file's size; a symbolic link's, the length of its target; nothing for the rest.
std::uint64_t MountedArchive::sizeOf(std::uint32_t node, mode_t mode) const {
    const MemberId id = m_rTree.dataMember(node);
    if (id == kNoMember || !(S_ISREG(mode) || S_ISLNK(mode))) return 0;
    if (S_ISLNK(mode)) {
        const std::string known = m_rTree.linkTarget(node);
        if (!known.empty()) return known.size();
        if (m_rTree.record(id).bHasDetails) {
            const std::string stored = m_rTree.details(id).linkTarget;
            if (!stored.empty()) return stored.size();
        }
    }
    return m_rTree.record(id).uiSize;
}

void MountedArchive::getFileSystemStatistics(struct statvfs& rStatistics) const {
    std::memset(&rStatistics, 0, sizeof rStatistics);
    rStatistics.f_bsize = kBlockSize;
    rStatistics.f_frsize = kBlockSize;
    rStatistics.f_blocks = static_cast<fsblkcnt_t>(m_uiBlocks);
    rStatistics.f_files = static_cast<fsfilcnt_t>(m_rTree.shownCount());
    rStatistics.f_namemax = NAME_MAX;
    rStatistics.f_flag = ST_RDONLY;
}

int MountedArchive::open(std::uint32_t node, int flags, ArchiveMember& rMember) {
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_TRUNC | O_APPEND)) != 0) return -EROFS;
    const mode_t mode = m_rTree.mode(node);
    if (S_ISDIR(mode)) return -EISDIR;
    if (!S_ISREG(mode)) return -EINVAL;  // links are followed by the kernel, and special files are its business
    return openData(node, rMember);
}

// The node's member copied out of the index for the reads that follow, once the reader finds it readable.
int MountedArchive::openData(std::uint32_t node, ArchiveMember& rMember) {
    const MemberId id = m_rTree.dataMember(node);
    const std::size_t archive = m_rTree.paths().archiveOf(id);
    rMember = m_rTree.paths().facts(archive).index().member(id - m_rTree.paths().base(archive));
    // What is known before the data: its method and encryption, and whether readers would read it differently.
    const ReadStatus readable = m_readers[archive]->check(rMember);
    if (readable != ReadStatus::Ok)
        return refuse(node, readable, m_sources[archive]->describe(ReadResult{readable}, rMember.id) + "; refused");
    return 0;
}

std::int64_t MountedArchive::read(std::uint32_t node, const ArchiveMember& member, char* pBuffer, std::size_t size,
                                  std::uint64_t offset) {
    ReadStatus status = ReadStatus::Ok;
    const std::int64_t count = readerOf(node).read(member, pBuffer, size, offset, &status);
    if (count > 0 && member.uiMethod == 0 && offset + static_cast<std::uint64_t>(count) == member.uiSize)
        status = checkStored(node, member);
    if (status != ReadStatus::Ok)
        return refuse(node, status, std::string("read failed: ") + describeReadStatus(status));
    m_uiReads.fetch_add(1, std::memory_order_relaxed);
    m_uiServed.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
    return count;
}

// Whether the stored member's bytes are good, once a read has reached its end: the reader knows when reads
// went through it from the start in sequence; otherwise it is read whole once more here.
ReadStatus MountedArchive::checkStored(std::uint32_t node, const ArchiveMember& member) {
    NodeState& rState = m_pStates[node];
    const int known = rState.iStoredCheck.load();
    if (known >= 0) return ReadStatus(known);
    ReadStatus verdict = ReadStatus::Ok;
    if (!readerOf(node).hasVerdict(member, &verdict)) verdict = readWholeStored(node, member);
    rState.iStoredCheck.store(static_cast<std::int8_t>(verdict));
    return verdict;
}

ReadStatus MountedArchive::readWholeStored(std::uint32_t node, const ArchiveMember& member) {
    std::vector<char> piece(static_cast<std::size_t>(std::min<std::uint64_t>(member.uiSize, kCheckPiece)));
    std::uint32_t crc = 0;
    for (std::uint64_t offset = 0; offset < member.uiSize;) {
        ReadStatus status = ReadStatus::Ok;
        const std::int64_t count = readerOf(node).read(member, piece.data(), piece.size(), offset, &status);
        if (count <= 0) return count < 0 ? status : ReadStatus::SizeMismatch;
        crc = crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(piece.data()),
                              static_cast<std::uint64_t>(count));
        offset += static_cast<std::uint64_t>(count);
    }
    return crc == member.uiCrc32 ? ReadStatus::Ok : ReadStatus::CrcMismatch;
}

int MountedArchive::readLink(std::uint32_t node, std::string& rTarget) {
    const MemberId id = m_rTree.dataMember(node);
    if (!S_ISLNK(m_rTree.mode(node))) return -EINVAL;
    rTarget = m_rTree.linkTarget(node);
    if (rTarget.empty() && m_rTree.record(id).bHasDetails) rTarget = m_rTree.details(id).linkTarget;
    if (!rTarget.empty()) return 0;
    if (m_rTree.record(id).uiSize > kLinkTargetLimit)
        return refuse(node, ReadStatus::SizeMismatch,
                      "link target longer than " + std::to_string(kLinkTargetLimit) + " bytes");
    ArchiveMember member;
    const int refused = openData(node, member);
    if (refused != 0) return refused;
    rTarget.assign(static_cast<std::size_t>(member.uiSize), '\0');
    ReadStatus status = ReadStatus::Ok;
    if (member.uiSize > 0 && readerOf(node).read(member, &rTarget[0], rTarget.size(), 0, &status) < 0)
        return refuse(node, status, std::string("read failed: ") + describeReadStatus(status));
    if (rTarget.empty() || rTarget.find('\0') != std::string::npos)
        return refuse(node, ReadStatus::CorruptData, "the link target is empty or holds a NUL byte");
    return 0;
}

// The errno value for `status`, with one line in the log for the member the first time.
int MountedArchive::refuse(std::uint32_t node, ReadStatus status, const std::string& what) {
    if (!m_pStates[node].bReported.exchange(true))
        m_rLog.write("'" + displayName(m_rTree.paths().text(m_rTree.member(node))) + "': " + what);
    return -errnoFor(status);
}

std::string MountedArchive::summary() const {
    MemberReaderStatistics statistics;
    for (const std::unique_ptr<MemberReader>& pReader : m_readers) {
        const MemberReaderStatistics one = pReader->statistics();
        statistics.uiInflatedBytes += one.uiInflatedBytes;
        statistics.uiRestartPoints += one.uiRestartPoints;
        statistics.uiRestartBytes += one.uiRestartBytes;
    }
    return std::to_string(m_uiReads.load()) + " reads, " + std::to_string(m_uiServed.load()) + " bytes served, " +
           std::to_string(statistics.uiInflatedBytes) + " inflated, " + std::to_string(statistics.uiRestartPoints) +
           " restart points (" + std::to_string(statistics.uiRestartBytes) + " bytes)";
}

}  // namespace Tool
}  // namespace Tamsor
