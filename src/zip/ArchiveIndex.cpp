// The member index: the central directory read through the file system's own I/O table.
//
// Every number in the archive is treated as a claim to check: record lengths, counts and offsets are tested
// against the bytes actually read and the archive's size before anything is allocated or indexed, so that a
// damaged or lying archive gives an invalid index rather than a crash or a huge allocation.

#include "tamsor/ArchiveIndex.h"

#include <zzip/plugin.h>

#include "ZipRecords.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {

namespace {

using namespace ZipRecords;

// Where the central directory lies, from the end record; false when there is none, it uses zip64 records (the
// readers underneath know no zip64 either), or it does not fit before the end record.
bool findCentralDirectory(const TableFile& file, std::uint64_t uiFileSize, EndRecord& rEnd) {
    if (findEndRecord(file, uiFileSize, rEnd) != EndSearch::Found || rEnd.bZip64Locator) return false;
    return static_cast<std::uint64_t>(rEnd.uiDirectoryOffset) + rEnd.uiDirectorySize <= rEnd.uiOffset &&
           rEnd.uiEntries * std::uint64_t(kCentralSize) <= rEnd.uiDirectorySize;
}

// MS-DOS date and time (2-second resolution, years from 1980) as local time.
std::time_t dosToTime(std::uint16_t uiDate, std::uint16_t uiTime) {
    std::tm parts{};
    parts.tm_year = 80 + (uiDate >> 9);
    parts.tm_mon = ((uiDate >> 5) & 0x0f) - 1;
    parts.tm_mday = uiDate & 0x1f;
    parts.tm_hour = uiTime >> 11;
    parts.tm_min = (uiTime >> 5) & 0x3f;
    parts.tm_sec = (uiTime & 0x1f) * 2;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

// The central directory's records, each checked against the directory's bytes and the data's place in the
// file; false at the first record that does not hold together.
bool parseRecords(const std::vector<unsigned char>& directory, const EndRecord& end,
                  std::vector<ArchiveMember>& rMembers) {
    std::size_t pos = 0;
    rMembers.reserve(end.uiEntries);
    for (std::uint32_t i = 0; i < end.uiEntries; ++i) {
        if (directory.size() - pos < kCentralSize) return false;
        const unsigned char* p = directory.data() + pos;
        if (le32(p) != kCentralSignature) return false;
        const std::size_t nameLength = le16(p + 28);
        const std::size_t recordLength = kCentralSize + nameLength + le16(p + 30) + le16(p + 32);
        if (directory.size() - pos < recordLength) return false;
        ArchiveMember member;
        member.name.assign(reinterpret_cast<const char*>(p + kCentralSize), nameLength);
        member.uiVersionMadeBy = le16(p + 4);
        member.uiFlags = le16(p + 8);
        member.uiMethod = le16(p + 10);
        member.modificationTime = dosToTime(le16(p + 14), le16(p + 12));
        member.timeSource = TimeSource::Dos;
        member.uiCrc32 = le32(p + 16);
        member.uiCompressedSize = le32(p + 20);
        member.uiSize = le32(p + 24);
        member.uiExternalAttributes = le32(p + 38);
        member.uiLocalHeaderOffset = le32(p + 42);
        if (member.uiLocalHeaderOffset + kLocalHeaderSize + member.uiCompressedSize > end.uiDirectoryOffset)
            return false;
        member.bDirectory = !member.name.empty() && member.name.back() == '/';
        member.uiIndex = i;
        rMembers.push_back(std::move(member));
        pos += recordLength;
    }
    return true;
}

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

bool readCentralDirectory(const zzip_plugin_io_handlers& io, const std::string& strPath,
                          std::vector<ArchiveMember>& rMembers) {
    const TableFile file(io.fd, strPath.c_str());
    if (!file.isOpen()) return false;
    const std::int64_t fileSize = file.size();
    if (fileSize < 0) return false;
    EndRecord end;
    if (!findCentralDirectory(file, static_cast<std::uint64_t>(fileSize), end)) return false;
    // Bounded by the file's size, checked above: the allocation cannot exceed what the archive holds.
    std::vector<unsigned char> directory;
    if (end.uiDirectorySize != 0 && !file.readAt(end.uiDirectoryOffset, end.uiDirectorySize, directory)) return false;
    return parseRecords(directory, end, rMembers);
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
    if (archivePath.empty() || fileSystem.m_pIOHandler.isNull()) {
        m_strError = "is not bound";
        return;
    }
    if (!readCentralDirectory(*fileSystem.m_pIOHandler, archivePath, m_members)) {
        m_members.clear();
        m_strError = "has no central directory that can be read";
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
