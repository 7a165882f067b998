#include "MemberFacts.h"

#include <string_view>

#include <unordered_set>
#include "tamsor/MemberReader.h"

namespace Tamsor {
namespace Tool {

namespace {

const mode_t kDefaultFileMode = 0644;
const mode_t kDefaultDirectoryMode = 0755;

// The name less one trailing "/": how the index keys names.
std::string keyOf(const std::string& name) {
    return !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
}

}  // namespace

std::string decodeName(const ArchiveMember& member, const NameDecoder* pDecoder) {
    if (member.hasUtf8Name()) return member.name;
    if (!member.unicodeName.empty()) {
        const bool bNeedsSlash = member.bDirectory && member.unicodeName.back() != '/';
        return bNeedsSlash ? member.unicodeName + "/" : member.unicodeName;
    }
    std::string text;
    if (pDecoder && pDecoder->decode(member.name, text)) return text;
    return isValidUtf8(member.name) ? member.name : cp437ToUtf8(member.name);
}

std::string methodName(std::uint16_t uiMethod) {
    switch (uiMethod) {
        case 0:
            return "stored";
        case 8:
            return "deflated";
        case 9:
            return "deflate64";
        case 12:
            return "bzip2";
        case 14:
            return "lzma";
        case 93:
            return "zstd";
        case 95:
            return "xz";
        case 98:
            return "ppmd";
        case 99:
            return "aes";
        default:
            return "method " + std::to_string(uiMethod);
    }
}

const char* encryptionName(EncryptionKind kind) {
    switch (kind) {
        case EncryptionKind::None:
            return "";
        case EncryptionKind::ZipCrypto:
            return "zipcrypto";
        case EncryptionKind::Aes128:
            return "aes128";
        case EncryptionKind::Aes192:
            return "aes192";
        case EncryptionKind::Aes256:
            return "aes256";
        case EncryptionKind::Unsupported:
            return "unsupported";
    }
    return "";
}

std::string methodLabel(const ArchiveMember& member) {
    const EncryptionKind kind = member.encryption();
    const std::string method = methodName(member.compressionMethod());
    return kind == EncryptionKind::None ? method : method + "+" + encryptionName(kind);
}

mode_t memberMode(const ArchiveMember& member) {
    const mode_t stored = member.hasUnixMode() ? static_cast<mode_t>(member.uiExternalAttributes >> 16) : 0;
    if (member.bDirectory) return S_IFDIR | (stored != 0 ? stored & 07777 : kDefaultDirectoryMode);
    if (stored == 0) return S_IFREG | kDefaultFileMode;
    return (S_ISLNK(stored) ? S_IFLNK : S_IFREG) | (stored & 07777);
}

const char* kindName(const ArchiveMember& member) {
    if (member.bDirectory) return member.bImplied ? "implied directory" : "directory";
    return isSymlink(member) ? "symlink" : "file";
}

std::string refusalText(Refusal refusal, const ArchiveMember& member) {
    switch (refusal) {
        case Refusal::None:
            return "";
        case Refusal::EmptyName:
            return "empty name";
        case Refusal::NulByte:
            return "NUL byte in name";
        case Refusal::Duplicate:
            return "duplicate name";
        case Refusal::Encryption:
            return "encryption";
        case Refusal::Method:
            return methodName(member.compressionMethod());
        case Refusal::Ambiguous:
            return "ambiguous";
    }
    return "";
}

ArchiveFacts::ArchiveFacts(const ArchiveIndex& index, const NameDecoder* pDecoder) : m_rIndex(index) {
    const std::vector<ArchiveMember>& members = index.members();
    m_names.reserve(members.size());
    m_refusals.reserve(members.size());
    std::unordered_set<std::string_view> seenNames;
    seenNames.reserve(members.size());
    for (const ArchiveMember& member : members) {
        m_names.push_back(decodeName(member, pDecoder));
        Refusal refusal = Refusal::None;
        if (member.bImplied)
            refusal = Refusal::None;
        else if (member.name.empty())
            refusal = Refusal::EmptyName;
        else if (member.name.find('\0') != std::string::npos)
            refusal = Refusal::NulByte;
        else if (!seenNames.insert(member.name).second)
            refusal = Refusal::Duplicate;
        else if (!member.bDirectory && member.flaw != MemberFlaw::None)
            refusal = Refusal::Ambiguous;
        else if (!member.bDirectory && member.encryption() == EncryptionKind::Unsupported)
            refusal = Refusal::Encryption;
        else if (!member.bDirectory && !MemberReader::decodesMethod(member.compressionMethod()))
            refusal = Refusal::Method;
        m_refusals.push_back(refusal);
    }
    nameImpliedDirectories();
}

// An implied directory has no name of its own to decode: it takes the matching leading part of the first
// member below it whose decoded name differs from its stored bytes. (Where they agree, the directory's own
// bytes decode the same way, since every rule keeps "/" as it is.)
void ArchiveFacts::nameImpliedDirectories() {
    const std::vector<ArchiveMember>& members = m_rIndex.members();
    std::vector<bool> named(members.size(), false);
    for (std::size_t i = 0; i < members.size() && !members[i].bImplied; ++i) {
        const std::string& stored = members[i].name;
        const std::string& decoded = m_names[i];
        if (decoded == stored) continue;
        std::string::size_type storedSlash = 0, decodedSlash = 0;
        while ((storedSlash = stored.find('/', storedSlash)) != std::string::npos && storedSlash + 1 < stored.size()) {
            decodedSlash = decoded.find('/', decodedSlash);
            if (decodedSlash == std::string::npos) break;  // the decoded name has fewer levels: nothing to match
            ++storedSlash;
            ++decodedSlash;
            // One "/" in front: the index then looks the prefix up as stored, a leading "/" of its own kept.
            const ArchiveMember* pAncestor = m_rIndex.find("/" + stored.substr(0, storedSlash));
            if (!pAncestor || !pAncestor->bImplied || pAncestor->name.empty()) continue;
            const std::size_t position = positionOf(*pAncestor);
            if (named[position]) continue;
            named[position] = true;
            m_names[position] = decoded.substr(0, decodedSlash);
        }
    }
}

std::size_t ArchiveFacts::positionOf(const ArchiveMember& member) const {
    const std::vector<ArchiveMember>& members = m_rIndex.members();
    if (members.empty() || &member < members.data() || &member >= members.data() + members.size())
        return members.size();  // the top level
    return static_cast<std::size_t>(&member - members.data());
}

const std::string& ArchiveFacts::name(const ArchiveMember& member) const {
    const std::size_t position = positionOf(member);
    return position < m_names.size() ? m_names[position] : m_strEmpty;
}

Refusal ArchiveFacts::refusal(const ArchiveMember& member) const {
    const std::size_t position = positionOf(member);
    return position < m_refusals.size() ? m_refusals[position] : Refusal::None;
}

const ArchiveMember* ArchiveFacts::find(const std::string& path) const {
    const ArchiveMember* pFound = m_rIndex.find(path);
    if (pFound) return pFound;
    const bool bDotSlash = path.compare(0, 2, "./") == 0;
    std::call_once(m_nameMapBuilt, [this] { buildNameMap(); });
    std::string key = bDotSlash ? path.substr(2) : path.compare(0, 1, "/") == 0 ? path.substr(1) : path;
    const bool bWantsDirectory = !key.empty() && key.back() == '/';
    key = keyOf(key);
    if (key.empty()) return m_rIndex.find("");
    const auto found = m_byDecodedName.find(key);
    if (found == m_byDecodedName.end() || (bWantsDirectory && !found->second->bDirectory)) return nullptr;
    return found->second;
}

void ArchiveFacts::buildNameMap() const {
    const std::vector<ArchiveMember>& members = m_rIndex.members();
    m_byDecodedName.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string key = keyOf(m_names[i]);
        if (!key.empty()) m_byDecodedName.emplace(key, &members[i]);
    }
}

const std::vector<const ArchiveMember*>& ArchiveFacts::children(const ArchiveMember& directory) const {
    static const std::vector<const ArchiveMember*> none;
    std::call_once(m_childrenBuilt, [this] { buildChildren(); });
    const auto found = m_children.find(&directory);
    return found == m_children.end() ? none : found->second;
}

void ArchiveFacts::buildChildren() const {
    for (const ArchiveMember& member : m_rIndex.members()) {
        const std::string key = keyOf(member.name);
        if (key.empty()) continue;
        const std::string::size_type slash = key.rfind('/');
        // "/" + the parent's name with its "/": found as stored, and only as a directory.
        const ArchiveMember* pParent =
            m_rIndex.find(slash == std::string::npos ? std::string("/") : "/" + key.substr(0, slash + 1));
        if (pParent) m_children[pParent].push_back(&member);
    }
}

}  // namespace Tool
}  // namespace Tamsor
