// ls, tree and stat: every member the index knows, in stored order, with what the archive says about it;
// `ls --walk` shows the library's own directory walk instead.

#include <cstdio>
#include <set>
#include <string>
#include <unordered_set>

#include "Commands.h"
#include "ExitStatus.h"
#include "Format.h"
#include "MemberSource.h"

namespace Tamsor {
namespace Tool {

namespace {

// How members are shown: names decoded and escaped, symbolic links with their targets (in long listings and
// trees), refused members marked with the reason.
class MemberPrinter {
  public:
    explicit MemberPrinter(MemberSource& rSource) : m_rSource(rSource) {}

    std::string shownName(const ArchiveMember& member, const std::string& strName, bool bWithTarget) const {
        std::string shown = displayName(strName);
        if (bWithTarget && isSymlink(member) && !member.bDirectory) shown += " -> " + linkTarget(member);
        const Refusal refusal = m_rSource.facts().refusal(member);
        if (refusal != Refusal::None) shown += "  [refused: " + refusalText(refusal, member) + "]";
        return shown;
    }

    std::string longLine(const ArchiveMember& member) const {
        const std::string name = shownName(member, m_rSource.facts().name(member), true);
        char line[160];
        if (member.bImplied) {
            std::snprintf(line, sizeof(line), "%s %12s %12s  %-9s  %-19s  ", formatMode(memberMode(member)).c_str(),
                          "-", "-", "-", "-");
        } else {
            std::snprintf(line, sizeof(line), "%s %12llu %12llu  %-9s  %-19s  ", formatMode(memberMode(member)).c_str(),
                          static_cast<unsigned long long>(member.uiSize),
                          static_cast<unsigned long long>(member.uiCompressedSize), methodLabel(member).c_str(),
                          formatTime(member.modificationTime).c_str());
        }
        return line + name;
    }

    std::string linkTarget(const ArchiveMember& member) const {
        std::string target;
        const ReadResult result = m_rSource.readSmall(member, kLinkTargetLimit, target);
        return result.ok() ? displayName(target) : "? (" + m_rSource.describe(result, member) + ")";
    }

  private:
    MemberSource& m_rSource;
};

struct ListingStyle {
    bool bLong;
    bool bRecursive;
};

void printMember(const MemberPrinter& printer, const ArchiveMember& member, const MemberSource& source,
                 const ListingStyle& style) {
    const std::string line =
        style.bLong ? printer.longLine(member) : printer.shownName(member, source.facts().name(member), false);
    std::printf("%s\n", line.c_str());
}

// The members below directory `directory`, in stored order, each implied directory just before the first
// member it holds. Without -R only the members directly inside it (and the directories holding deeper ones).
// One pass over the index.
void listUnder(MemberSource& rSource, const ArchiveMember& directory, const ListingStyle& style) {
    const MemberPrinter printer(rSource);
    const std::string& prefix = directory.name;
    std::unordered_set<const ArchiveMember*> shownImplied;
    for (const ArchiveMember& member : rSource.index().members()) {
        if (member.bImplied) break;  // implied directories come last; each has been shown by now
        const std::string& name = member.name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        bool bDeeper = false;
        for (std::string::size_type slash = name.find('/', prefix.size());
             slash != std::string::npos && slash + 1 < name.size(); slash = name.find('/', slash + 1)) {
            const ArchiveMember* pAncestor = rSource.index().find(lookupPath(name.substr(0, slash + 1)));
            if (!pAncestor || pAncestor->name.empty()) continue;  // a leading "/" names the top level
            if (pAncestor->bImplied && shownImplied.insert(pAncestor).second)
                printMember(printer, *pAncestor, rSource, style);
            bDeeper = true;
            if (!style.bRecursive) break;
        }
        if (style.bRecursive || !bDeeper) printMember(printer, member, rSource, style);
    }
}

// The library's walk of directory `strDirectory` (a stored name: "" or ending in "/"), then the directories
// only implied by names, which no walk can give; with -R each directory's listing follows its line.
void listWalk(VirtualFileSystem& rFileSystem, MemberSource& rSource, const std::string& strDirectory,
              const ListingStyle& style) {
    const MemberPrinter printer(rSource);
    std::set<std::string> shownDirectories;
    auto show = [&](const ArchiveMember* pMember, const std::string& strName) {
        const std::string line = style.bLong && pMember ? printer.longLine(*pMember) : displayName(strName);
        std::printf("%s\n", line.c_str());
    };
    {
        const VirtualFileSystem::DirectoryHandle pDirectory = rFileSystem.opendir(lookupPath(strDirectory).c_str());
        if (pDirectory.isNull()) return;
        for (VirtualFileSystem::EntryHandle pEntry = pDirectory->read(); !pEntry.isNull();
             pEntry = pDirectory->read()) {
            const std::string name = pEntry->getPath();
            show(rSource.index().find(lookupPath(name)), name);
            if (!pEntry->isDirectory()) continue;
            shownDirectories.insert(name);
            if (style.bRecursive) listWalk(rFileSystem, rSource, name, style);
        }
    }
    for (const ArchiveMember* pChild : rSource.index().children(lookupPath(strDirectory))) {
        if (!pChild->bImplied || shownDirectories.count(pChild->name)) continue;
        show(pChild, pChild->name);
        if (style.bRecursive) listWalk(rFileSystem, rSource, pChild->name, style);
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
std::string baseName(const std::string& strName, bool bDirectory) {
    std::string name = strName;
    if (bDirectory && !name.empty()) name.pop_back();
    const std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    return bDirectory ? name + "/" : name;
}

void printTree(MemberSource& rSource, const MemberPrinter& printer, const ArchiveMember& directory,
               const std::string& strIndent, TreeCounts& rCounts) {
    const std::vector<const ArchiveMember*>& children = rSource.facts().children(directory);
    for (std::size_t i = 0; i < children.size(); ++i) {
        const bool bLast = i + 1 == children.size();
        const ArchiveMember& child = *children[i];
        const std::string name = baseName(rSource.facts().name(child), child.bDirectory);
        std::printf("%s%s%s\n", strIndent.c_str(), bLast ? "`-- " : "|-- ",
                    printer.shownName(child, name, true).c_str());
        if (!child.bDirectory) {
            ++rCounts.uiFiles;
            continue;
        }
        ++rCounts.uiDirectories;
        printTree(rSource, printer, child, strIndent + (bLast ? "    " : "|   "), rCounts);
    }
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
    const ArchiveMember* pTarget = rSource.index().find(requested);
    if (!pTarget) return notFound(invocation, requested, operands[0]);
    if (pTarget->bDirectory)
        listWalk(*pFileSystem, rSource, pTarget->name, style);
    else
        std::printf("%s\n",
                    (style.bLong ? MemberPrinter(rSource).longLine(*pTarget) : displayName(pTarget->name)).c_str());
    return kExitOk;
}

}  // namespace

int lsCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder);
    if (status != kExitOk) return status;
    const ListingStyle style{invocation.args.has("long"), invocation.args.has("recursive")};
    if (invocation.args.has("walk")) return walkCommand(invocation, source, style);
    const std::string requested = operands.size() > 1 ? operands[1] : std::string();
    const ArchiveMember* pTarget = source.facts().find(requested);
    if (!pTarget) return notFound(invocation, requested, operands[0]);
    if (pTarget->bDirectory)
        listUnder(source, *pTarget, style);
    else
        printMember(MemberPrinter(source), *pTarget, source, style);
    return kExitOk;
}

int treeCommand(const Invocation& invocation) {
    const std::string& path = invocation.args.operands()[0];
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder);
    if (status != kExitOk) return status;
    std::printf("%s\n", displayName(path).c_str());
    TreeCounts counts;
    printTree(source, MemberPrinter(source), *source.index().find(""), "", counts);
    std::printf("\n%zu director%s, %zu file%s\n", counts.uiDirectories, counts.uiDirectories == 1 ? "y" : "ies",
                counts.uiFiles, counts.uiFiles == 1 ? "" : "s");
    return kExitOk;
}

int statCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder);
    if (status != kExitOk) return status;
    const ArchiveMember* pMember = source.facts().find(operands[1]);
    if (!pMember) return notFound(invocation, operands[1], operands[0]);
    const ArchiveMember& member = *pMember;
    const std::string& name = source.facts().name(member);
    const mode_t mode = memberMode(member);
    std::printf("Name: %s\n", displayName(name.empty() ? "/" : name).c_str());
    if (name != member.name)
        std::printf("Stored name: %s\n", displayName(member.name, !isValidUtf8(member.name)).c_str());
    std::printf("Kind: %s\nMode: %s (%04o)\n", kindName(member), formatMode(mode).c_str(), mode & 07777);
    if (member.bDirectory) std::printf("Entries: %zu\n", source.facts().children(member).size());
    if (member.bImplied) return kExitOk;  // nothing stored: no sizes, method, CRC or time
    if (isSymlink(member) && !member.bDirectory)
        std::printf("Target: %s\n", MemberPrinter(source).linkTarget(member).c_str());
    std::printf(
        "Size: %llu\nCompressed size: %llu\nMethod: %s\nEncryption: %s\nCRC-32: %s\nModified: %s, from the %s\n",
        static_cast<unsigned long long>(member.uiSize), static_cast<unsigned long long>(member.uiCompressedSize),
        methodName(member.compressionMethod()).c_str(),
        member.isEncrypted() ? encryptionName(member.encryption()) : "none", formatCrc(member.uiCrc32).c_str(),
        formatTimeWithZone(member.modificationTime).c_str(), timeSourceName(member.timeSource));
    const Refusal refusal = source.facts().refusal(member);
    if (refusal != Refusal::None) std::printf("Refused: %s\n", refusalText(refusal, member).c_str());
    return kExitOk;
}

}  // namespace Tool
}  // namespace Tamsor
