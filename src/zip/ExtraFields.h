#ifndef TAMSOR_SRC_EXTRAFIELDS_H
#define TAMSOR_SRC_EXTRAFIELDS_H

// What the extra fields of a central-directory record add to its member: the zip64 sizes and local-header
// offset, exact UTC times (extended timestamp, NTFS, the Unix fields), the Info-ZIP Unicode Path, WinZip's AES
// field, and the owner, link name and device numbers of the Unix fields (UnixFields.h). Every
// length in the fields is checked against the bytes given; a field that does not hold together is ignored, never
// trusted in part.

#include <cstddef>

#include "UnixFields.h"
#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace ZipRecords {

// Reads the `length` bytes of extra fields at `p` into `rMember`, which holds what the record's fixed part says:
// its sizes and local-header offset (zip64 values replace those that hold 0xFFFFFFFF), its stored name (the
// Unicode Path must carry that name's CRC-32) and its MS-DOS time (replaced by a better one in the order TimeSource
// gives). What the Unix and NTFS fields say beyond the record goes to `rUnix`, cleared first. A block whose length
// runs past the area ends the reading. Costs one pass over the bytes and, with a Unicode Path, a CRC-32 of the
// name. Safe from any thread.
void readExtraFields(const unsigned char* p, std::size_t length, ArchiveMember& rMember, UnixFields& rUnix);

// The first WinZip AES field (0x9901) of the `length` bytes of extra fields at `p` (a central record's or a local
// header's) into `rMember`'s uiAesVersion, uiAesStrength and uiAesMethod, when it holds together: 7 bytes,
// version 1 or 2, vendor "AE", strength 1 to 3. Otherwise they are left 0. One pass over the bytes.
void readAesField(const unsigned char* p, std::size_t length, ArchiveMember& rMember);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
