#ifndef TAMSOR_TOOLS_MEMBERREADER_H
#define TAMSOR_TOOLS_MEMBERREADER_H

// Reading one member through the file system's File handles, in fixed pieces (constant memory), checking its
// length and CRC-32 against the index at the end.

#include <cstddef>
#include <functional>
#include <set>
#include <string>

#include "tamsor/ArchiveIndex.h"
#include "tamsor/VirtualFileSystem.h"

namespace Tamsor {
namespace Tool {

enum class ReadOutcome { Ok, OpenFailed, ReadFailed, WriteFailed, SizeMismatch, CrcMismatch };

// Receives each piece; returns false to stop (the outcome is then WriteFailed).
typedef std::function<bool(const char* data, std::size_t length)> PieceSink;

// Large pieces: zlib copies its window once per inflate call, so fewer, larger reads inflate faster (64 KiB
// pieces cost `zipfs cat` about 5% against 1 MiB ones). Memory stays constant whatever the member's size.
const std::size_t kPieceSize = 1024 * 1024;

// Streams `member` from `fileSystem` into `sink`. The member is opened by its stored name exactly: the file
// system drops one leading "/" from the name it is given, so one is put in front.
ReadOutcome readMember(VirtualFileSystem& fileSystem, const ArchiveMember& member, const PieceSink& sink);

// A few words for messages: "CRC mismatch", "read error", ...
std::string describeOutcome(ReadOutcome outcome, const ArchiveMember& member);

// The path to give the file system for a stored name, so that it is looked up as stored.
std::string lookupPath(const std::string& strStoredName);

// Why the file system cannot give the bytes of stored member `member`, or "" when it can. `rSeenNames` holds
// the names of the members met so far in central-directory order and gets this one's: a later member with a
// name already seen is unreachable (lookups find the first), and so is a name with a NUL byte in it (the
// file system takes names as C strings).
std::string unreachableReason(const ArchiveMember& member, std::set<std::string>& rSeenNames);

}  // namespace Tool
}  // namespace Tamsor

#endif
