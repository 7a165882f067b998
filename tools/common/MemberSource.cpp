#include "MemberSource.h"

#include <fcntl.h>
#include <zlib.h>

#include <cerrno>
#include <vector>

#include "BindingRefusal.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
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

}  // namespace

std::string lookupPath(const std::string& strStoredName) {
    return "/" + strStoredName;
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

// The facts and the index go before the file system; every handle on it is gone by now.
MemberSource::~MemberSource() {
    m_pFacts.reset();
    m_pIndex.reset();
    m_pFileSystem.reset();
}

int MemberSource::open(const std::string& path, KindChoice choice, const char* commandName,
                       const NameDecoder* pDecoder) {
    m_strPath = path;
    const int status = resolveArchiveKind(path, choice, commandName, m_bScrambled);
    if (status != kExitOk) return status;
    m_pFileSystem.reset(m_bScrambled ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
    m_pIndex.reset(new ArchiveIndex(*m_pFileSystem, path));  // refuses what is not a regular file unopened
    if (!m_pIndex->isValid()) {
        ArchiveKind detected = ArchiveKind::Unknown;
        detectArchiveKind(path, detected);
        reportError(std::string(commandName) + ": cannot open '" + path + "' as a " +
                    (m_bScrambled ? "scrambled" : "plain") + " ZIP archive: it " + m_pIndex->error() +
                    hintFor(choice, detected));
        return kExitArchive;
    }
    m_pFacts.reset(new ArchiveFacts(*m_pIndex, pDecoder));
    return kExitOk;
}

ReadResult MemberSource::readability(const ArchiveMember& member) {
    if (member.bDirectory) return ReadResult::NotAFile;
    if (member.isEncrypted()) return ReadResult::Encrypted;
    if (member.uiMethod != 0 && member.uiMethod != 8) return ReadResult::UnsupportedMethod;
    return ReadResult::Ok;
}

ReadResult MemberSource::readWhole(const ArchiveMember& member, const PieceSink& sink) {
    const ReadResult readable = readability(member);
    if (readable != ReadResult::Ok) return readable;
    // Through the library's File handles, which find members by name: a later member of a name, or one whose
    // name the library cannot take, is out of their reach.
    if (m_pFacts->refusal(member) != Refusal::None) return ReadResult::Unavailable;
    std::string reason;
    VirtualFileSystem* pFileSystem = boundFileSystem(reason);
    if (!pFileSystem) return ReadResult::Unavailable;
    const VirtualFileSystem::FileHandle pFile = pFileSystem->open(lookupPath(member.name).c_str(), O_RDONLY);
    if (pFile.isNull()) return ReadResult::ReadError;
    std::vector<char>& buffer = m_buffer;  // one for every read: making 1 MiB anew per member costs more than
                                           // reading thousands of small members
    buffer.resize(kPieceSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t uiTotal = 0;
    for (;;) {
        const int n = pFile->read(buffer.data(), static_cast<unsigned int>(buffer.size()));
        if (n < 0) return ReadResult::ReadError;
        if (n == 0) break;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
        uiTotal += static_cast<std::uint64_t>(n);
        if (sink && !sink(buffer.data(), static_cast<std::size_t>(n))) return ReadResult::WriteFailed;
    }
    if (uiTotal != member.uiSize) return ReadResult::SizeMismatch;
    if (static_cast<std::uint32_t>(crc) != member.uiCrc32) return ReadResult::CrcMismatch;
    return ReadResult::Ok;
}

ReadResult MemberSource::readSmall(const ArchiveMember& member, std::size_t limit, std::string& rText) {
    rText.clear();
    if (member.uiSize > limit) return ReadResult::SizeMismatch;
    return readWhole(member, [&rText](const char* data, std::size_t length) {
        rText.append(data, length);
        return true;
    });
}

std::string MemberSource::describe(ReadResult result, const ArchiveMember& member) const {
    switch (result) {
        case ReadResult::Ok:
            return "OK";
        case ReadResult::Encrypted:
            return "encrypted members are not supported";
        case ReadResult::UnsupportedMethod:
            return "compression method " + methodName(member.uiMethod) + " is not supported";
        case ReadResult::NotAFile:
            return "is a directory";
        case ReadResult::Unavailable:
            if (m_pFacts->refusal(member) != Refusal::None)
                return "cannot be read by its name (" + refusalText(m_pFacts->refusal(member), member) + ")";
            return "the library cannot open this archive: it " + m_strBindRefusal;
        case ReadResult::ReadError:
            return "read error (damaged data)";
        case ReadResult::SizeMismatch:
            return "wrong length";
        case ReadResult::CrcMismatch:
            return "CRC mismatch";
        case ReadResult::WriteFailed:
            return "write error";
    }
    return "unknown error";
}

VirtualFileSystem* MemberSource::boundFileSystem(std::string& rReason) {
    if (m_bindState == 0) {
        m_bindState = m_pFileSystem->setZIPArchive(m_strPath.c_str()) ? 1 : -1;
        if (m_bindState < 0) {
            m_strBindRefusal = takeBindingRefusal(m_strPath);
            if (m_strBindRefusal.empty()) m_strBindRefusal = "is not a ZIP archive the library reads";
        }
    }
    rReason = m_strBindRefusal;
    return m_bindState > 0 ? m_pFileSystem.get() : nullptr;
}

}  // namespace Tool
}  // namespace Tamsor
