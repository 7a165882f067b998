#ifndef TAMSOR_SRC_LOCALRECORDS_H
#define TAMSOR_SRC_LOCALRECORDS_H

// A member's local records (its local header, and the data descriptor that the header may announce) held
// against its central directory entry. A reader that walks the local headers, as streaming readers do, reads
// the member from these records alone: where they tell another story (another name, method, encryption flag,
// WinZip AES field, CRC-32 or sizes; a data descriptor with other values; an end that runs into the next member;
// a local header that the directory does not list right after the data) the member is refused, so that no two
// readers are handed different bytes for it.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {
namespace ZipRecords {

// Exactly `length` bytes of the archive file at `offset` into `pBuffer`; false when they cannot be had.
typedef std::function<bool(std::uint64_t offset, void* pBuffer, std::size_t length)> ReadExactly;

// Ok, with the offset of the member's data in `rDataOffset`, or why the member cannot be read: IoError,
// BadLocalHeader (no local header there, or its data runs past the end of the file), SizeMismatch (an unencrypted
// stored member whose sizes differ), or one of the mismatches above. (An encrypted member, its flag set in both
// headers, is the caller's to open or refuse: its central entry says how it is encrypted.) Reads the
// local header (one read, two when its extra field is long), then the bytes after the data when the header
// announces a data descriptor or the data ends before uiDataLimit. Safe from any thread.
ReadStatus checkLocalRecords(const ArchiveMember& member, std::uint64_t uiFileSize, const ReadExactly& readExactly,
                             std::uint64_t& rDataOffset);

}  // namespace ZipRecords
}  // namespace Tamsor

#endif
