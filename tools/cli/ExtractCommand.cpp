// extract: members written under a directory by their decoded names, never outside it, never over an
// existing file unless asked; Unix members keep their permission bits, every member its time.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "ExtractTarget.h"
#include "Format.h"
#include "MemberSource.h"
#include "Progress.h"
#include "SafeName.h"
#include "UnzipHabits.h"
#include "WriteAll.h"

namespace Tamsor {
namespace Tool {

namespace {

struct ExtractTally {
    std::size_t uiFiles = 0;
    std::size_t uiLinks = 0;
    std::size_t uiDirectories = 0;
    int status = kExitOk;
};

// A directory's mode and time, set once everything inside it is written (a read-only directory could not
// take its files, and every file written would move its time).
struct PendingDirectory {
    std::vector<std::string> components;
    MemberId id;
};

// The permission bits to restore: a Unix member's own, less setuid, setgid and sticky; none for others,
// which keep what a new file gets (0666 or 0777 less the umask).
bool restoredPermissions(const MemberRecord& member, mode_t& rMode) {
    rMode = memberMode(member) & 0777;
    return member.hasUnixMode() && (member.uiExternalAttributes >> 16) != 0;
}

struct timespec memberTime(const MemberRecord& member) {
    return {member.modificationTime, 0};
}

// Marks the stored members that `strPath` names: one file, or a directory and everything under it.
bool selectPath(const ArchiveFacts& facts, const std::string& strPath, std::vector<bool>& rSelected) {
    const MemberId named = facts.find(strPath);
    if (named == kNoMember) return false;
    if (!facts.record(named).bDirectory) {
        rSelected[named] = true;
        return true;
    }
    const std::string_view prefix = facts.index().name(named);
    for (MemberId id = 0; id < rSelected.size(); ++id)
        if (facts.index().name(id).compare(0, prefix.size(), prefix) == 0) rSelected[id] = true;
    return true;
}

class Extractor {
  public:
    Extractor(const Invocation& invocation, MemberSource& rSource, const ExtractTarget& target, Progress& rProgress)
        : m_rInvocation(invocation),
          m_rSource(rSource),
          m_rTarget(target),
          m_rProgress(rProgress),
          m_bForce(invocation.args.has("force")) {}

    void extract(MemberId id, ExtractTally& rTally) {
        const MemberRecord& member = m_rSource.index().record(id);
        const std::string name(m_rSource.facts().name(id));
        std::vector<std::string> components;
        const std::string unsafe = safeRelativePath(name, components);
        if (!unsafe.empty()) return failed(name, "refused: " + unsafe, rTally);
        if (components.empty() && !member.bDirectory) return failed(name, "refused: names no file", rTally);
        if (components.empty()) return;  // "./" and the like: the directory itself
        if (member.bDirectory) {
            const int fd = m_rTarget.openDirectory(components);
            if (fd < 0) return failed(name, "cannot create directory: " + errnoText(errno), rTally);
            ::close(fd);
            m_pending.push_back({components, id});
            ++rTally.uiDirectories;
            return;
        }
        const ReadResult readable = m_rSource.check(id);  // before anything is created
        if (!readable.ok()) return failed(name, m_rSource.describe(readable, id), rTally);
        const std::string fileName = components.back();
        components.pop_back();
        const int directoryFd = m_rTarget.openDirectory(components);
        if (directoryFd < 0) return failed(name, "cannot create its directory: " + errnoText(errno), rTally);
        components.push_back(fileName);
        if (isSymlink(member))
            extractLink(id, name, directoryFd, components, rTally);
        else
            extractFile(id, name, directoryFd, fileName, rTally);
        ::close(directoryFd);
    }

    // Directory modes and times, innermost first.
    void finish(ExtractTally& rTally) {
        for (auto pending = m_pending.rbegin(); pending != m_pending.rend(); ++pending) {
            const int fd = m_rTarget.openDirectory(pending->components);
            if (fd < 0) continue;
            const MemberRecord& member = m_rSource.index().record(pending->id);
            mode_t mode;
            if (restoredPermissions(member, mode) && ::fchmod(fd, mode) != 0)
                failed(m_rSource.facts().name(pending->id), "cannot set its mode: " + errnoText(errno), rTally);
            const struct timespec times[2] = {memberTime(member), memberTime(member)};
            ::futimens(fd, times);  // a directory without its time is still the right directory
            ::close(fd);
        }
    }

  private:
    void failed(std::string_view name, const std::string& why, ExtractTally& rTally) const {
        m_rProgress.interrupt();
        m_rInvocation.fail("'" + displayName(name) + "': " + why);
        rTally.status = worstOf(rTally.status, kExitDataError);
    }

    void extractFile(MemberId id, const std::string& strName, int directoryFd, const std::string& strFileName,
                     ExtractTally& rTally) const {
        const MemberRecord& member = m_rSource.index().record(id);
        const int fd = ExtractTarget::createFile(directoryFd, strFileName, m_bForce);
        if (fd < 0 && errno == EEXIST) return failed(strName, "exists, not overwritten (use --force)", rTally);
        if (fd < 0) return failed(strName, "cannot create: " + errnoText(errno), rTally);
        int writeErrno = 0;
        const ReadResult result = m_rSource.readWhole(id, [&](const char* data, std::size_t n) {
            m_rProgress.advance(n);
            if (writeAll(fd, data, n)) return true;
            writeErrno = errno;
            return false;
        });
        if (result.ok()) {
            mode_t mode;
            if (restoredPermissions(member, mode)) ::fchmod(fd, mode);
            const struct timespec times[2] = {memberTime(member), memberTime(member)};
            ::futimens(fd, times);  // a file without its time is still the right file
        }
        const bool bClosed = ::close(fd) == 0;
        if (result.ok() && bClosed) {
            ++rTally.uiFiles;
            return;
        }
        ::unlinkat(directoryFd, strFileName.c_str(), 0);
        const std::string why = result.bWriteFailed ? "write error: " + errnoText(writeErrno)
                                : result.ok()       ? std::string("write error on close")
                                                    : m_rSource.describe(result, id);
        failed(strName, why + "; the partial file was removed", rTally);
    }

    // A link is made only when its target stays inside the extraction directory (see SafeName.h).
    void extractLink(MemberId id, const std::string& strName, int directoryFd,
                     const std::vector<std::string>& components, ExtractTally& rTally) const {
        std::string target;
        const ReadResult result = m_rSource.readSmall(id, kLinkTargetLimit, target);
        if (!result.ok()) return failed(strName, m_rSource.describe(result, id), rTally);
        const std::string unsafe = unsafeLinkTargetReason(components, target);
        if (!unsafe.empty())
            return failed(strName, "symbolic link to '" + displayName(target) + "' skipped: " + unsafe, rTally);
        const char* pLinkName = components.back().c_str();
        int made = ::symlinkat(target.c_str(), directoryFd, pLinkName);
        if (made != 0 && errno == EEXIST && m_bForce && ::unlinkat(directoryFd, pLinkName, 0) == 0)
            made = ::symlinkat(target.c_str(), directoryFd, pLinkName);
        if (made != 0 && errno == EEXIST) return failed(strName, "exists, not overwritten (use --force)", rTally);
        if (made != 0) return failed(strName, "cannot create symbolic link: " + errnoText(errno), rTally);
        const MemberRecord& member = m_rSource.index().record(id);
        const struct timespec times[2] = {memberTime(member), memberTime(member)};
        ::utimensat(directoryFd, pLinkName, times, AT_SYMLINK_NOFOLLOW);
        ++rTally.uiLinks;
    }

    const Invocation& m_rInvocation;
    MemberSource& m_rSource;
    const ExtractTarget& m_rTarget;
    Progress& m_rProgress;
    const bool m_bForce;
    std::vector<PendingDirectory> m_pending;
};

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

int extractCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    std::string directory, error;
    if (!extractDirectory(invocation.args, directory, error)) {
        invocation.fail(error);
        return kExitUsage;
    }
    NameDecoder decoder;
    MemberSource source;
    const std::vector<std::string> named(operands.begin() + 1, operands.end());
    const int openStatus = invocation.openArchive(source, decoder, ArchiveScope{named, true});
    if (openStatus != kExitOk) return openStatus;
    for (const std::string& path : named) source.find(path);  // widens to the whole archive first if need be
    const MemberId storedCount = source.facts().storedCount();
    ExtractTally tally;
    std::vector<bool> selected(storedCount, operands.size() == 1);
    for (std::size_t i = 1; i < operands.size(); ++i) {
        if (selectPath(source.facts(), operands[i], selected)) continue;
        invocation.fail("'" + displayName(operands[i]) + "': no such member in " + operands[0]);
        tally.status = worstOf(tally.status, kExitNotFound);
    }

    ExtractTarget target;
    if (!target.open(directory)) {
        invocation.fail("cannot use directory '" + directory + "': " + errnoText(errno));
        return kExitDataError;
    }
    const bool bQuiet = invocation.args.has("quiet");
    Progress progress("extracting", bQuiet ? 0 : bytesToRead(source.facts(), selected));
    Extractor extractor(invocation, source, target, progress);
    for (MemberId id = 0; id < storedCount; ++id) {
        if (!selected[id]) continue;
        if (source.facts().refusal(id) == Refusal::Duplicate) {
            progress.interrupt();
            invocation.fail("skipping '" + displayName(source.facts().name(id)) +
                            "': duplicate name: only the first member of a name is extracted");
            tally.status = worstOf(tally.status, kExitDataError);
            continue;
        }
        extractor.extract(id, tally);
    }
    extractor.finish(tally);
    progress.interrupt();
    if (bQuiet) return tally.status;
    std::printf("Extracted %s, %s and %s into %s\n", counted(tally.uiFiles, "file", "files").c_str(),
                counted(tally.uiLinks, "symbolic link", "symbolic links").c_str(),
                counted(tally.uiDirectories, "directory", "directories").c_str(), displayName(directory).c_str());
    return tally.status;
}

}  // namespace Tool
}  // namespace Tamsor
