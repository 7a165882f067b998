// The member index: the central directory read through the file system's own I/O table (CentralDirectory),
// then the names arranged as a tree, with the directories they only imply made up.

#include "tamsor/ArchiveIndex.h"

#include "CentralDirectory.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {

namespace {

using namespace ZipRecords;

// The name of a member as a map key: less one trailing "/".
std::string keyOf(const std::string& strName) {
    if (!strName.empty() && strName.back() == '/') return strName.substr(0, strName.size() - 1);
    return strName;
}

// The key of the directory that holds `strKey`: "" (the top level) when it has no "/".
std::string parentKeyOf(const std::string& strKey) {
    const std::string::size_type slash = strKey.rfind('/');
    return slash == std::string::npos ? std::string() : strKey.substr(0, slash);
}

// The archive's members, or why they cannot be read.
std::string readMembers(const ArchiveFile& file, std::vector<ArchiveMember>& rMembers) {
    DirectoryPlace place;
    const std::string strProblem = locateCentralDirectory(file, file.size(), place);
    return strProblem.empty() ? readCentralDirectory(file, place, rMembers) : strProblem;
}

typedef std::map<std::string, std::size_t> NameMap;

// Of several members with one key, the first is the one found. Empty keys (a member named "" or "/") stand for
// the top level and are not indexed.
void indexNames(const std::vector<ArchiveMember>& members, NameMap& rByName) {
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string key = keyOf(members[i].name);
        if (!key.empty()) rByName.emplace(key, i);
    }
}

// Every parent prefix that no member names becomes a directory of its own, after the stored members. A
// parent already indexed has had its own parents seen to (or will, when its stored member is reached).
void addImpliedDirectories(std::vector<ArchiveMember>& rMembers, NameMap& rByName) {
    const std::size_t storedCount = rMembers.size();
    for (std::size_t i = 0; i < storedCount; ++i) {
        std::string parent = parentKeyOf(keyOf(rMembers[i].name));
        while (!parent.empty() && rByName.find(parent) == rByName.end()) {
            ArchiveMember implied;
            implied.name = parent + "/";
            implied.bDirectory = true;
            implied.bImplied = true;
            implied.uiIndex = static_cast<std::uint32_t>(rMembers.size());
            rByName.emplace(parent, rMembers.size());
            rMembers.push_back(std::move(implied));
            parent = parentKeyOf(parent);
        }
    }
}

// Children in member order, which puts stored members first and implied directories after them; of several
// members with one key only the indexed one.
void linkChildren(const std::vector<ArchiveMember>& members, const NameMap& byName,
                  std::map<std::string, std::vector<std::size_t>>& rChildren) {
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string key = keyOf(members[i].name);
        if (key.empty()) continue;
        if (byName.find(key)->second == i) rChildren[parentKeyOf(key)].push_back(i);
    }
}

}  // namespace

ArchiveIndex::ArchiveIndex(const ZIPFileSystemImpl& fileSystem) {
    build(fileSystem, fileSystem.m_strZIPArchive);
}

ArchiveIndex::ArchiveIndex(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath) {
    build(fileSystem, archivePath);
}

void ArchiveIndex::build(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath) {
    m_root.bDirectory = true;
    m_root.bImplied = true;
    if (archivePath.empty()) {
        m_strError = "is not bound";
        return;
    }
    const std::shared_ptr<const ArchiveFile> pFile = ArchiveFile::openFor(fileSystem, archivePath, m_strError);
    if (pFile) m_strError = readMembers(*pFile, m_members);
    if (!m_strError.empty()) {
        m_members.clear();
        return;
    }
    indexNames(m_members, m_byName);
    addImpliedDirectories(m_members, m_byName);
    linkChildren(m_members, m_byName, m_children);
    m_bValid = true;
}

const ArchiveMember* ArchiveIndex::find(const std::string& path) const {
    std::string key = path.compare(0, 1, "/") == 0 ? path.substr(1) : path;
    const bool bWantsDirectory = !key.empty() && key.back() == '/';
    if (bWantsDirectory) key.pop_back();
    if (key.empty()) return &m_root;
    const auto found = m_byName.find(key);
    if (found == m_byName.end()) return nullptr;
    const ArchiveMember& member = m_members[found->second];
    if (bWantsDirectory && !member.bDirectory) return nullptr;
    return &member;
}

std::vector<const ArchiveMember*> ArchiveIndex::children(const std::string& path) const {
    std::vector<const ArchiveMember*> result;
    const ArchiveMember* pDirectory = find(path);
    if (!pDirectory || !pDirectory->bDirectory) return result;
    const auto found = m_children.find(keyOf(pDirectory->name));
    if (found == m_children.end()) return result;
    result.reserve(found->second.size());
    for (const std::size_t i : found->second) result.push_back(&m_members[i]);
    return result;
}

}  // namespace Tamsor
