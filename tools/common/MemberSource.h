#ifndef TAMSOR_TOOLS_MEMBERSOURCE_H
#define TAMSOR_TOOLS_MEMBERSOURCE_H

// The archive a zipfs command works on: the file system whose I/O table reads it (plain or scrambled), its
// member index read by path (so that archives binding refuses, zip64 or of more than 65,535 members, are
// known too), what is shown of each member, and whole-member reads. Every command opens archives here, so the
// same archive gets the same words from all of them.
//
// Threads: one at a time. Costs: open() reads the end records and the central directory once; readWhole()
// reads the member once through the library's member reader (stored members in place, deflated ones
// inflated once), in pieces of kPieceSize, in constant memory.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveFacts.h"
#include "ArchiveKind.h"
#include "Password.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {
namespace Tool {

// What a read of a whole member came to: the member reader's status (Ok, or why the member cannot be read or was
// found bad), or a sink that said stop.
struct ReadResult {
    ReadStatus status = ReadStatus::Ok;
    bool bWriteFailed = false;
    bool ok() const { return status == ReadStatus::Ok && !bWriteFailed; }
};

// Receives each piece in order; returns false to stop (the result is then WriteFailed).
typedef std::function<bool(const char* data, std::size_t length)> PieceSink;

// A symbolic link's target is at most this long (PATH_MAX); a longer one is no link a system can follow.
const std::size_t kLinkTargetLimit = 4096;

// Few, large pieces: every piece costs a call down to the inflater, and memory stays constant anyway.
const std::size_t kPieceSize = 1024 * 1024;

// What of an archive a command looks at: all of it, or the members its operands name (with everything below
// them, for commands that show or extract directories). A look at part of an archive reads the whole central
// directory but keeps only those members, as unzip does when it is given names: a name that is not among them
// (a decoded name, say) makes the look widen to the whole archive.
struct ArchiveScope {
    std::vector<std::string> paths;  // none: the whole archive
    bool bSubtrees = false;
};

class MemberSource {
  public:
    MemberSource();
    ~MemberSource();
    MemberSource(const MemberSource&) = delete;
    MemberSource& operator=(const MemberSource&) = delete;

    // Settles the kind (detected unless `choice` forces it) and reads the index. `pDecoder` (--encoding) may
    // be null and must outlive this. 0, or the exit status after a "zipfs: <command>: ..." line.
    int open(const std::string& path, KindChoice choice, const char* commandName, const NameDecoder* pDecoder,
             const ArchiveScope& scope = ArchiveScope());
    // The member at `path`, as ArchiveFacts::find has it, from the part looked at, or else from the whole archive
    // (which the index then holds: ids found before are ids of the part, and mean nothing after that).
    MemberId find(const std::string& path);

    // Widens a look at part of the archive to the whole when a hard link in it names a member outside it, so
    // that the link finds its bytes (MemberDetails::linkedMember). Ids found before mean nothing after a widening.
    void widenForLinks();

    const ArchiveIndex& index() const { return *m_pIndex; }
    const ArchiveFacts& facts() const { return *m_pFacts; }
    const std::string& path() const { return m_strPath; }
    // The file system whose I/O table reads the archive (plain or scrambled): what a MemberReader reads through.
    const ZIPFileSystem& fileSystem() const { return *m_pFileSystem; }
    // The password of encrypted members: given (--password-file) before the first read, or asked for on the
    // terminal when a read meets an encrypted member without one.
    PasswordSource& passwords() { return m_passwords; }
    const PasswordSource& passwords() const { return m_passwords; }

    // What stops a member from being read at all, known before any byte of it is: the reader's check (a
    // directory, a method no decoder here reads, an encrypted member whose password is missing or wrong, and a
    // member that readers of the format would read differently); Ok otherwise. Reads the member's local records
    // once. An encrypted member met without a password has the terminal asked for one, once.
    // Each call copies the member out of the index (index.member()) once, for the reader.
    ReadResult check(MemberId id);

    // Streams the member's bytes into `sink` (none: read and check only); their length and CRC-32 are checked
    // as the end is reached, and the piece that reaches the end is handed out only when they match. Refusals
    // known beforehand (check()) come before the first byte.
    ReadResult readWhole(MemberId id, const PieceSink& sink);

    // Up to `limit` bytes of a small member (a symbolic link's target) into `rText`; Ok only when the whole
    // member fitted and checked out.
    ReadResult readSmall(MemberId id, std::size_t limit, std::string& rText);

    // Words for messages: "encrypted members are not supported", "CRC mismatch", "its data overlaps that of
    // member 'b.txt': a possible zip bomb", ...
    std::string describe(ReadResult result, MemberId id) const;

    // The library's own view of the archive: its file system bound to it, or null with binding's reason
    // ("it holds 70000 entries; ...") in `rReason`. Bound on first use.
    VirtualFileSystem* boundFileSystem(std::string& rReason);

  private:
    MemberReader& reader();
    ReadResult check(const ArchiveMember& member);
    std::string overlapText(const MemberRecord& member) const;

    std::unique_ptr<ZIPFileSystem> m_pFileSystem;
    // Reads the index of the archive (or of the part `scope` names); false after an error line.
    bool readIndex(const ArchiveScope& scope);

    std::unique_ptr<ArchiveIndex> m_pIndex;
    std::unique_ptr<MemberReader> m_pReader;  // made on the first read, again when a password comes
    PasswordSource m_passwords;
    std::unique_ptr<ArchiveFacts> m_pFacts;
    const NameDecoder* m_pDecoder = nullptr;
    std::string m_strCommand;  // for error lines
    KindChoice m_choice = KindChoice::Detect;
    bool m_bPartial = false;     // the index holds the part a scope names
    std::vector<char> m_buffer;  // the pieces of every read
    std::string m_strPath;
    bool m_bScrambled = false;
    int m_bindState = 0;  // 0 not tried, 1 bound, -1 refused
    std::string m_strBindRefusal;
};

// Resolves the kind a command works with: the forced one, else the detected one (a file that looks like
// neither is tried as plain). 0, or the exit status after an error line.
int resolveArchiveKind(const std::string& path, KindChoice choice, const char* commandName, bool& rbScrambled);

// The path to give the library for a stored name, so that it is looked up as stored (it drops one leading
// "/" from what it is given).
std::string lookupPath(std::string_view storedName);

}  // namespace Tool
}  // namespace Tamsor

#endif
