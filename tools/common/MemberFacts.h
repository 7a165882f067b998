#ifndef TAMSOR_TOOLS_MEMBERFACTS_H
#define TAMSOR_TOOLS_MEMBERFACTS_H

// What zipfs and its mount show of each member, from the member index alone: the name as text, the kind
// and mode, the method's name, and whether the library's own file system would hand the member out.
//
// Names: the UTF-8 flag (bit 11) means the stored bytes are UTF-8; else the Unicode Path field, when its CRC
// matched the stored name; else, with --encoding, the stored bytes decoded from that code set; else the stored
// bytes when they are valid UTF-8 (what Info-ZIP writes on Unix); else code page 437, the format's default.
// An implied directory takes its name from the first member below it, so that it matches its contents.
//
// Modes: members made on Unix (host 3) carry their st_mode in the external attributes and keep it (a symbolic
// link is a member whose mode says S_IFLNK; its target is its content); anything else, and a Unix member that
// stored no mode, is 0644 for a file and 0755 for a directory.
//
// Threads: an ArchiveFacts is built on one thread; after that every call may come from any thread (what is
// built on first use is built once, under std::call_once).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "TextEncoding.h"
#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace Tool {

// "stored", "deflated", "bzip2", "lzma", "zstd", ..., "aes" (99), or "method N".
std::string methodName(std::uint16_t uiMethod);
// "zipcrypto", "aes128", "aes192", "aes256", "unsupported"; "" for none.
const char* encryptionName(EncryptionKind kind);
// The method the data is compressed with, and its encryption: "deflated", "bzip2+aes256", "stored+zipcrypto".
std::string methodLabel(const ArchiveMember& member);

// The st_mode shown for `member`: type bits (S_IFREG, S_IFDIR or S_IFLNK) and permission bits, as above.
mode_t memberMode(const ArchiveMember& member);
inline bool isSymlink(const ArchiveMember& member) {
    return S_ISLNK(memberMode(member));
}

// A stored member's name as UTF-8 text by the rules above (implied directories aside); `pDecoder` as for
// ArchiveFacts.
std::string decodeName(const ArchiveMember& member, const NameDecoder* pDecoder);

// "file", "symlink", "directory" or "implied directory".
const char* kindName(const ArchiveMember& member);

// Why zipfs will not hand out a member's bytes (or not by its name), or None: a lookup by name finds the first
// of several members of one name (as the library's does) and stops at a NUL byte; an empty name names nothing;
// no decoder here reads its method, or no cipher its encryption; readers of the format would read it differently
// (see MemberFlaw). An encrypted member is not refused: its password opens it.
enum class Refusal { None, EmptyName, NulByte, Duplicate, Encryption, Method, Ambiguous };

// "ppmd", "encryption", "duplicate name", "ambiguous", ...; "" for None.
std::string refusalText(Refusal refusal, const ArchiveMember& member);

class ArchiveFacts {
  public:
    // `pDecoder` (--encoding), when not null, must outlive this; so must `index`. Costs one pass over the
    // members: a UTF-8 check of each name and a hash of each stored name.
    ArchiveFacts(const ArchiveIndex& index, const NameDecoder* pDecoder);

    // The member's name as UTF-8 text (directories end in "/"; control bytes are left to the caller); ""
    // for the top level.
    const std::string& name(const ArchiveMember& member) const;
    Refusal refusal(const ArchiveMember& member) const;

    // The member at `path`, a stored or a decoded name: one leading "/" or "./" is ignored, and a directory is
    // found with or without its trailing "/"; "" gives the top level. Null when there is none.
    const ArchiveMember* find(const std::string& path) const;

    // Every member directly inside `directory`, in index order, later members of one name included (a
    // later directory of a name has no children of its own: they are the first one's). Built on first use.
    const std::vector<const ArchiveMember*>& children(const ArchiveMember& directory) const;

    const ArchiveIndex& index() const { return m_rIndex; }

  private:
    std::size_t positionOf(const ArchiveMember& member) const;
    void nameImpliedDirectories();
    void buildChildren() const;
    void buildNameMap() const;

    const ArchiveIndex& m_rIndex;
    std::vector<std::string> m_names;  // by position in the index
    std::vector<Refusal> m_refusals;
    const std::string m_strEmpty;

    mutable std::once_flag m_childrenBuilt;
    mutable std::unordered_map<const ArchiveMember*, std::vector<const ArchiveMember*>> m_children;
    mutable std::once_flag m_nameMapBuilt;
    mutable std::unordered_map<std::string, const ArchiveMember*> m_byDecodedName;  // key: name less "/"
};

}  // namespace Tool
}  // namespace Tamsor

#endif
