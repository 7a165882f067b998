// extract: members written under a directory by the paths the mount shows them under, never outside it, never
// over an existing file unless asked; Unix members keep their permission bits, every member its time. Hard links are
// made to the member they name when it was extracted in the same run (else that member's bytes are written
// in their place); FIFOs are made; sockets are skipped with a note; devices are made only with --specials, as
// root; owners are set only with --same-owner, as root.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
#include "ShownPaths.h"
#include "UnzipHabits.h"
#include "WriteAll.h"

namespace Tamsor {
namespace Tool {

namespace {

struct ExtractTally {
    std::size_t uiFiles = 0;  // hard links included
    std::size_t uiLinks = 0;
    std::size_t uiSpecials = 0;  // FIFOs and devices
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

// Where a member goes under the extraction directory: the path the mount shows it under (ShownPaths), so
// that a name never leads outside and two members of one name both arrive; none when its name has no
// component.
std::vector<std::string> outputPath(const ShownPaths& paths, MemberId id) {
    const std::uint32_t node = paths.nodeOf(id);
    return node == ShownPaths::kNone ? std::vector<std::string>() : paths.path(node);
}

class Extractor {
  public:
    Extractor(const Invocation& invocation, MemberSource& rSource, const ShownPaths& paths, const ExtractTarget& target,
              Progress& rProgress)
        : m_rInvocation(invocation),
          m_rSource(rSource),
          m_rPaths(paths),
          m_rTarget(target),
          m_rProgress(rProgress),
          m_bForce(invocation.args.has("force")),
          m_bSpecials(invocation.args.has("specials")),
          m_bSameOwner(invocation.args.has("same-owner") && ::geteuid() == 0),
          m_made(rSource.facts().storedCount(), false) {}

    void extract(MemberId id, ExtractTally& rTally) {
        const MemberRecord& member = m_rSource.index().record(id);
        const std::string name(m_rSource.facts().name(id));
        std::vector<std::string> components = outputPath(m_rPaths, id);
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
        if (member.kind == MemberKind::Socket) return note(name, "skipped: a socket is not extracted");
        const std::string unmakable = unmakableSpecial(id);
        if (!unmakable.empty()) return failed(name, unmakable, rTally);
        const MemberId data = dataOf(id);
        if (data == kNoMember) {
            return failed(name,
                          "hard link to '" + displayName(m_rSource.index().details(id).linkTarget) +
                              "' skipped: no earlier member holds it",
                          rTally);
        }
        const ReadResult readable = isSpecial(member) ? ReadResult() : m_rSource.check(data);  // before creating
        if (!readable.ok()) return failed(name, m_rSource.describe(readable, data), rTally);
        const std::string fileName = components.back();
        components.pop_back();
        const int directoryFd = m_rTarget.openDirectory(components);
        if (directoryFd < 0) return failed(name, "cannot create its directory: " + errnoText(errno), rTally);
        components.push_back(fileName);
        m_made[id] = extractMember(id, name, directoryFd, components, rTally);
        if (m_made[id]) setOwner(id, name, directoryFd, fileName, rTally);
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
    void note(std::string_view name, const std::string& what) const {
        m_rProgress.interrupt();
        m_rInvocation.fail("'" + displayName(name) + "': " + what);
    }

    // Why a FIFO or device cannot be made here, or "".
    std::string unmakableSpecial(MemberId id) const {
        const MemberRecord& member = m_rSource.index().record(id);
        if (member.kind != MemberKind::BlockDevice && member.kind != MemberKind::CharacterDevice) return "";
        if (!m_bSpecials) return std::string(kindName(member)) + " skipped: devices are made only with --specials";
        if (::geteuid() != 0) return std::string(kindName(member)) + " skipped: only root can make devices";
        if (!m_rSource.index().details(id).bHasDevice) return "skipped: the archive gives no device numbers";
        return "";
    }

    // The member whose bytes make member `id`: its own, or a hard link's linked member's; kNoMember when a hard
    // link's is not in the archive before it.
    MemberId dataOf(MemberId id) const {
        return m_rSource.index().record(id).kind == MemberKind::HardLink ? m_rSource.index().details(id).linkedMember
                                                                         : id;
    }

    // True when the member was made.
    bool extractMember(MemberId id, const std::string& strName, int directoryFd,
                       const std::vector<std::string>& components, ExtractTally& rTally) const {
        const MemberRecord& member = m_rSource.index().record(id);
        if (isSymlink(member)) return extractLink(id, strName, directoryFd, components, rTally);
        if (isSpecial(member)) return extractSpecial(id, strName, directoryFd, components.back(), rTally);
        const MemberId linked = dataOf(id);
        if (linked != id && m_made[linked] && linkTo(linked, strName, directoryFd, components.back(), rTally))
            return true;
        return extractFile(id, strName, directoryFd, components.back(), rTally);
    }

    // A hard link to the file extracted for member `linked` (true), or false, with a message when the link failed
    // for another reason than a name already taken without --force.
    bool linkTo(MemberId linked, const std::string& strName, int directoryFd, const std::string& strFileName,
                ExtractTally& rTally) const {
        std::vector<std::string> components = outputPath(m_rPaths, linked);
        if (components.empty()) return false;
        const std::string target = components.back();
        components.pop_back();
        const int targetFd = m_rTarget.openDirectory(components);
        if (targetFd < 0) return false;
        int made = ::linkat(targetFd, target.c_str(), directoryFd, strFileName.c_str(), 0);
        if (made != 0 && errno == EEXIST && m_bForce && ::unlinkat(directoryFd, strFileName.c_str(), 0) == 0)
            made = ::linkat(targetFd, target.c_str(), directoryFd, strFileName.c_str(), 0);
        const int linkErrno = errno;
        ::close(targetFd);
        if (made == 0) ++rTally.uiFiles;
        if (made != 0 && linkErrno == EEXIST) failed(strName, "exists, not overwritten (use --force)", rTally);
        return made == 0 || linkErrno == EEXIST;
    }

    // A FIFO, or a device (as root, with --specials), with its permission bits and time.
    bool extractSpecial(MemberId id, const std::string& strName, int directoryFd, const std::string& strFileName,
                        ExtractTally& rTally) const {
        const MemberRecord& member = m_rSource.index().record(id);
        const MemberDetails details = m_rSource.index().details(id);
        mode_t mode = 0666;
        restoredPermissions(member, mode);
        const dev_t device = makedev(details.uiDeviceMajor, details.uiDeviceMinor);
        const mode_t type = memberMode(member) & S_IFMT;
        const char* pName = strFileName.c_str();
        int made = ::mknodat(directoryFd, pName, type | mode, device);
        if (made != 0 && errno == EEXIST && m_bForce && ::unlinkat(directoryFd, pName, 0) == 0)
            made = ::mknodat(directoryFd, pName, type | mode, device);
        if (made != 0 && errno == EEXIST)
            return failed(strName, "exists, not overwritten (use --force)", rTally), false;
        if (made != 0) return failed(strName, "cannot create: " + errnoText(errno), rTally), false;
        ::fchmodat(directoryFd, pName, mode, 0);  // past the umask, as files get theirs
        const struct timespec times[2] = {memberTime(member), memberTime(member)};
        ::utimensat(directoryFd, pName, times, AT_SYMLINK_NOFOLLOW);
        ++rTally.uiSpecials;
        return true;
    }

    // The archive's owner, with --same-owner as root.
    void setOwner(MemberId id, const std::string& strName, int directoryFd, const std::string& strFileName,
                  ExtractTally& rTally) const {
        const MemberDetails details = m_rSource.index().details(id);
        if (!m_bSameOwner || !details.bHasOwner) return;
        if (dataOf(id) != id && m_made[dataOf(id)]) return;  // a hard link: the file's owner is its first name's
        if (::fchownat(directoryFd, strFileName.c_str(), details.uiUserId, details.uiGroupId, AT_SYMLINK_NOFOLLOW) != 0)
            failed(strName, "cannot set its owner: " + errnoText(errno), rTally);
    }

    // A hard link's file holds its linked member's bytes, with its own mode and time.
    bool extractFile(MemberId id, const std::string& strName, int directoryFd, const std::string& strFileName,
                     ExtractTally& rTally) const {
        const MemberRecord& member = m_rSource.index().record(id);
        const int fd = ExtractTarget::createFile(directoryFd, strFileName, m_bForce);
        if (fd < 0 && errno == EEXIST) return failed(strName, "exists, not overwritten (use --force)", rTally), false;
        if (fd < 0) return failed(strName, "cannot create: " + errnoText(errno), rTally), false;
        int writeErrno = 0;
        const ReadResult result = m_rSource.readWhole(dataOf(id), [&](const char* data, std::size_t n) {
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
            return true;
        }
        ::unlinkat(directoryFd, strFileName.c_str(), 0);
        const std::string why = result.bWriteFailed ? "write error: " + errnoText(writeErrno)
                                : result.ok()       ? std::string("write error on close")
                                                    : m_rSource.describe(result, dataOf(id));
        failed(strName, why + "; the partial file was removed", rTally);
        return false;
    }

    // A link is made only when its target stays inside the extraction directory (see SafeName.h). Its target is
    // the Unix field's when it gives one, else the member's data.
    bool extractLink(MemberId id, const std::string& strName, int directoryFd,
                     const std::vector<std::string>& components, ExtractTally& rTally) const {
        std::string target = m_rSource.index().details(id).linkTarget;
        const ReadResult result = target.empty() ? m_rSource.readSmall(id, kLinkTargetLimit, target) : ReadResult();
        if (!result.ok()) return failed(strName, m_rSource.describe(result, id), rTally), false;
        const std::string unsafe = unsafeLinkTargetReason(components, target);
        if (!unsafe.empty())
            return failed(strName, "symbolic link to '" + displayName(target) + "' skipped: " + unsafe, rTally), false;
        const char* pLinkName = components.back().c_str();
        int made = ::symlinkat(target.c_str(), directoryFd, pLinkName);
        if (made != 0 && errno == EEXIST && m_bForce && ::unlinkat(directoryFd, pLinkName, 0) == 0)
            made = ::symlinkat(target.c_str(), directoryFd, pLinkName);
        if (made != 0 && errno == EEXIST)
            return failed(strName, "exists, not overwritten (use --force)", rTally), false;
        if (made != 0) return failed(strName, "cannot create symbolic link: " + errnoText(errno), rTally), false;
        const MemberRecord& member = m_rSource.index().record(id);
        const struct timespec times[2] = {memberTime(member), memberTime(member)};
        ::utimensat(directoryFd, pLinkName, times, AT_SYMLINK_NOFOLLOW);
        ++rTally.uiLinks;
        return true;
    }

    const Invocation& m_rInvocation;
    MemberSource& m_rSource;
    const ShownPaths& m_rPaths;
    const ExtractTarget& m_rTarget;
    Progress& m_rProgress;
    const bool m_bForce;
    const bool m_bSpecials;
    const bool m_bSameOwner;
    std::vector<bool> m_made;  // by id: extracted in this run (a hard link to it can be made)
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
    source.widenForLinks();
    if (invocation.args.has("same-owner") && ::geteuid() != 0)
        invocation.fail("--same-owner: only root can set owners; the extracted files are the caller's");
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
    std::vector<std::string> renamed;
    const ShownPaths paths(source.facts(), renamed);
    for (const std::string& note : renamed) invocation.fail(note);  // told, though not a failure
    const bool bQuiet = invocation.args.has("quiet");
    Progress progress("extracting", bQuiet ? 0 : bytesToRead(source.facts(), selected));
    Extractor extractor(invocation, source, paths, target, progress);
    for (MemberId id = 0; id < storedCount; ++id)
        if (selected[id]) extractor.extract(id, tally);
    extractor.finish(tally);
    progress.interrupt();
    if (bQuiet) return tally.status;
    const std::string specials =
        tally.uiSpecials ? ", " + counted(tally.uiSpecials, "special file", "special files") : std::string();
    std::printf("Extracted %s, %s%s and %s into %s\n", counted(tally.uiFiles, "file", "files").c_str(),
                counted(tally.uiLinks, "symbolic link", "symbolic links").c_str(), specials.c_str(),
                counted(tally.uiDirectories, "directory", "directories").c_str(), displayName(directory).c_str());
    return tally.status;
}

}  // namespace Tool
}  // namespace Tamsor
