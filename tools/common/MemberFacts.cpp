#include "MemberFacts.h"

namespace Tamsor {
namespace Tool {

namespace {

const mode_t kDefaultFileMode = 0644;
const mode_t kDefaultDirectoryMode = 0755;

}  // namespace

bool decodedText(const MemberRecord& member, std::string_view name, std::string_view unicodeName,
                 const NameDecoder* pDecoder, const NameCharset* pCharset, std::string& rText) {
    if (member.hasUtf8Name()) return false;
    if (!unicodeName.empty()) {
        rText.assign(unicodeName);
        if (member.bDirectory && unicodeName.back() != '/') rText += '/';
        return rText != name;
    }
    if (pDecoder && pDecoder->decode(name, rText)) return rText != name;
    if (isValidUtf8(name)) return false;
    if (pCharset && pCharset->decode(name, rText)) return true;
    rText = cp437ToUtf8(name);
    return true;
}

std::string decodeName(const ArchiveMember& member, const NameDecoder* pDecoder) {
    std::string text;
    return decodedText(member, member.name, member.unicodeName, pDecoder, nullptr, text) ? text : member.name;
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

std::string methodLabel(const MemberRecord& member) {
    const EncryptionKind kind = member.encryption();
    const std::string method = methodName(member.compressionMethod());
    return kind == EncryptionKind::None ? method : method + "+" + encryptionName(kind);
}

mode_t memberMode(const MemberRecord& member) {
    const mode_t stored = member.hasUnixMode() ? static_cast<mode_t>(member.uiExternalAttributes >> 16) : 0;
    if (member.bDirectory) return S_IFDIR | (stored != 0 ? stored & 07777 : kDefaultDirectoryMode);
    const mode_t kTypes[] = {S_IFREG, S_IFDIR, S_IFLNK, S_IFREG, S_IFIFO, S_IFSOCK, S_IFBLK, S_IFCHR};
    return kTypes[static_cast<int>(member.kind)] | (stored != 0 ? stored & 07777 : kDefaultFileMode);
}

const char* kindName(const MemberRecord& member) {
    if (member.bDirectory) return member.bImplied ? "implied directory" : "directory";
    const char* const kNames[] = {"file", "directory", "symlink",      "hard link",
                                  "fifo", "socket",    "block device", "character device"};
    return kNames[static_cast<int>(member.kind)];
}

std::string refusalText(Refusal refusal, const MemberRecord& member) {
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

}  // namespace Tool
}  // namespace Tamsor
