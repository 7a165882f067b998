#include "MemberSource.h"

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "Diagnostics.h"
#include "ExitStatus.h"
#include "Format.h"
#include "ReadAheadFile.h"
#include "tamsor/ArchiveFile.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Tool {

namespace {

// Why a forced kind may have failed, when detection says otherwise.
std::string hintFor(KindChoice choice, ArchiveKind detected) {
    if (choice == KindChoice::Plain && detected == ArchiveKind::Scrambled) return " (it looks scrambled: drop --plain)";
    if (choice == KindChoice::Scrambled && detected == ArchiveKind::Plain) return " (it looks plain: drop --scrambled)";
    return "";
}

// An operand or a stored name as the scope compares them: less leading "/" and "./", and a trailing "/".
// Looser than the lookups that follow, so that the part holds whatever they would find.
std::string_view scopeKeyOf(std::string_view name) {
    for (;;) {
        if (name.substr(0, 1) == "/")
            name.remove_prefix(1);
        else if (name.substr(0, 2) == "./")
            name.remove_prefix(2);
        else
            break;
    }
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    return name;
}

bool inScope(std::string_view stored, const std::vector<std::string>& keys, bool bSubtrees) {
    const std::string_view key = scopeKeyOf(stored);
    for (const std::string& wanted : keys) {
        if (key == wanted) return true;
        if (bSubtrees && (wanted.empty() || (key.size() > wanted.size() && key[wanted.size()] == '/' &&
                                             key.compare(0, wanted.size(), wanted) == 0)))
            return true;
    }
    return false;
}

}  // namespace

std::string lookupPath(std::string_view storedName) {
    return "/" + std::string(storedName);
}

int resolveArchiveKind(const std::string& path, KindChoice choice, const char* commandName, bool& rbScrambled) {
    ArchiveKind detected = ArchiveKind::Unknown;
    if (!detectArchiveKind(path, detected)) {
        reportError(std::string(commandName) + ": cannot open '" + path + "': " + errnoText(errno));
        return kExitArchive;
    }
    rbScrambled = choice == KindChoice::Detect ? detected == ArchiveKind::Scrambled : choice == KindChoice::Scrambled;
    return kExitOk;
}

MemberSource::MemberSource() {}

// The reader, the facts and the index go before the file system; every handle on it is gone by now.
MemberSource::~MemberSource() {
    m_pReader.reset();
    m_pFacts.reset();
    m_pIndex.reset();
    m_pFileSystem.reset();
}

int MemberSource::open(const std::string& path, KindChoice choice, const char* commandName, const NameDecoder* pDecoder,
                       const ArchiveScope& scope) {
    m_strPath = path;
    m_pDecoder = pDecoder;
    m_strCommand = commandName;
    m_choice = choice;
    const int status = resolveArchiveKind(path, choice, commandName, m_bScrambled);
    if (status != kExitOk) return status;
    m_pFileSystem.reset(m_bScrambled ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
    return readIndex(scope) ? kExitOk : kExitArchive;
}

bool MemberSource::readIndex(const ArchiveScope& scope) {
    IndexOptions options;
    NameSample sample;  // of every name, kept or not: a part of the archive reads its names as the whole does
    m_bPartial = !scope.paths.empty();
    if (m_bPartial) {
        std::vector<std::string> keys;
        for (const std::string& path : scope.paths) keys.push_back(std::string(scopeKeyOf(path)));
        options.keep = [keys, bSubtrees = scope.bSubtrees, &sample](std::string_view stored) {
            sample.add(stored);
            return inScope(stored, keys, bSubtrees);
        };
    }
    m_pFacts.reset();
    m_pIndex.reset(new ArchiveIndex(*m_pFileSystem, m_strPath, options));  // refuses what is not a regular file
    if (!m_pIndex->isValid()) {
        ArchiveKind detected = ArchiveKind::Unknown;
        detectArchiveKind(m_strPath, detected);
        reportError(m_strCommand + ": cannot open '" + m_strPath + "' as a " + (m_bScrambled ? "scrambled" : "plain") +
                    " ZIP archive: it " + m_pIndex->error() + hintFor(m_choice, detected));
        return false;
    }
    m_pFacts.reset(new ArchiveFacts(*m_pIndex, m_pDecoder, m_bPartial ? &sample : nullptr));
    return true;
}

MemberId MemberSource::find(const std::string& path) {
    const MemberId id = m_pFacts->find(path);
    if (id != kNoMember || !m_bPartial) return id;
    if (!readIndex(ArchiveScope())) return kNoMember;  // the archive read a moment ago: it reads again
    return m_pFacts->find(path);
}

void MemberSource::widenForLinks() {
    if (!m_bPartial) return;
    for (MemberId id = 0; id < m_pFacts->storedCount(); ++id) {
        if (m_pIndex->record(id).kind != MemberKind::HardLink) continue;
        const MemberDetails details = m_pIndex->details(id);
        if (details.linkedMember == kNoMember && m_pIndex->find(details.linkTarget) == kNoMember) {
            readIndex(ArchiveScope());  // the archive read a moment ago: it reads again
            return;
        }
    }
}

MemberReader& MemberSource::reader() {
    if (!m_pReader) {
        MemberReaderOptions options;
        options.password = m_passwords.password();
        // Members are read mostly in archive order, many of them small: read ahead (a file that cannot be
        // opened gives a reader whose reads fail, as the index has said why already).
        std::string strError;
        std::shared_ptr<const ArchiveFile> pFile = ArchiveFile::openFor(*m_pFileSystem, m_strPath, strError);
        if (pFile) pFile = std::make_shared<ReadAheadFile>(std::move(pFile));
        m_pReader.reset(new MemberReader(std::move(pFile), options));
    }
    return *m_pReader;
}

ReadResult MemberSource::check(const ArchiveMember& member) {
    ReadStatus status = reader().check(member);
    if (status == ReadStatus::Encrypted && m_passwords.prompt(m_strPath)) {
        m_pReader.reset();
        status = reader().check(member);
    }
    return ReadResult{status};
}

ReadResult MemberSource::check(MemberId id) {
    return check(m_pIndex->member(id));
}

// One copy of the member for the check and every piece.
ReadResult MemberSource::readWhole(MemberId id, const PieceSink& sink) {
    const ArchiveMember member = m_pIndex->member(id);
    const ReadResult checked = check(member);
    if (!checked.ok()) return checked;
    std::vector<char>& buffer = m_buffer;  // one for every read: making 1 MiB anew per member costs more than
                                           // reading thousands of small members
    buffer.resize(kPieceSize);
    std::uint64_t uiOffset = 0;
    for (;;) {
        ReadStatus status = ReadStatus::Ok;
        const std::int64_t n = reader().read(member, buffer.data(), buffer.size(), uiOffset, &status);
        if (n < 0) return ReadResult{status};
        if (n == 0) break;
        if (sink && !sink(buffer.data(), static_cast<std::size_t>(n))) return ReadResult{ReadStatus::Ok, true};
        uiOffset += static_cast<std::uint64_t>(n);
    }
    // The reader has checked the length and CRC-32 on the way (an empty member's too); the count is checked
    // here once more because nothing else stands between the tool and bytes that are not the member's.
    return ReadResult{uiOffset == member.uiSize ? ReadStatus::Ok : ReadStatus::SizeMismatch};
}

ReadResult MemberSource::readSmall(MemberId id, std::size_t limit, std::string& rText) {
    rText.clear();
    if (m_pIndex->record(id).uiSize > limit) return ReadResult{ReadStatus::SizeMismatch};
    return readWhole(id, [&rText](const char* data, std::size_t length) {
        rText.append(data, length);
        return true;
    });
}

std::string MemberSource::describe(ReadResult result, MemberId id) const {
    const MemberRecord& member = m_pIndex->record(id);
    if (result.bWriteFailed) return "write error";
    switch (result.status) {
        case ReadStatus::Ok:
            return "OK";
        case ReadStatus::UnsupportedMethod:
            return "compression method " + methodName(member.compressionMethod()) + " is not supported";
        case ReadStatus::Encrypted:
            return "it is encrypted and no password was given: see --password-file";
        case ReadStatus::NotAFile:
            return std::string("is a ") + (member.bDirectory ? "directory" : kindName(member));
        case ReadStatus::SizeMismatch:
            return "wrong length";
        case ReadStatus::Overlapping:
            return overlapText(member);
        default:
            return describeReadStatus(result.status);
    }
}

// The member that a flawed member overlaps is named: the index knows it.
std::string MemberSource::overlapText(const MemberRecord& member) const {
    if (member.flaw != MemberFlaw::Overlaps || member.overlapped >= m_pIndex->size())
        return describeReadStatus(ReadStatus::Overlapping);
    return "its data overlaps that of member '" + displayName(m_pFacts->name(member.overlapped)) +
           "': a possible zip bomb";
}

VirtualFileSystem* MemberSource::boundFileSystem(std::string& rReason) {
    if (m_bindState == 0) {
        m_bindState = m_pFileSystem->setZIPArchive(m_strPath.c_str()) ? 1 : -1;
        if (m_bindState < 0) {
            m_strBindRefusal = m_pFileSystem->getBindingRefusal();
            if (m_strBindRefusal.empty()) m_strBindRefusal = "is not a ZIP archive the library reads";
        }
    }
    rReason = m_strBindRefusal;
    return m_bindState > 0 ? m_pFileSystem.get() : nullptr;
}

}  // namespace Tool
}  // namespace Tamsor
