#ifndef TAMSOR_SRC_ARCHIVESCREEN_H
#define TAMSOR_SRC_ARCHIVESCREEN_H

// A cheap look at an archive's end records and central directory before zziplib is given the archive, to
// refuse what zziplib would read only in part, read wrongly, or trip over:
//   - zip64 archives: zziplib reads no zip64 record, so it would show only the first 65535 members of a larger
//     archive, and sizes of 2 GiB and more come back negative;
//   - members of 2 GiB or more (zziplib's sizes are int);
//   - end records and central directories that lie about their place or their entry count;
//   - files that are not regular files (a FIFO would block zziplib's open forever) or are too short to hold an
//     end record (zziplib's end-record search reads past such a short buffer).
// Reading goes through the file system's I/O table, so scrambled archives are screened as they are read.

#include <cstdint>
#include <string>

#include "ZipRecords.h"

union _zzip_plugin_io;

namespace Tamsor {

// Empty when the archive at `path` may be handed to zziplib; otherwise why not, as the rest of a sentence
// that begins with the archive's path ("holds 70000 entries; more than 65535 are not supported"). An archive
// that cannot be opened or holds no end record at all passes: zziplib's own open then fails it.
// When `pEntries` and `pDigest` are given, an archive that passes with its central directory read and found
// sound gives its number of entries and the ZipRecords::ListingDigest value of its listing; otherwise
// *pEntries is -1 (an archive passed unread, or refused).
// Reads at most the last 64 KiB of the file and its central directory. Safe from any thread.
std::string screenArchive(const char* path, union _zzip_plugin_io* pIO, std::int64_t* pEntries = nullptr,
                          std::uint64_t* pDigest = nullptr);

}  // namespace Tamsor

#endif
