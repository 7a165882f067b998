#ifndef TAMSOR_TOOLS_MEMBERFACTS_H
#define TAMSOR_TOOLS_MEMBERFACTS_H

// What zipfs and its mount show of one member, from its record alone: the name as text, the kind and mode,
// the method's name, and the words for a refusal. Pure functions; ArchiveFacts applies them to a whole index.
//
// Names: the UTF-8 flag (bit 11) means the stored bytes are UTF-8; else the Unicode Path field, when its CRC
// matched the stored name; else, with --encoding, the stored bytes decoded from that code set; else the stored
// bytes when they are valid UTF-8 (what Info-ZIP writes on Unix); else, without --encoding, the code page guessed
// for the whole archive (NameCharset), when there is one and the name is text of it; else code page 437, the
// format's default.
//
// Kinds and modes: the kind is the library's (MemberRecord::kind: from the Unix mode and PKWARE's Unix field);
// the type bits follow it (a hard link is a regular file, as `ls -l` shows one). Members made on Unix (host 3)
// carry their permission bits in the external attributes and keep them; anything else, and a Unix member that
// stored no mode, is 0644 for a file and 0755 for a directory.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "NameCharset.h"
#include "TextEncoding.h"
#include "tamsor/ArchiveMember.h"

namespace Tamsor {
namespace Tool {

// "stored", "deflated", "bzip2", "lzma", "zstd", ..., "aes" (99), or "method N".
std::string methodName(std::uint16_t uiMethod);
// "zipcrypto", "aes128", "aes192", "aes256", "unsupported"; "" for none.
const char* encryptionName(EncryptionKind kind);
// The method the data is compressed with, and its encryption: "deflated", "bzip2+aes256", "stored+zipcrypto".
std::string methodLabel(const MemberRecord& member);

// The st_mode shown for `member`: type bits by its kind and permission bits, as above.
mode_t memberMode(const MemberRecord& member);
inline bool isSymlink(const MemberRecord& member) {
    return member.kind == MemberKind::Symlink;
}
// A FIFO, socket or device: nothing in the archive is its content.
inline bool isSpecial(const MemberRecord& member) {
    return member.kind == MemberKind::Fifo || member.kind == MemberKind::Socket ||
           member.kind == MemberKind::BlockDevice || member.kind == MemberKind::CharacterDevice;
}

// A stored member's name (`name`, its Unicode Path field's `unicodeName`) as UTF-8 text by the rules above: true,
// with the text in `rText`, when the text is not the stored bytes; false when the stored bytes are the text (most
// names: then nothing is copied). `pDecoder` is --encoding's, `pCharset` the guessed code page; either may be
// null. Costs one pass over the name.
bool decodedText(const MemberRecord& member, std::string_view name, std::string_view unicodeName,
                 const NameDecoder* pDecoder, const NameCharset* pCharset, std::string& rText);
// The same as a string, for a member copied out of its index (implied directories aside).
std::string decodeName(const ArchiveMember& member, const NameDecoder* pDecoder);

// "file", "symlink", "hard link", "fifo", "socket", "block device", "character device", "directory" or
// "implied directory".
const char* kindName(const MemberRecord& member);

// Why zipfs will not hand out a member's bytes (or not by its name), or None: a lookup by name finds the first
// of several members of one name (as the library's does) and stops at a NUL byte; an empty name names nothing;
// no decoder here reads its method, or no cipher its encryption; readers of the format would read it differently
// (see MemberFlaw). An encrypted member is not refused: its password opens it.
enum class Refusal : std::uint8_t { None, EmptyName, NulByte, Duplicate, Encryption, Method, Ambiguous };

// "ppmd", "encryption", "duplicate name", "ambiguous", ...; "" for None.
std::string refusalText(Refusal refusal, const MemberRecord& member);

}  // namespace Tool
}  // namespace Tamsor

#endif
