// ls, tree and stat: what the archive holds, from the file system's walk and the member index.

#include <cstdio>
#include <set>
#include <string>

#include "Commands.h"
#include "ExitStatus.h"
#include "Format.h"
#include "MemberReader.h"
#include "OpenedArchive.h"

namespace Tamsor {
namespace Tool {

namespace {

struct ListingStyle {
    bool bLong;
    bool bRecursive;
};

void printEntry(const ArchiveMember* pMember, const std::string& strName, const ListingStyle& style) {
    const std::string shown = displayName(strName);
    if (style.bLong && pMember)
        std::printf("%s\n", longListingLine(*pMember, shown).c_str());
    else
        std::printf("%s\n", shown.c_str());
}

// Lists directory `strDirectory` (a stored name: "" or ending in "/"): first what the file system's walk
// hands out, then the directories only implied by names, which no walk can give. With -R each directory's
// listing follows its line. Walked entries are reopened by their own path to go down.
void listDirectory(OpenedArchive& rArchive, const std::string& strDirectory, const ListingStyle& style) {
    std::set<std::string> shownDirectories;
    {
        const VirtualFileSystem::DirectoryHandle pDirectory =
            rArchive.fileSystem().opendir(lookupPath(strDirectory).c_str());
        if (pDirectory.isNull()) return;
        for (VirtualFileSystem::EntryHandle pEntry = pDirectory->read(); !pEntry.isNull();
             pEntry = pDirectory->read()) {
            const std::string name = pEntry->getPath();
            printEntry(rArchive.index().find(lookupPath(name)), name, style);
            if (!pEntry->isDirectory()) continue;
            shownDirectories.insert(name);
            if (style.bRecursive) listDirectory(rArchive, name, style);
        }
    }
    for (const ArchiveMember* pChild : rArchive.index().children(lookupPath(strDirectory))) {
        if (!pChild->bImplied || shownDirectories.count(pChild->name)) continue;
        printEntry(pChild, pChild->name, style);
        if (style.bRecursive) listDirectory(rArchive, pChild->name, style);
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

// The last component of a name, with "/" after a directory.
std::string baseName(const ArchiveMember& member) {
    std::string name = member.name;
    if (member.bDirectory) name.pop_back();
    const std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    return member.bDirectory ? name + "/" : name;
}

void printTree(const ArchiveIndex& index, const ArchiveMember& directory, const std::string& strIndent,
               TreeCounts& rCounts) {
    const std::vector<const ArchiveMember*> children = index.children(lookupPath(directory.name));
    for (std::size_t i = 0; i < children.size(); ++i) {
        const bool bLast = i + 1 == children.size();
        const ArchiveMember& child = *children[i];
        std::printf("%s%s%s\n", strIndent.c_str(), bLast ? "`-- " : "|-- ", displayName(baseName(child)).c_str());
        if (!child.bDirectory) {
            ++rCounts.uiFiles;
            continue;
        }
        ++rCounts.uiDirectories;
        printTree(index, child, strIndent + (bLast ? "    " : "|   "), rCounts);
    }
}

}  // namespace

int lsCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    OpenedArchive archive;
    const int status = archive.open(operands[0], invocation.kind, invocation.commandName);
    if (status != kExitOk) return status;
    const std::string requested = operands.size() > 1 ? operands[1] : std::string();
    const ArchiveMember* pTarget = archive.index().find(requested);
    if (!pTarget) return notFound(invocation, requested, operands[0]);
    const ListingStyle style{invocation.args.has("long"), invocation.args.has("recursive")};
    if (pTarget->bDirectory)
        listDirectory(archive, pTarget->name, style);
    else
        printEntry(pTarget, pTarget->name, style);
    return kExitOk;
}

int treeCommand(const Invocation& invocation) {
    const std::string& path = invocation.args.operands()[0];
    OpenedArchive archive;
    const int status = archive.open(path, invocation.kind, invocation.commandName);
    if (status != kExitOk) return status;
    std::printf("%s\n", displayName(path).c_str());
    TreeCounts counts;
    printTree(archive.index(), *archive.index().find(""), "", counts);
    std::printf("\n%zu director%s, %zu file%s\n", counts.uiDirectories, counts.uiDirectories == 1 ? "y" : "ies",
                counts.uiFiles, counts.uiFiles == 1 ? "" : "s");
    return kExitOk;
}

int statCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    OpenedArchive archive;
    const int status = archive.open(operands[0], invocation.kind, invocation.commandName);
    if (status != kExitOk) return status;
    const ArchiveMember* pMember = archive.index().find(operands[1]);
    if (!pMember) return notFound(invocation, operands[1], operands[0]);
    std::printf("Name: %s\nKind: %s\n", displayName(pMember->name.empty() ? "/" : pMember->name).c_str(),
                kindOf(*pMember));
    if (pMember->bDirectory) std::printf("Entries: %zu\n", archive.index().children(lookupPath(pMember->name)).size());
    if (pMember->bImplied) return kExitOk;  // nothing stored: no sizes, method, CRC or time
    std::printf("Size: %llu\nCompressed size: %llu\nMethod: %s\nCRC-32: %s\nModified: %s\n",
                static_cast<unsigned long long>(pMember->uiSize),
                static_cast<unsigned long long>(pMember->uiCompressedSize), methodName(pMember->uiMethod).c_str(),
                formatCrc(pMember->uiCrc32).c_str(), formatTime(pMember->modificationTime).c_str());
    return kExitOk;
}

}  // namespace Tool
}  // namespace Tamsor
