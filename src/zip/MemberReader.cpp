// The member reader: per-member knowledge (local records, encryption, verdict, restart points) and the two ways
// of reading, in place for unencrypted stored members and through decoding runs for every other.

#include "tamsor/MemberReader.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <tuple>

#include "DecodeCursor.h"
#include "IdleCursors.h"
#include "LocalRecords.h"
#include "RestartPoints.h"
#include "ZipRecords.h"
#include "ciphers/MemberEncryption.h"
#include "decoders/Decoder.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {

namespace {

const std::size_t kMaxIdlePerMember = 4;
const std::uint64_t kMinInterval = 4 << 10;
const int kUnknown = -1;

// What identifies a member's data and what its local records are checked against: two directory entries that
// agree on all of it describe the same bytes, and may share what the reader learnt of them. The AES field
// (version, strength, method) is part of it: it says how the bytes are decrypted and decoded.
typedef std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint16_t, std::uint32_t, std::uint16_t,
                   std::uint64_t, std::string, std::uint32_t>
    MemberKey;

MemberKey keyOf(const ArchiveMember& member) {
    const std::uint32_t aes =
        std::uint32_t(member.uiAesVersion) << 24 ^ std::uint32_t(member.uiAesStrength) << 16 ^ member.uiAesMethod;
    return MemberKey(member.uiLocalHeaderOffset, member.uiCompressedSize, member.uiSize, member.uiMethod,
                     member.uiCrc32, member.uiFlags, member.uiDataLimit, member.name, aes);
}

// Reads of a stored member that went from its start in sequence: how far, and the CRC-32 of those bytes.
struct StoredChain {
    std::uint64_t uiPosition = 0;
    std::uint32_t uiCrc = 0;
    std::uint64_t position() const { return uiPosition; }
};

bool isDataFailure(ReadStatus status) {
    return status == ReadStatus::CorruptData || status == ReadStatus::SizeMismatch ||
           status == ReadStatus::CrcMismatch || status == ReadStatus::AuthenticationFailed;
}

}  // namespace

// What the reader knows of one member. Kept for the members read last (MemberReaderOptions::uiKeptMembers);
// whoever uses one holds a share of it, so that it outlives being dropped by the reader.
struct MemberState {
    explicit MemberState(std::uint64_t serial) : uiSerial(serial) {}
    const std::uint64_t uiSerial;         // names the member in the idle pools: never given twice
    std::atomic<int> iHeader{kUnknown};   // the lasting outcome of the local records' check
    std::uint64_t uiDataOffset = 0;       // where the data starts; set before iHeader is Ok
    MemberEncryption encryption;          // for an encrypted member; set before iHeader is Ok
    std::atomic<int> iVerdict{kUnknown};  // Ok once read whole and found good, or why it was found bad
    RestartTable points;
};

class MemberReader::Impl {
  public:
    Impl(std::shared_ptr<const ArchiveFile> pFile, const MemberReaderOptions& options)
        : m_pFile(std::move(pFile)),
          m_strPassword(options.password),
          m_uiInterval(std::max(options.uiRestartInterval, kMinInterval)),
          m_budget(options.uiRestartBudget),
          m_cursors(options.uiIdleCursors, std::min(options.uiIdleCursors, kMaxIdlePerMember)),
          m_chains(options.uiIdleCursors, std::min(options.uiIdleCursors, kMaxIdlePerMember)),
          m_uiKeptMembers(std::max<std::size_t>(options.uiKeptMembers, 2)) {}

    ReadStatus read(const ArchiveMember& member, void* pBuffer, std::size_t length, std::uint64_t offset,
                    std::int64_t& rCount);
    ReadStatus check(const ArchiveMember& member);
    MemberReaderStatistics statistics() const;
    bool hasVerdict(const ArchiveMember& member, ReadStatus* pVerdict);

  private:
    ReadStatus admission(const ArchiveMember& member) const;
    std::shared_ptr<MemberState> stateOf(const ArchiveMember& member);
    ReadStatus checkLocalRecords(const ArchiveMember& member, MemberState& rState);
    ReadStatus readStored(const ArchiveMember& member, MemberState& rState, unsigned char* pBuffer, std::size_t length,
                          std::uint64_t offset);
    ReadStatus readDecoded(const ArchiveMember& member, MemberState& rState, unsigned char* pBuffer, std::size_t length,
                           std::uint64_t offset);

    const std::shared_ptr<const ArchiveFile> m_pFile;  // null when the archive could not be opened
    const std::string m_strPassword;
    const std::uint64_t m_uiInterval;
    RestartBudget m_budget;
    IdleCursors<DecodeCursor> m_cursors;
    IdleCursors<StoredChain> m_chains;
    std::atomic<std::uint64_t> m_uiDecoded{0};
    const std::size_t m_uiKeptMembers;
    mutable std::mutex m_mutex;  // guards the next three fields
    // Two generations: a member found in the older moves to the newer; when the newer holds half of what is
    // kept, it becomes the older and the older is dropped. Members read last are kept, with no list to keep.
    std::map<MemberKey, std::shared_ptr<MemberState>> m_members;
    std::map<MemberKey, std::shared_ptr<MemberState>> m_olderMembers;
    std::uint64_t m_uiSerials = 0;
};

ReadStatus MemberReader::Impl::read(const ArchiveMember& member, void* pBuffer, std::size_t length,
                                    std::uint64_t offset, std::int64_t& rCount) {
    rCount = -1;
    ReadStatus status = admission(member);
    if (status != ReadStatus::Ok) return status;
    const std::shared_ptr<MemberState> pState = stateOf(member);
    MemberState& rState = *pState;
    status = checkLocalRecords(member, rState);
    if (status != ReadStatus::Ok) return status;
    rCount = 0;
    // An empty member is read whole by a read at 0, which checks it.
    if (length == 0 || offset > member.uiSize || (offset == member.uiSize && offset > 0)) return status;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>({length, member.uiSize - offset, INT64_MAX}));
    const int verdict = rState.iVerdict.load();
    if (offset + count == member.uiSize && verdict != kUnknown && verdict != int(ReadStatus::Ok))
        status = ReadStatus(verdict);
    else if (member.uiMethod == 0 && !member.isEncrypted())
        status = readStored(member, rState, static_cast<unsigned char*>(pBuffer), count, offset);
    else
        status = readDecoded(member, rState, static_cast<unsigned char*>(pBuffer), count, offset);
    if (isDataFailure(status)) rState.iVerdict.store(int(status));
    rCount = status == ReadStatus::Ok ? static_cast<std::int64_t>(count) : -1;
    return status;
}

ReadStatus MemberReader::Impl::check(const ArchiveMember& member) {
    const ReadStatus status = admission(member);
    return status == ReadStatus::Ok ? checkLocalRecords(member, *stateOf(member)) : status;
}

// readability(), except that an encrypted member goes on to its encryption header when a password was given.
ReadStatus MemberReader::Impl::admission(const ArchiveMember& member) const {
    const ReadStatus status = readability(member);
    return status == ReadStatus::Encrypted && !m_strPassword.empty() ? ReadStatus::Ok : status;
}

std::shared_ptr<MemberState> MemberReader::Impl::stateOf(const ArchiveMember& member) {
    MemberKey key = keyOf(member);
    std::map<MemberKey, std::shared_ptr<MemberState>> dropped;  // freed once the lock is released
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_members.find(key);
    if (found != m_members.end()) return found->second;
    std::shared_ptr<MemberState> pState;
    const auto older = m_olderMembers.find(key);
    if (older != m_olderMembers.end()) {
        pState = std::move(older->second);
        m_olderMembers.erase(older);
    } else {
        pState = std::make_shared<MemberState>(++m_uiSerials);
    }
    if (m_members.size() >= m_uiKeptMembers / 2) {
        dropped.swap(m_olderMembers);
        m_olderMembers.swap(m_members);
    }
    m_members.emplace(std::move(key), pState);
    return pState;
}

// The member's local records against its central directory entry, where its data starts, and for an encrypted
// member the password against its encryption header. Outcomes that reading again cannot change are kept; two
// threads that check at once both read, and agree.
ReadStatus MemberReader::Impl::checkLocalRecords(const ArchiveMember& member, MemberState& rState) {
    const int known = rState.iHeader.load();
    if (known != kUnknown) return ReadStatus(known);
    if (!m_pFile) return ReadStatus::IoError;
    const ArchiveFile& file = *m_pFile;
    std::uint64_t dataOffset = 0;
    ReadStatus status = ZipRecords::checkLocalRecords(
        member, file.size(),
        [&file](std::uint64_t offset, void* pBuffer, std::size_t length) {
            return file.readAt(offset, pBuffer, length);
        },
        dataOffset);
    MemberEncryption encryption;
    if (status == ReadStatus::Ok && member.isEncrypted())
        status = openEncryption(member, file, dataOffset, m_strPassword, encryption);
    if (status == ReadStatus::IoError) return status;
    // The fields are read without a lock once iHeader says Ok: only the first outcome sets them.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rState.iHeader.load() == kUnknown) {
        rState.uiDataOffset = dataOffset;
        rState.encryption = encryption;
        rState.iHeader.store(int(status));
    }
    return ReadStatus(rState.iHeader.load());
}

// In place, straight into the caller's buffer. Reads that go on from offset 0 in sequence carry a CRC-32
// along, checked when they reach the end; once the member was found good, nothing is carried.
ReadStatus MemberReader::Impl::readStored(const ArchiveMember& member, MemberState& rState, unsigned char* pBuffer,
                                          std::size_t length, std::uint64_t offset) {
    std::unique_ptr<StoredChain> pChain;
    if (rState.iVerdict.load() == kUnknown)
        pChain = offset == 0 ? std::unique_ptr<StoredChain>(new StoredChain)
                             : m_chains.take(rState.uiSerial, offset, offset);
    if (!m_pFile->readAt(rState.uiDataOffset + offset, pBuffer, length)) return ReadStatus::IoError;
    if (!pChain) return ReadStatus::Ok;
    pChain->uiCrc = crc32_gzip_refl(pChain->uiCrc, pBuffer, length);
    pChain->uiPosition += length;
    if (pChain->uiPosition < member.uiSize) {
        m_chains.park(rState.uiSerial, std::move(pChain));
        return ReadStatus::Ok;
    }
    if (pChain->uiCrc != member.uiCrc32) return ReadStatus::CrcMismatch;
    rState.iVerdict.store(int(ReadStatus::Ok));
    return ReadStatus::Ok;
}

// From the idle cursor or restart point that stands nearest before `offset` (a cursor when both stand at the
// same place: it has nothing to restore), or from the start.
ReadStatus MemberReader::Impl::readDecoded(const ArchiveMember& member, MemberState& rState, unsigned char* pBuffer,
                                           std::size_t length, std::uint64_t offset) {
    const DecoderKind* pKind = decoderFor(member.compressionMethod());
    if (!pKind) return ReadStatus::UnsupportedMethod;
    const MemberEncryption* pEncryption = member.isEncrypted() ? &rState.encryption : nullptr;
    const std::uint64_t trimmed = pEncryption ? pEncryption->uiHeaderSize + pEncryption->uiTrailerSize : 0;
    if (trimmed > member.uiCompressedSize) return ReadStatus::BadLocalHeader;
    const DecodeSource source{*m_pFile,
                              rState.uiDataOffset + (pEncryption ? pEncryption->uiHeaderSize : 0),
                              member.uiCompressedSize - trimmed,
                              member.uiSize,
                              member.uiCrc32,
                              member.uiFlags,
                              *pKind,
                              pEncryption,
                              m_uiInterval,
                              rState.points,
                              m_budget,
                              m_uiDecoded};
    std::unique_ptr<DecodeCursor> pCursor;
    {
        const std::shared_ptr<RestartPoint> pPoint = rState.points.nearest(offset);
        pCursor = m_cursors.take(rState.uiSerial, pPoint ? pPoint->uiOffset : 0, offset);
        if (!pCursor && pPoint) {
            m_budget.touch(*pPoint);
            pCursor.reset(new DecodeCursor(source, *pPoint));
        }
    }
    if (!pCursor) pCursor.reset(new DecodeCursor(source));
    const ReadStatus status = pCursor->read(source, offset, pBuffer, length);
    if (status == ReadStatus::Ok && pCursor->isAtEnd(source))
        rState.iVerdict.store(int(ReadStatus::Ok));
    else if (status == ReadStatus::Ok)
        m_cursors.park(rState.uiSerial, std::move(pCursor));
    return status;
}

bool MemberReader::Impl::hasVerdict(const ArchiveMember& member, ReadStatus* pVerdict) {
    const MemberKey key = keyOf(member);
    int verdict = kUnknown;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto* pMembers : {&m_members, &m_olderMembers}) {
            const auto found = pMembers->find(key);
            if (found != pMembers->end()) verdict = found->second->iVerdict.load();
        }
    }
    if (verdict != kUnknown && pVerdict) *pVerdict = ReadStatus(verdict);
    return verdict != kUnknown;
}

MemberReaderStatistics MemberReader::Impl::statistics() const {
    MemberReaderStatistics statistics;
    statistics.uiRestartPoints = m_budget.points();
    statistics.uiRestartBytes = m_budget.bytes();
    statistics.uiInflatedBytes = m_uiDecoded.load();
    statistics.uiIdleCursors = m_cursors.size() + m_chains.size();
    std::lock_guard<std::mutex> lock(m_mutex);
    statistics.uiKeptMembers = m_members.size() + m_olderMembers.size();
    return statistics;
}

const char* describeReadStatus(ReadStatus status) {
    switch (status) {
        case ReadStatus::Ok:
            return "no error";
        case ReadStatus::Encrypted:
            return "the member is encrypted and no password was given";
        case ReadStatus::UnsupportedMethod:
            return "the compression method is not supported";
        case ReadStatus::NotAFile:
            return "not a file";
        case ReadStatus::IoError:
            return "the archive could not be read";
        case ReadStatus::BadLocalHeader:
            return "the member's local header is missing or its data does not fit";
        case ReadStatus::CorruptData:
            return "the compressed data is corrupt";
        case ReadStatus::SizeMismatch:
            return "the data does not have the size the central directory gives";
        case ReadStatus::CrcMismatch:
            return "CRC mismatch";
        case ReadStatus::WrongPassword:
            return "wrong password";
        case ReadStatus::UnsupportedEncryption:
            return "its encryption is not supported";
        case ReadStatus::AuthenticationFailed:
            return "its authentication code does not match";
        case ReadStatus::Overlapping:
            return "its data overlaps another member's: a possible zip bomb";
        case ReadStatus::AmbiguousName:
            return "its Unicode Path field names another file";
        case ReadStatus::Zip64Mismatch:
            return "its zip64 field disagrees with its own sizes or offset";
        case ReadStatus::LocalNameMismatch:
            return "its local header names another file";
        case ReadStatus::LocalHeaderMismatch:
            return "its local header disagrees with the central directory";
        case ReadStatus::DescriptorMismatch:
            return "its data descriptor disagrees with the central directory";
        case ReadStatus::UnlistedMember:
            return "a local header that the central directory does not list follows it";
    }
    return "unknown status";
}

// The archive as the file system reads archives (scrambled or not); reads fail with IoError when it cannot be
// opened.
MemberReader::MemberReader(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath,
                           const MemberReaderOptions& options)
    : m_pImpl(new Impl(
          [&] {
              std::string strError;
              return ArchiveFile::openFor(fileSystem, archivePath, strError);
          }(),
          options)) {}

MemberReader::MemberReader(std::shared_ptr<const ArchiveFile> pFile, const MemberReaderOptions& options)
    : m_pImpl(new Impl(std::move(pFile), options)) {}

MemberReader::~MemberReader() = default;

ReadStatus MemberReader::readability(const ArchiveMember& member) {
    // A hard link's content is its linked member's; a FIFO, socket or device has none in the archive: whatever
    // bytes such a member stores are not what the file holds, so none are handed out.
    if (member.bDirectory || (member.kind != MemberKind::File && member.kind != MemberKind::Symlink))
        return ReadStatus::NotAFile;
    switch (member.flaw) {
        case MemberFlaw::None:
            break;
        case MemberFlaw::Overlaps:
            return ReadStatus::Overlapping;
        case MemberFlaw::NameAmbiguous:
            return ReadStatus::AmbiguousName;
        case MemberFlaw::Zip64Disagrees:
            return ReadStatus::Zip64Mismatch;
    }
    // What no password would change comes first.
    if (member.encryption() == EncryptionKind::Unsupported) return ReadStatus::UnsupportedEncryption;
    if (!decoderFor(member.compressionMethod())) return ReadStatus::UnsupportedMethod;
    return member.isEncrypted() ? ReadStatus::Encrypted : ReadStatus::Ok;
}

bool MemberReader::decodesMethod(std::uint16_t uiMethod) {
    return decoderFor(uiMethod) != nullptr;
}

std::int64_t MemberReader::read(const ArchiveMember& member, void* buffer, std::size_t length, std::uint64_t offset,
                                ReadStatus* pStatus) {
    std::int64_t count = -1;
    const ReadStatus status = m_pImpl->read(member, buffer, length, offset, count);
    if (pStatus) *pStatus = status;
    return count;
}

ReadStatus MemberReader::check(const ArchiveMember& member) {
    return m_pImpl->check(member);
}

bool MemberReader::hasVerdict(const ArchiveMember& member, ReadStatus* pVerdict) const {
    return m_pImpl->hasVerdict(member, pVerdict);
}

MemberReaderStatistics MemberReader::statistics() const {
    return m_pImpl->statistics();
}

}  // namespace Tamsor
