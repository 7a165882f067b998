#include "ArchiveFacts.h"

#include <algorithm>
#include <unordered_set>

#include "tamsor/MemberReader.h"

namespace Tamsor {
namespace Tool {

namespace {

// The first stored member that is not an implied directory's: they come last, so a binary search.
MemberId countStored(const ArchiveIndex& index) {
    MemberId low = 0, high = static_cast<MemberId>(index.size());
    while (low < high) {
        const MemberId middle = low + (high - low) / 2;
        if (index.record(middle).bImplied)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

}  // namespace

MemberId findStored(const ArchiveIndex& index, std::string_view storedName) {
    // The index drops one leading "/" from what it is given: a name that starts with one gets another.
    if (!storedName.empty() && storedName.front() == '/') return index.find("/" + std::string(storedName));
    return index.find(storedName);
}

ArchiveFacts::ArchiveFacts(const ArchiveIndex& index, const NameDecoder* pDecoder, const NameSample* pSample)
    : m_rIndex(index), m_storedCount(countStored(index)), m_names(index) {
    decodeNames(pDecoder, guessCharset(pDecoder, pSample));
    nameImpliedDirectories();
}

// --encoding leaves nothing to guess.
NameCharset ArchiveFacts::guessCharset(const NameDecoder* pDecoder, const NameSample* pSample) const {
    NameSample own;
    if (!pDecoder && !pSample) {
        for (MemberId id = 0; id < m_storedCount; ++id) own.add(m_rIndex.name(id));
        pSample = &own;
    }
    return NameCharset(pDecoder ? NameSample() : *pSample);
}

// Implied directories too, by the same rules (they have no flags and no Unicode field), before those that a
// member below them names otherwise.
void ArchiveFacts::decodeNames(const NameDecoder* pDecoder, const NameCharset& charset) {
    std::string text;
    for (MemberId id = 0; id < m_rIndex.size(); ++id)
        if (decodedText(record(id), m_rIndex.name(id), m_rIndex.unicodeName(id), pDecoder, &charset, text))
            m_names.set(id, text);
}

// An implied directory takes the matching leading part of the first member below it whose text differs from
// its stored bytes. (Where they agree, the directory's own bytes decode the same way, since every rule keeps
// "/" as it is.)
void ArchiveFacts::nameImpliedDirectories() {
    if (m_names.empty()) return;
    std::vector<bool> named(m_rIndex.size(), false);
    for (MemberId id = 0; id < m_storedCount; ++id) {
        if (!m_names.has(id)) continue;
        const std::string_view stored = m_rIndex.name(id);
        const std::string decoded(m_names.name(id));  // a copy: set() below may move the texts
        std::string_view::size_type storedSlash = 0, decodedSlash = 0;
        while ((storedSlash = stored.find('/', storedSlash)) != std::string_view::npos &&
               storedSlash + 1 < stored.size()) {
            decodedSlash = decoded.find('/', decodedSlash);
            if (decodedSlash == std::string::npos) break;  // the decoded name has fewer levels: nothing to match
            ++storedSlash;
            ++decodedSlash;
            // One "/" in front: the index then looks the prefix up as stored, a leading "/" of its own kept.
            const MemberId ancestor = m_rIndex.find("/" + std::string(stored.substr(0, storedSlash)));
            if (ancestor == kNoMember || !record(ancestor).bImplied || ancestor == m_rIndex.topLevel()) continue;
            if (named[ancestor]) continue;
            named[ancestor] = true;
            m_names.set(ancestor, std::string_view(decoded).substr(0, decodedSlash));
        }
    }
}

Refusal ArchiveFacts::refusal(MemberId id) const {
    const MemberRecord& member = record(id);
    const std::string_view name = m_rIndex.name(id);
    if (member.bImplied) return Refusal::None;  // the top level too
    if (name.empty()) return Refusal::EmptyName;
    if (name.find('\0') != std::string_view::npos) return Refusal::NulByte;
    const Earlier earlier = earlierOfName(id);
    if (earlier == Earlier::Same || (earlier == Earlier::Odd && isOddDuplicate(id))) return Refusal::Duplicate;
    if (member.bDirectory) return Refusal::None;
    if (member.flaw != MemberFlaw::None) return Refusal::Ambiguous;
    if (member.encryption() == EncryptionKind::Unsupported) return Refusal::Encryption;
    if (!MemberReader::decodesMethod(member.compressionMethod())) return Refusal::Method;
    return Refusal::None;
}

// The index finds the first member of a name less its trailing "/": when that one has this very name, an
// earlier one is there when it is not this member. Names it does not find that way ("a/" after a file "a", a
// file "a" after "a/", "/" alone) are odd: whether an earlier one has the same name takes a pass over them.
ArchiveFacts::Earlier ArchiveFacts::earlierOfName(MemberId id) const {
    const std::string_view name = m_rIndex.name(id);
    const MemberId first = findStored(m_rIndex, name);
    if (first == id) return Earlier::None;
    return first != kNoMember && m_rIndex.name(first) == name ? Earlier::Same : Earlier::Odd;
}

bool ArchiveFacts::isOddDuplicate(MemberId id) const {
    std::call_once(m_oddDuplicatesFound, [this] { findOddDuplicates(); });
    return std::binary_search(m_oddDuplicates.begin(), m_oddDuplicates.end(), id);
}

// Every odd name, in id order: those met before are duplicates.
void ArchiveFacts::findOddDuplicates() const {
    std::unordered_set<std::string_view> oddNames;
    for (MemberId id = 0; id < m_storedCount; ++id) {
        const std::string_view name = m_rIndex.name(id);
        if (name.empty() || earlierOfName(id) != Earlier::Odd) continue;
        if (!oddNames.insert(name).second) m_oddDuplicates.push_back(id);
    }
}

MemberId ArchiveFacts::find(std::string_view path) const {
    // The stored name first, a leading "/" and all: "/abs/x" is the member stored so, as unzip -p takes it.
    const MemberId stored = findStored(m_rIndex, path);
    if (stored != kNoMember) return stored;
    if (path.compare(0, 2, "./") == 0)
        path.remove_prefix(2);
    else if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    const bool bWantsDirectory = !path.empty() && path.back() == '/';
    const std::string_view key = nameKey(path);
    if (key.empty()) return m_rIndex.topLevel();
    // The first member whose text has that key: of those whose text is their stored name, or of the others.
    const MemberId found = std::min(findUndecoded(key), m_names.find(key));
    if (found == kNoMember || (bWantsDirectory && !record(found).bDirectory)) return kNoMember;
    return found;
}

// The first member with stored key `key` whose text is its stored name.
MemberId ArchiveFacts::findUndecoded(std::string_view key) const {
    // A key that ends in "/" is a name that ends in "//": asked for as a directory, it keeps its own "/".
    const MemberId first = m_rIndex.find("/" + std::string(key) + (key.back() == '/' ? "/" : ""));
    if (first == kNoMember || !m_names.has(first) || record(first).parent == kNoMember) return first;
    // The first of that key reads otherwise (its flags or Unicode field): a later one with the same key may not.
    for (const MemberId sibling : m_rIndex.children(record(first).parent))
        if (sibling > first && nameKey(m_rIndex.name(sibling)) == key && !m_names.has(sibling)) return sibling;
    return kNoMember;
}

MemberIds ArchiveFacts::children(MemberId id) const {
    if (!record(id).bDirectory) return MemberIds(nullptr, nullptr);
    return m_rIndex.children(id);
}

}  // namespace Tool
}  // namespace Tamsor
