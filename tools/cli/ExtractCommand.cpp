// extract: members written under a directory, never outside it, never over an existing file unless asked.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "ExtractTarget.h"
#include "Format.h"
#include "MemberReader.h"
#include "OpenedArchive.h"
#include "SafeName.h"
#include "WriteAll.h"

namespace Tamsor {
namespace Tool {

namespace {

struct ExtractTally {
    std::size_t uiFiles = 0;
    std::size_t uiDirectories = 0;
    int status = kExitOk;
};

// Marks the stored members that `strPath` names: one file, or a directory and everything under it.
bool selectPath(const ArchiveIndex& index, const std::string& strPath, std::vector<bool>& rSelected) {
    const ArchiveMember* pNamed = index.find(strPath);
    if (!pNamed) return false;
    if (!pNamed->bDirectory) {
        rSelected[pNamed->uiIndex] = true;
        return true;
    }
    for (std::size_t i = 0; i < rSelected.size(); ++i)
        if (index.members()[i].name.compare(0, pNamed->name.size(), pNamed->name) == 0) rSelected[i] = true;
    return true;
}

class Extractor {
  public:
    Extractor(const Invocation& invocation, OpenedArchive& rArchive, const ExtractTarget& target)
        : m_rInvocation(invocation), m_rArchive(rArchive), m_rTarget(target), m_bForce(invocation.args.has("force")) {}

    void extract(const ArchiveMember& member, ExtractTally& rTally) const {
        std::vector<std::string> components = pathComponents(member.name);
        if (components.empty()) return;  // "./" and the like: the directory itself
        if (member.bDirectory) {
            const int fd = m_rTarget.openDirectory(components);
            if (fd < 0) return failed(member, "cannot create directory: " + errnoText(errno), rTally);
            ::close(fd);
            ++rTally.uiDirectories;
            return;
        }
        const std::string fileName = components.back();
        components.pop_back();
        const int directoryFd = m_rTarget.openDirectory(components);
        if (directoryFd < 0) return failed(member, "cannot create its directory: " + errnoText(errno), rTally);
        extractFile(member, directoryFd, fileName, rTally);
        ::close(directoryFd);
    }

  private:
    void failed(const ArchiveMember& member, const std::string& why, ExtractTally& rTally) const {
        m_rInvocation.fail("'" + displayName(member.name) + "': " + why);
        rTally.status = worstOf(rTally.status, kExitDataError);
    }

    void extractFile(const ArchiveMember& member, int directoryFd, const std::string& strFileName,
                     ExtractTally& rTally) const {
        const int fd = ExtractTarget::createFile(directoryFd, strFileName, m_bForce);
        if (fd < 0 && errno == EEXIST) return failed(member, "exists, not overwritten (use --force)", rTally);
        if (fd < 0) return failed(member, "cannot create: " + errnoText(errno), rTally);
        int writeErrno = 0;
        const ReadOutcome outcome = readMember(m_rArchive.fileSystem(), member, [&](const char* data, std::size_t n) {
            if (writeAll(fd, data, n)) return true;
            writeErrno = errno;
            return false;
        });
        if (outcome == ReadOutcome::Ok) {
            const struct timespec times[2] = {{member.modificationTime, 0}, {member.modificationTime, 0}};
            ::futimens(fd, times);  // a file without its time is still the right file
        }
        const bool bClosed = ::close(fd) == 0;
        if (outcome == ReadOutcome::Ok && bClosed) {
            ++rTally.uiFiles;
            return;
        }
        ::unlinkat(directoryFd, strFileName.c_str(), 0);
        const std::string why = outcome == ReadOutcome::WriteFailed ? "write error: " + errnoText(writeErrno)
                                : outcome == ReadOutcome::Ok        ? std::string("write error on close")
                                                                    : describeOutcome(outcome, member);
        failed(member, why + "; the partial file was removed", rTally);
    }

    const Invocation& m_rInvocation;
    OpenedArchive& m_rArchive;
    const ExtractTarget& m_rTarget;
    const bool m_bForce;
};

}  // namespace

int extractCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    OpenedArchive archive;
    const int openStatus = archive.open(operands[0], invocation.kind, invocation.commandName);
    if (openStatus != kExitOk) return openStatus;
    const ArchiveIndex& index = archive.index();

    std::size_t storedCount = 0;
    while (storedCount < index.members().size() && !index.members()[storedCount].bImplied) ++storedCount;
    ExtractTally tally;
    std::vector<bool> selected(storedCount, operands.size() == 1);
    for (std::size_t i = 1; i < operands.size(); ++i) {
        if (selectPath(index, operands[i], selected)) continue;
        invocation.fail("'" + displayName(operands[i]) + "': no such member in " + operands[0]);
        tally.status = worstOf(tally.status, kExitNotFound);
    }

    const std::string directory = invocation.args.value("directory", ".");
    ExtractTarget target;
    if (!target.open(directory)) {
        invocation.fail("cannot use directory '" + directory + "': " + errnoText(errno));
        return kExitDataError;
    }
    const Extractor extractor(invocation, archive, target);
    std::set<std::string> seenNames;
    for (std::size_t i = 0; i < storedCount; ++i) {
        const ArchiveMember& member = index.members()[i];
        const std::string unreachable = unreachableReason(member, seenNames);  // every member counts as seen
        if (!selected[i]) continue;
        const std::string unsafe = unsafeNameReason(member.name);
        const std::string& why = unsafe.empty() ? unreachable : unsafe;
        if (!why.empty()) {
            invocation.fail((unsafe.empty() ? "skipping '" : "refusing '") + displayName(member.name) + "': " + why);
            tally.status = worstOf(tally.status, kExitDataError);
            continue;
        }
        extractor.extract(member, tally);
    }
    std::printf("Extracted %zu file%s and %zu director%s into %s\n", tally.uiFiles, tally.uiFiles == 1 ? "" : "s",
                tally.uiDirectories, tally.uiDirectories == 1 ? "y" : "ies", displayName(directory).c_str());
    return tally.status;
}

}  // namespace Tool
}  // namespace Tamsor
