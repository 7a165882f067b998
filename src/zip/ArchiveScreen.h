#ifndef TAMSOR_SRC_ARCHIVESCREEN_H
#define TAMSOR_SRC_ARCHIVESCREEN_H

// A look at an archive's end records and central directory, read the way zziplib reads them, before zziplib is
// given the archive. It refuses only what zziplib would show in part, show wrong or hang on:
//   - more than 65535 entries (zziplib reads no zip64 record: it would list the first 65535 and say nothing);
//   - an end record that counts fewer entries than its central directory holds (zziplib walks that count);
//   - a last record that runs past the directory's end (zziplib drops it from the listing);
//   - sizes or offsets kept in zip64 records only, behind 0xFFFFFFFF markers (zziplib takes the markers);
//   - records that do not hold together (zziplib fails on them itself, or lists what is not there);
//   - a FIFO, as "not a regular file" (zziplib's open would wait for a writer forever).
// Everything else passes, zziplib's own refusals included: archives spanning "disks", zip64 records beside
// complete classic ones, members of 2 GiB and more (zziplib reads them right), files too short for an end
// record. Reading goes through the file system's I/O table, so scrambled archives are screened as they are
// read, and every read goes on over short reads, so the listing found is the one on disk.

#include <cstdint>
#include <string>

#include "ZipRecords.h"

union _zzip_plugin_io;

namespace Tamsor {

// The file a screening read, as stat tells it: while none of it changes, neither do the file's bytes. A file
// that cannot be stat'ed has iSize -1, and is never taken for unchanged.
struct ScreenedFile {
    std::uint64_t uiDevice = 0;
    std::uint64_t uiInode = 0;
    std::int64_t iSize = -1;
    std::int64_t iModified = 0;  // modification and status change times, in nanoseconds
    std::int64_t iChanged = 0;

    bool isUnchanged(const ScreenedFile& now) const;
};

// The file at `path` as it stands now. One stat call.
ScreenedFile screenedFileAt(const char* path);

struct ArchiveScreening {
    // Empty when the archive may be handed to zziplib; otherwise why not, as the rest of a sentence that
    // begins with the archive's path ("holds 70000 entries; more than 65535 are not supported").
    std::string strRefusal;
    bool bBlocking = false;      // refused because zziplib's open would not return: never hand it over
    std::int64_t iEntries = -1;  // the entries zziplib must list; -1 when the directory was not read
    std::uint64_t uiDigest = 0;  // the ZipRecords::ListingDigest value of those entries
    ScreenedFile file;           // the file as it stood before it was read
};

// Screens the archive at `path` through `pIO`. An archive that cannot be opened, holds no end record or
// whose directory cannot be read passes unread (iEntries -1): zziplib's own open decides. Reads the last
// 64 KiB of the file and its central directory, each in one go. Safe from any thread.
ArchiveScreening screenArchive(const char* path, union _zzip_plugin_io* pIO);

}  // namespace Tamsor

#endif
