// ls, tree and stat: every member the index knows, in stored order, with what the archive says about it;
// `ls --walk` shows the library's own directory walk instead.

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Commands.h"
#include "ExitStatus.h"
#include "Format.h"
#include "MemberSource.h"

namespace Tamsor {
namespace Tool {

namespace {

// How members are shown: names decoded and escaped, links with their targets (in long listings and trees:
// "name -> target" for a symbolic link, "name link to NAME" for a hard link, as tar shows one), FIFOs, sockets
// and devices marked with their kind in trees, refused members marked with the reason.
class MemberPrinter {
  public:
    explicit MemberPrinter(MemberSource& rSource) : m_rSource(rSource) {}

    std::string shownName(MemberId id, std::string_view name, bool bWithTarget, bool bWithKind = false) const {
        const MemberRecord& member = m_rSource.index().record(id);
        std::string shown = displayName(name);
        if (bWithTarget && isSymlink(member)) shown += " -> " + linkTarget(id);
        if (bWithTarget && member.kind == MemberKind::HardLink)
            shown += " link to " + displayName(m_rSource.index().details(id).linkTarget);
        if (bWithKind && isSpecial(member)) shown += std::string(" [") + kindName(member) + "]";
        const Refusal refusal = m_rSource.facts().refusal(id);
        if (refusal != Refusal::None) shown += "  [refused: " + refusalText(refusal, member) + "]";
        return shown;
    }

    std::string longLine(MemberId id) const {
        const MemberRecord& member = m_rSource.index().record(id);
        const std::string name = shownName(id, m_rSource.facts().name(id), true);
        char line[160];
        if (member.bImplied) {
            std::snprintf(line, sizeof(line), "%s %12s %12s  %-9s  %-19s  ", formatMode(memberMode(member)).c_str(),
                          "-", "-", "-", "-");
        } else {
            std::snprintf(line, sizeof(line), "%s %12s %12llu  %-9s  %-19s  ", formatMode(memberMode(member)).c_str(),
                          sizeColumn(id).c_str(), static_cast<unsigned long long>(member.uiCompressedSize),
                          methodLabel(member).c_str(), formatTime(member.modificationTime).c_str());
        }
        return line + name;
    }

    // A device's numbers as ls shows them ("8, 1"), else the size.
    std::string sizeColumn(MemberId id) const {
        const MemberRecord& member = m_rSource.index().record(id);
        if (member.kind == MemberKind::BlockDevice || member.kind == MemberKind::CharacterDevice) {
            const MemberDetails details = m_rSource.index().details(id);
            if (details.bHasDevice)
                return std::to_string(details.uiDeviceMajor) + ", " + std::to_string(details.uiDeviceMinor);
        }
        return std::to_string(member.uiSize);
    }

    // A symbolic link's target: the Unix field's when it gives one, else the member's data.
    std::string linkTarget(MemberId id) const {
        const MemberDetails details = m_rSource.index().details(id);
        if (!details.linkTarget.empty()) return displayName(details.linkTarget);
        std::string target;
        const ReadResult result = m_rSource.readSmall(id, kLinkTargetLimit, target);
        return result.ok() ? displayName(target) : "? (" + m_rSource.describe(result, id) + ")";
    }

  private:
    MemberSource& m_rSource;
};

struct ListingStyle {
    bool bLong;
    bool bRecursive;
};

void printMember(const MemberPrinter& printer, MemberId id, const MemberSource& source, const ListingStyle& style) {
    const std::string line = style.bLong ? printer.longLine(id) : printer.shownName(id, source.facts().name(id), false);
    std::printf("%s\n", line.c_str());
}

// The stored members below directory `directory` (not the top level), in stored order: those the index holds
// under the first member of its name (every name that starts with its own), gathered from the index's tree, so
// that a look into one directory costs what is in it, not what the archive holds.
std::vector<MemberId> storedMembersUnder(const ArchiveIndex& index, MemberId directory) {
    std::vector<MemberId> found;
    // A later directory of a name holds nothing; a file of that name that comes first holds what is below it.
    const std::string_view name = index.name(directory);
    MemberId first = findStored(index, name);
    if (first == kNoMember) first = findStored(index, name.substr(0, name.size() - 1));
    if (first == kNoMember) return found;
    std::vector<MemberId> pending(1, first);
    while (!pending.empty()) {
        const MemberId parent = pending.back();
        pending.pop_back();
        for (const MemberId child : index.children(parent)) {
            if (!index.record(child).bImplied) found.push_back(child);
            pending.push_back(child);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The listing of one directory, given its stored members in stored order: each implied directory is shown
// just before the first member it holds. Without -R only the members directly inside it (and the directories
// holding deeper ones).
class DirectoryListing {
  public:
    DirectoryListing(MemberSource& rSource, MemberId directory, const ListingStyle& style)
        : m_rSource(rSource), m_printer(rSource), m_prefix(rSource.index().name(directory)), m_style(style) {}

    void show(MemberId id) {
        const ArchiveIndex& index = m_rSource.index();
        const std::string_view name = index.name(id);
        if (name.size() <= m_prefix.size() || name.compare(0, m_prefix.size(), m_prefix) != 0) return;
        bool bDeeper = false;
        for (std::string_view::size_type slash = name.find('/', m_prefix.size());
             slash != std::string_view::npos && slash + 1 < name.size(); slash = name.find('/', slash + 1)) {
            const MemberId ancestor = index.find(lookupPath(name.substr(0, slash + 1)));
            if (ancestor == kNoMember || ancestor == index.topLevel()) continue;  // a leading "/" names the top level
            if (index.record(ancestor).bImplied && m_shownImplied.insert(ancestor).second)
                printMember(m_printer, ancestor, m_rSource, m_style);
            bDeeper = true;
            if (!m_style.bRecursive) break;
        }
        if (m_style.bRecursive || !bDeeper) printMember(m_printer, id, m_rSource, m_style);
    }

  private:
    MemberSource& m_rSource;
    const MemberPrinter m_printer;
    const std::string_view m_prefix;
    const ListingStyle& m_style;
    std::unordered_set<MemberId> m_shownImplied;
};

void listUnder(MemberSource& rSource, MemberId directory, const ListingStyle& style) {
    DirectoryListing listing(rSource, directory, style);
    if (directory != rSource.index().topLevel()) {
        for (const MemberId id : storedMembersUnder(rSource.index(), directory)) listing.show(id);
        return;
    }
    for (MemberId id = 0; id < rSource.facts().storedCount(); ++id) listing.show(id);
}

// The library's walk of directory `strDirectory` (a stored name: "" or ending in "/"), then the directories
// only implied by names, which no walk can give; with -R each directory's listing follows its line.
void listWalk(VirtualFileSystem& rFileSystem, MemberSource& rSource, const std::string& strDirectory,
              const ListingStyle& style) {
    const MemberPrinter printer(rSource);
    const ArchiveIndex& index = rSource.index();
    std::set<std::string> shownDirectories;
    auto show = [&](MemberId id, std::string_view name) {
        const std::string line = style.bLong && id != kNoMember ? printer.longLine(id) : displayName(name);
        std::printf("%s\n", line.c_str());
    };
    {
        const VirtualFileSystem::DirectoryHandle pDirectory = rFileSystem.opendir(lookupPath(strDirectory).c_str());
        if (pDirectory.isNull()) return;
        for (VirtualFileSystem::EntryHandle pEntry = pDirectory->read(); !pEntry.isNull();
             pEntry = pDirectory->read()) {
            const std::string name = pEntry->getPath();
            show(index.find(lookupPath(name)), name);
            if (!pEntry->isDirectory()) continue;
            shownDirectories.insert(name);
            if (style.bRecursive) listWalk(rFileSystem, rSource, name, style);
        }
    }
    const MemberId directory = index.find(lookupPath(strDirectory));
    if (directory == kNoMember || !index.record(directory).bDirectory) return;
    for (const MemberId child : index.children(directory)) {
        const std::string childName(index.name(child));
        if (!index.record(child).bImplied || shownDirectories.count(childName)) continue;
        show(child, childName);
        if (style.bRecursive) listWalk(rFileSystem, rSource, childName, style);
    }
}

int notFound(const Invocation& invocation, const std::string& strPath, const std::string& strArchive) {
    invocation.fail("'" + displayName(strPath) + "': no such member in " + strArchive);
    return kExitNotFound;
}

struct TreeCounts {
    std::size_t uiDirectories = 0;
    std::size_t uiFiles = 0;
};

// The last component of a decoded name, with "/" after a directory.
std::string baseName(std::string_view text, bool bDirectory) {
    std::string name(text);
    if (bDirectory && !name.empty()) name.pop_back();
    const std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    return bDirectory ? name + "/" : name;
}

void printTree(MemberSource& rSource, const MemberPrinter& printer, MemberId directory, const std::string& strIndent,
               TreeCounts& rCounts) {
    const MemberIds children = rSource.facts().children(directory);
    for (std::size_t i = 0; i < children.size(); ++i) {
        const bool bLast = i + 1 == children.size();
        const MemberId child = children[i];
        const bool bDirectory = rSource.index().record(child).bDirectory;
        const std::string name = baseName(rSource.facts().name(child), bDirectory);
        std::printf("%s%s%s\n", strIndent.c_str(), bLast ? "`-- " : "|-- ",
                    printer.shownName(child, name, true, true).c_str());
        if (!bDirectory) {
            ++rCounts.uiFiles;
            continue;
        }
        ++rCounts.uiDirectories;
        printTree(rSource, printer, child, strIndent + (bLast ? "    " : "|   "), rCounts);
    }
}

// A link's target (a hard link's with what extraction and cat make of it), a device's numbers, the owner.
void printUnixDetails(MemberSource& rSource, MemberId id) {
    const MemberRecord& member = rSource.index().record(id);
    const MemberDetails details = rSource.index().details(id);
    if (isSymlink(member)) std::printf("Target: %s\n", MemberPrinter(rSource).linkTarget(id).c_str());
    if (member.kind == MemberKind::HardLink) {
        std::printf(
            "Target: %s%s\n", displayName(details.linkTarget).c_str(),
            details.linkedMember == kNoMember ? " (no earlier member of that name: its bytes are unknown)" : "");
    }
    if (details.bHasDevice) std::printf("Device: %u, %u\n", details.uiDeviceMajor, details.uiDeviceMinor);
    if (details.bHasOwner) std::printf("Owner: %u/%u\n", details.uiUserId, details.uiGroupId);
}

int walkCommand(const Invocation& invocation, MemberSource& rSource, const ListingStyle& style) {
    const std::vector<std::string>& operands = invocation.args.operands();
    std::string reason;
    VirtualFileSystem* pFileSystem = rSource.boundFileSystem(reason);
    if (!pFileSystem) {
        invocation.fail("cannot open '" + operands[0] + "' for the library's walk: it " + reason);
        return kExitArchive;
    }
    const std::string requested = operands.size() > 1 ? operands[1] : std::string();
    const MemberId target = rSource.index().find(requested);
    if (target == kNoMember) return notFound(invocation, requested, operands[0]);
    const std::string_view name = rSource.index().name(target);
    if (rSource.index().record(target).bDirectory)
        listWalk(*pFileSystem, rSource, std::string(name), style);
    else
        std::printf("%s\n", (style.bLong ? MemberPrinter(rSource).longLine(target) : displayName(name)).c_str());
    return kExitOk;
}

}  // namespace

int lsCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    NameDecoder decoder;
    MemberSource source;
    const std::string requested = operands.size() > 1 ? operands[1] : std::string();
    // A directory named: only the members below it are kept (the walk binds the whole archive anyway).
    ArchiveScope scope;
    if (!requested.empty() && !invocation.args.has("walk")) scope = ArchiveScope{{requested}, true};
    const int status = invocation.openArchive(source, decoder, scope);
    if (status != kExitOk) return status;
    const ListingStyle style{invocation.args.has("long"), invocation.args.has("recursive")};
    if (invocation.args.has("walk")) return walkCommand(invocation, source, style);
    const MemberId target = source.find(requested);
    if (target == kNoMember) return notFound(invocation, requested, operands[0]);
    if (source.index().record(target).bDirectory)
        listUnder(source, target, style);
    else
        printMember(MemberPrinter(source), target, source, style);
    return kExitOk;
}

int treeCommand(const Invocation& invocation) {
    const std::string& path = invocation.args.operands()[0];
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder, ArchiveScope());
    if (status != kExitOk) return status;
    std::printf("%s\n", displayName(path).c_str());
    TreeCounts counts;
    printTree(source, MemberPrinter(source), source.index().topLevel(), "", counts);
    std::printf("\n%zu director%s, %zu file%s\n", counts.uiDirectories, counts.uiDirectories == 1 ? "y" : "ies",
                counts.uiFiles, counts.uiFiles == 1 ? "" : "s");
    return kExitOk;
}

int statCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder, ArchiveScope{{operands[1]}, true});
    if (status != kExitOk) return status;
    source.find(operands[1]);  // the look widens first when the name is not among those kept
    source.widenForLinks();
    const MemberId id = source.find(operands[1]);
    if (id == kNoMember) return notFound(invocation, operands[1], operands[0]);
    const MemberRecord& member = source.index().record(id);
    const std::string_view name = source.facts().name(id);
    const std::string_view stored = source.index().name(id);
    const mode_t mode = memberMode(member);
    std::printf("Name: %s\n", displayName(name.empty() ? "/" : name).c_str());
    if (name != stored) std::printf("Stored name: %s\n", displayName(stored, !isValidUtf8(stored)).c_str());
    std::printf("Kind: %s\nMode: %s (%04o)\n", kindName(member), formatMode(mode).c_str(), mode & 07777);
    if (member.bDirectory) std::printf("Entries: %zu\n", source.facts().children(id).size());
    if (member.bImplied) return kExitOk;  // nothing stored: no sizes, method, CRC or time
    printUnixDetails(source, id);
    const std::string time = member.timeSource == TimeSource::Ntfs
                                 ? formatTimeWithZone(member.modificationTime, source.index().details(id).uiNanoseconds)
                                 : formatTimeWithZone(member.modificationTime);
    std::printf(
        "Size: %llu\nCompressed size: %llu\nMethod: %s\nEncryption: %s\nCRC-32: %s\nModified: %s, from the %s\n",
        static_cast<unsigned long long>(member.uiSize), static_cast<unsigned long long>(member.uiCompressedSize),
        methodName(member.compressionMethod()).c_str(),
        member.isEncrypted() ? encryptionName(member.encryption()) : "none", formatCrc(member.uiCrc32).c_str(),
        time.c_str(), timeSourceName(member.timeSource));
    const Refusal refusal = source.facts().refusal(id);
    if (refusal != Refusal::None) std::printf("Refused: %s\n", refusalText(refusal, member).c_str());
    return kExitOk;
}

}  // namespace Tool
}  // namespace Tamsor
