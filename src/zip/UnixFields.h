#ifndef TAMSOR_SRC_UNIXFIELDS_H
#define TAMSOR_SRC_UNIXFIELDS_H

// The Unix extra fields of a central-directory record: PKWARE's (0x000d: times, owner, then a link's name or a
// device's numbers) and Info-ZIP's three (0x5855, 0x7855, 0x7875: times and owner), and the kind of member that
// they and the Unix mode make together. Every length is checked against the bytes given; a field that does not
// hold together is ignored, never trusted in part. Pure functions, safe from any thread; each costs one pass
// over its field.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tamsor/ArchiveMember.h"

namespace Tamsor {
namespace ZipRecords {

// What the Unix fields of one record said, gathered while its extra fields are read: the details the index keeps,
// and what only the member's kind can make sense of (the variable data of PKWARE's field, the times).
struct UnixFields {
    MemberDetails details;
    bool bUnixField = false;  // PKWARE's field held together
    std::string unixData;     // its variable data: a link's name, or a device's major and minor numbers
    bool bUnixTime = false;   // a modification time from PKWARE's field or Info-ZIP's type 1 (UTC seconds)
    std::int64_t unixTime = 0;

    // Back to nothing said, keeping the strings' storage (one of these serves every record of a directory).
    void clear();
};

// PKWARE's field: atime (4), mtime (4), uid (2), gid (2), then the variable data. False when shorter than 12.
bool readPkwareUnix(const unsigned char* p, std::size_t length, UnixFields& rFields);
// Info-ZIP's type 1: atime (4), mtime (4), then uid (2) and gid (2) when present (local headers only, mostly).
bool readInfoZipUnix1(const unsigned char* p, std::size_t length, UnixFields& rFields);
// Info-ZIP's type 2: uid (2) and gid (2); empty in a central record, which then says nothing.
bool readInfoZipUnix2(const unsigned char* p, std::size_t length, UnixFields& rFields);
// Info-ZIP's new Unix field: version 1, the uid's size and the uid, the gid's size and the gid (little-endian, up
// to 8 bytes each); taken when both fit 32 bits.
bool readInfoZipUnixNew(const unsigned char* p, std::size_t length, UnixFields& rFields);

// The member's kind from its Unix mode (host 3) and PKWARE's field, with the details that follow from the kind:
// a regular file whose field names a link is a HardLink, a symbolic link takes that name as its target, a
// device takes its numbers (8 bytes of them, else none). Directories are named by their trailing "/" as before.
// Sets rMember.kind, and rMember.bHasDetails when the details say anything.
void settleKind(ArchiveMember& rMember, UnixFields& rFields);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
