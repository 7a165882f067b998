#include "OpenedArchive.h"

#include <cerrno>

#include "BindingRefusal.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Tool {

namespace {

std::string prefixed(const char* commandName, const std::string& message) {
    return std::string(commandName) + ": " + message;
}

// Why a forced kind may have failed, when detection says otherwise.
std::string hintFor(KindChoice choice, ArchiveKind detected) {
    if (choice == KindChoice::Plain && detected == ArchiveKind::Scrambled) return " (it looks scrambled: drop --plain)";
    if (choice == KindChoice::Scrambled && detected == ArchiveKind::Plain) return " (it looks plain: drop --scrambled)";
    return "";
}

}  // namespace

int resolveArchiveKind(const std::string& path, KindChoice choice, const char* commandName, bool& rbScrambled) {
    ArchiveKind detected = ArchiveKind::Unknown;
    if (!detectArchiveKind(path, detected)) {
        reportError(prefixed(commandName, "cannot open '" + path + "': " + errnoText(errno)));
        return kExitArchive;
    }
    if (choice == KindChoice::Detect)
        rbScrambled = detected == ArchiveKind::Scrambled;
    else
        rbScrambled = choice == KindChoice::Scrambled;
    return kExitOk;
}

OpenedArchive::OpenedArchive() {}

// The index goes before the file system; the commands have released their handles by now.
OpenedArchive::~OpenedArchive() {
    m_pIndex.reset();
    m_pFileSystem.reset();
}

int OpenedArchive::open(const std::string& path, KindChoice choice, const char* commandName) {
    m_strPath = path;
    const int status = resolveArchiveKind(path, choice, commandName, m_bScrambled);
    if (status != kExitOk) return status;
    m_pFileSystem.reset(m_bScrambled ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
    const char* kind = m_bScrambled ? "scrambled" : "plain";
    if (!m_pFileSystem->setZIPArchive(path.c_str())) {
        ArchiveKind detected = ArchiveKind::Unknown;
        detectArchiveKind(path, detected);
        const std::string reason = takeBindingRefusal(path);
        reportError(prefixed(commandName, "cannot open '" + path + "' as a " + kind + " ZIP archive" +
                                              (reason.empty() ? "" : ": it " + reason) + hintFor(choice, detected)));
        return kExitArchive;
    }
    m_pIndex.reset(new ArchiveIndex(*m_pFileSystem));
    if (!m_pIndex->isValid()) {
        reportError(prefixed(commandName, "cannot read the member list of '" + path + "'"));
        return kExitArchive;
    }
    return kExitOk;
}

}  // namespace Tool
}  // namespace Tamsor
