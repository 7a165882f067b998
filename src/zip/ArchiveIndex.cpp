// The member index: the central directory read from the archive file (CentralDirectory), its members kept as
// fixed-size records with their names in one arena, their places checked (MemberLayout), then the names
// arranged as a tree through a hash of the names, with the directories they only imply made up.

#include "tamsor/ArchiveIndex.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "CentralDirectory.h"
#include "MemberLayout.h"
#include "tamsor/ArchiveFile.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {

namespace {

using namespace ZipRecords;

// The parent of the top level's members while the top level has no id yet.
const MemberId kTopLevelPending = kNoMember - 1;

// A name as the index keys it: less one trailing "/".
std::string_view keyOf(std::string_view name) {
    if (!name.empty() && name.back() == '/') name.remove_suffix(1);
    return name;
}

// The key of the directory that holds `key`: "" (the top level) when it has no "/".
std::string_view parentKeyOf(std::string_view key) {
    const std::string_view::size_type slash = key.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : key.substr(0, slash);
}

// Eight bytes a step: names are short, and every member is hashed twice while the index is built.
std::size_t hashOf(std::string_view key) {
    std::uint64_t value = 0x9e3779b97f4a7c15ull ^ key.size();
    const char* p = key.data();
    std::size_t length = key.size();
    for (; length >= 8; p += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        value = (value ^ word) * 0xff51afd7ed558ccdull;
        value ^= value >> 32;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, length);
    value = (value ^ tail) * 0xc4ceb9fe1a85ec53ull;
    return static_cast<std::size_t>(value ^ (value >> 29));
}

}  // namespace

// Every member's place, and nothing else: for a directory whose members are not in file order.
class PlaceSink : public MemberSink {
  public:
    bool wants(std::string_view) override { return false; }
    void place(std::uint64_t uiLocalHeaderOffset, std::uint64_t uiCompressedSize) override {
        m_places.push_back(MemberPlace{uiLocalHeaderOffset, uiCompressedSize});
    }
    void add(ArchiveMember&, UnixFields&) override {}
    const std::vector<MemberPlace>& places() const { return m_places; }

  private:
    std::vector<MemberPlace> m_places;
};

// Takes the members as the central directory hands them out, then lays them out, names them and links them.
class ArchiveIndex::Builder : public MemberSink, public LayoutReport {
  public:
    Builder(ArchiveIndex& rIndex, const IndexOptions& options) : m_rIndex(rIndex), m_rOptions(options), m_walk(*this) {}

    // Room for what the directory at `place` holds at most: its entry count (a claim, so bounded by what its
    // bytes could hold) and the bytes of its names.
    void reserve(const DirectoryPlace& place) {
        const std::uint64_t entries = std::min<std::uint64_t>(place.uiEntries, place.uiSize / kCentralSize);
        if (m_rOptions.keep) return;  // what is kept is not known beforehand
        m_rIndex.m_records.reserve(static_cast<std::size_t>(entries + entries / 8) + 16);  // and implied ones
        m_rIndex.m_arena.reserve(static_cast<std::size_t>(place.uiSize - entries * kCentralSize));
    }

    bool wants(std::string_view storedName) override {
        if (!m_rOptions.keep) return true;
        const bool bWanted = m_rOptions.keep(storedName);
        m_kept.push_back(bWanted ? static_cast<MemberId>(m_rIndex.m_records.size()) : kNoMember);
        return bWanted;
    }
    // Laid out on the way while the members come in file order; the overlaps found are held back until that is
    // known to hold to the end (else layOut() does it again from every place).
    void place(std::uint64_t uiLocalHeaderOffset, std::uint64_t uiCompressedSize) override {
        if (m_bInFileOrder) m_bInFileOrder = m_walk.add(m_uiPlaced, MemberPlace{uiLocalHeaderOffset, uiCompressedSize});
        ++m_uiPlaced;
    }
    bool isInFileOrder() const { return m_bInFileOrder; }
    void layOut(const std::vector<MemberPlace>& places, std::uint64_t uiDirectoryOffset) {
        m_bHoldOverlaps = false;
        layOutMembers(places, uiDirectoryOffset, *this);
    }
    void add(ArchiveMember& rMember, UnixFields& rUnix) override {
        const std::size_t before = m_rIndex.m_records.size();
        append(rMember, rMember.name, rMember.unicodeName);
        if (rMember.bHasDetails && m_rIndex.m_records.size() > before)
            m_rIndex.m_details.emplace_back(static_cast<MemberId>(before), std::move(rUnix.details));
    }

    void limit(MemberId position, std::uint64_t uiDataLimit) override {
        const MemberId id = idOf(position);
        if (id != kNoMember) m_rIndex.m_records[id].uiDataLimit = uiDataLimit;
    }
    void overlap(MemberId a, MemberId b) override {
        if (m_bHoldOverlaps) return m_heldOverlaps.push_back(std::make_pair(a, b));
        for (const auto& pair : {std::make_pair(a, b), std::make_pair(b, a)}) {
            const MemberId id = idOf(pair.first);
            if (id == kNoMember) continue;
            m_rIndex.m_records[id].flaw = MemberFlaw::Overlaps;
            m_rIndex.m_records[id].overlapped = idOf(pair.second);
        }
    }

    // Empty, or why the index cannot be made.
    std::string finish(std::uint64_t uiDirectoryOffset) {
        if (m_bTooLarge) return "has more names than an index holds (4 GiB of them)";
        if (m_bHoldOverlaps) {
            m_walk.finish(uiDirectoryOffset);
            m_bHoldOverlaps = false;
            for (const auto& pair : m_heldOverlaps) overlap(pair.first, pair.second);
        }
        const MemberId stored = static_cast<MemberId>(m_rIndex.m_records.size());
        m_rIndex.m_nameSlots.assign(slotsFor(stored), NameSlot{kNoMember, 0});
        for (MemberId id = 0; id < stored; ++id) insertFirst(id);
        for (MemberId id = 0; id < stored; ++id) linkToParent(id);
        addTopLevel();
        linkChildren();
        linkHardLinks();
        return m_bTooLarge ? "has more names than an index holds (4 GiB of them)" : std::string();
    }

  private:
    // A record for `member`, its names at the end of the arena.
    void append(const MemberRecord& member, std::string_view name, std::string_view unicodeName) {
        std::vector<char>& rArena = m_rIndex.m_arena;
        if (rArena.size() + name.size() + unicodeName.size() > std::numeric_limits<std::uint32_t>::max()) {
            m_bTooLarge = true;
            return;
        }
        MemberRecord record = member;
        record.uiNameOffset = static_cast<std::uint32_t>(rArena.size());
        record.uiNameLength = static_cast<std::uint16_t>(name.size());
        record.uiUnicodeNameLength = static_cast<std::uint16_t>(unicodeName.size());
        rArena.insert(rArena.end(), name.begin(), name.end());
        rArena.insert(rArena.end(), unicodeName.begin(), unicodeName.end());
        m_rIndex.m_records.push_back(record);
    }

    // The id a member at `position` in the central directory has in the index, or kNoMember when not kept.
    MemberId idOf(MemberId position) const { return m_kept.empty() ? position : m_kept[position]; }

    // Room for twice as many keys as `count`, a power of two.
    static std::size_t slotsFor(std::size_t count) {
        std::size_t slots = 16;
        while (slots < 2 * count) slots *= 2;
        return slots;
    }

    // Keys the member by its name unless an earlier member has that key. A name that keys to "" ("" or "/")
    // stands for the top level and is not keyed.
    void insertFirst(MemberId id) {
        const std::string_view key = keyOf(m_rIndex.name(id));
        if (key.empty()) return;
        std::vector<NameSlot>& rSlots = m_rIndex.m_nameSlots;
        const std::size_t mask = rSlots.size() - 1, hash = hashOf(key);
        const std::uint32_t high = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            if (rSlots[slot].id == kNoMember) {
                rSlots[slot] = NameSlot{id, high};
                ++m_uiKeys;
                return;
            }
            if (rSlots[slot].uiHash == high && keyOf(m_rIndex.name(rSlots[slot].id)) == key) return;
        }
    }

    // The member's parent, made up (with its own parents) when no member names it. A parent already keyed has
    // had its own parents seen to, or will when its stored member is reached.
    void linkToParent(MemberId id) {
        if (keyOf(m_rIndex.name(id)).empty()) return;  // a stand-in for the top level: in no directory
        for (MemberId child = id;;) {
            const std::string_view parentKey = parentKeyOf(keyOf(m_rIndex.name(child)));
            if (parentKey.empty()) {
                m_rIndex.m_records[child].parent = kTopLevelPending;
                return;
            }
            // Members of one directory mostly come together: the last parent found is tried first.
            const MemberId found = parentKey == m_lastParentKey ? m_lastParent : m_rIndex.findKey(parentKey);
            m_lastParentKey = parentKey;
            m_lastParent = found;
            if (found != kNoMember) {
                m_rIndex.m_records[child].parent = found;
                return;
            }
            m_rIndex.m_records[child].parent = addImplied(std::string(parentKey));  // the arena may move
            child = m_rIndex.m_records[child].parent;
        }
    }

    MemberId addImplied(const std::string& key) {
        if (2 * (m_uiKeys + 1) > m_rIndex.m_nameSlots.size()) rehash();
        MemberRecord implied;
        implied.kind = MemberKind::Directory;
        implied.bDirectory = true;
        implied.bImplied = true;
        const MemberId id = static_cast<MemberId>(m_rIndex.m_records.size());
        append(implied, key + "/", std::string_view());
        m_lastParentKey = std::string_view();
        insertFirst(id);
        return id;
    }

    void rehash() {
        m_rIndex.m_nameSlots.assign(2 * m_rIndex.m_nameSlots.size(), NameSlot{kNoMember, 0});
        m_uiKeys = 0;
        for (MemberId id = 0; id < m_rIndex.m_records.size(); ++id) insertFirst(id);
    }

    void addTopLevel() {
        MemberRecord top;
        top.kind = MemberKind::Directory;
        top.bDirectory = true;
        top.bImplied = true;
        append(top, std::string_view(), std::string_view());
        const MemberId topLevel = static_cast<MemberId>(m_rIndex.m_records.size() - 1);
        for (MemberRecord& rRecord : m_rIndex.m_records)
            if (rRecord.parent == kTopLevelPending) rRecord.parent = topLevel;
    }

    // Each hard link to the member an extractor would have made by the time it comes: the first of its target's
    // name, when that is earlier and is no link or directory.
    void linkHardLinks() {
        for (std::pair<MemberId, MemberDetails>& rEntry : m_rIndex.m_details) {
            if (m_rIndex.m_records[rEntry.first].kind != MemberKind::HardLink) continue;
            const MemberId linked = m_rIndex.find(rEntry.second.linkTarget);
            if (linked >= rEntry.first) continue;  // later, or none (kNoMember)
            const MemberKind kind = m_rIndex.m_records[linked].kind;
            if (kind != MemberKind::HardLink && kind != MemberKind::Symlink && kind != MemberKind::Directory)
                rEntry.second.linkedMember = linked;
        }
    }

    // Each directory's members in id order: a count of each parent's children, then a pass that places them.
    void linkChildren() {
        const std::vector<MemberRecord>& records = m_rIndex.m_records;
        std::vector<std::uint32_t>& rStarts = m_rIndex.m_childStarts;
        rStarts.assign(records.size() + 1, 0);
        for (const MemberRecord& record : records)
            if (record.parent != kNoMember) ++rStarts[record.parent + 1];
        for (std::size_t id = 1; id < rStarts.size(); ++id) rStarts[id] += rStarts[id - 1];
        m_rIndex.m_childIds.resize(rStarts.back());
        std::vector<std::uint32_t> next(rStarts.begin(), rStarts.end() - 1);
        for (MemberId id = 0; id < records.size(); ++id)
            if (records[id].parent != kNoMember) m_rIndex.m_childIds[next[records[id].parent]++] = id;
    }

    ArchiveIndex& m_rIndex;
    const IndexOptions& m_rOptions;
    LayoutWalk m_walk;
    MemberId m_uiPlaced = 0;
    bool m_bInFileOrder = true;
    bool m_bHoldOverlaps = true;  // while the walk may yet find the directory out of file order
    std::vector<std::pair<MemberId, MemberId>> m_heldOverlaps;
    std::vector<MemberId> m_kept;  // with a filter: by position, the id of each member kept
    std::size_t m_uiKeys = 0;
    bool m_bTooLarge = false;
    std::string_view m_lastParentKey;  // a view into the arena, so forgotten when the arena grows (addImplied)
    MemberId m_lastParent = kNoMember;
};

ArchiveIndex::ArchiveIndex(const ZIPFileSystemImpl& fileSystem)
    : ArchiveIndex(fileSystem, fileSystem.m_strZIPArchive) {}

ArchiveIndex::ArchiveIndex(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath,
                           const IndexOptions& options) {
    std::string strError = "is not bound";
    build(archivePath.empty() ? nullptr : ArchiveFile::openFor(fileSystem, archivePath, strError), options, strError);
}

ArchiveIndex::ArchiveIndex(const std::shared_ptr<const ArchiveFile>& pFile, const IndexOptions& options) {
    build(pFile, options, "cannot be opened");
}

// An index that is not valid holds the top level alone.
void ArchiveIndex::build(const std::shared_ptr<const ArchiveFile>& pFile, const IndexOptions& options,
                         const std::string& strUnopened) {
    Builder builder(*this, options);
    DirectoryPlace place;
    m_strError = pFile ? locateCentralDirectory(*pFile, pFile->size(), place) : strUnopened;
    if (m_strError.empty()) {
        builder.reserve(place);
        m_strError = readCentralDirectory(*pFile, place, builder);
    }
    if (m_strError.empty() && !builder.isInFileOrder()) {  // a second read, of every member's place
        PlaceSink places;
        m_strError = readCentralDirectory(*pFile, place, places);
        builder.layOut(places.places(), place.uiOffset);
    }
    if (m_strError.empty()) m_strError = builder.finish(place.uiOffset);
    m_bValid = m_strError.empty();
    if (m_bValid) return;
    m_records.clear();
    m_arena.clear();
    m_details.clear();
    const IndexOptions none;
    Builder(*this, none).finish(0);
}

ArchiveMember ArchiveIndex::member(MemberId id) const {
    ArchiveMember member;
    static_cast<MemberRecord&>(member) = m_records[id];
    member.name = name(id);
    member.unicodeName = unicodeName(id);
    member.id = id;
    return member;
}

MemberDetails ArchiveIndex::details(MemberId id) const {
    if (id >= m_records.size() || !m_records[id].bHasDetails) return MemberDetails();
    const auto found = std::lower_bound(
        m_details.begin(), m_details.end(), id,
        [](const std::pair<MemberId, MemberDetails>& rEntry, MemberId wanted) { return rEntry.first < wanted; });
    return found != m_details.end() && found->first == id ? found->second : MemberDetails();
}

MemberId ArchiveIndex::findKey(std::string_view key) const {
    const std::size_t mask = m_nameSlots.size() - 1, hash = hashOf(key);
    const std::uint32_t high = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t slot = hash & mask; m_nameSlots[slot].id != kNoMember; slot = (slot + 1) & mask)
        if (m_nameSlots[slot].uiHash == high && keyOf(name(m_nameSlots[slot].id)) == key) return m_nameSlots[slot].id;
    return kNoMember;
}

MemberId ArchiveIndex::find(std::string_view path) const {
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    const bool bWantsDirectory = !path.empty() && path.back() == '/';
    const std::string_view key = keyOf(path);
    if (key.empty()) return topLevel();
    const MemberId id = findKey(key);
    if (id == kNoMember || (bWantsDirectory && !m_records[id].bDirectory)) return kNoMember;
    return id;
}

}  // namespace Tamsor
