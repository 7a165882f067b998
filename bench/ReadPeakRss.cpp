// Peak resident memory of a process that reads whole members of an archive in 64 KiB reads.
//
//   read_peak_rss ARCHIVE MEMBER...          through a ZIPFileSystem
//   read_peak_rss_zziplib ARCHIVE MEMBER...  through zziplib called directly (same source, built without the
//                                            library, so that its process does not load what it never uses)
//
// Prints "<bytes read> <VmHWM in KiB>" and exits 0, or says what failed on standard error and exits 1.

#include <fcntl.h>
#include <zzip/zzip.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "PeakResident.h"

#ifndef TAMSOR_PEAK_RSS_ZZIPLIB
#include "tamsor/ZIPFileSystem.h"
#endif

namespace {

const unsigned int kChunk = 64 << 10;

#ifdef TAMSOR_PEAK_RSS_ZZIPLIB
// Bytes of all the members, or -1 when one cannot be opened or read.
std::int64_t readMembers(const char* archive, char** members, int count) {
    zzip_error_t error = ZZIP_NO_ERROR;
    ZZIP_DIR* pDir = zzip_dir_open(archive, &error);
    if (!pDir) return -1;
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (int i = 0; i < count && total >= 0; ++i) {
        ZZIP_FILE* pFile = zzip_file_open(pDir, members[i], 0);
        if (!pFile) {
            total = -1;
            break;
        }
        zzip_ssize_t got = 0;
        while ((got = zzip_read(pFile, buffer.data(), kChunk)) > 0) total += got;
        if (got < 0) total = -1;
        zzip_file_close(pFile);
    }
    zzip_dir_close(pDir);
    return total;
}
#else
std::int64_t readMembers(const char* archive, char** members, int count) {
    std::unique_ptr<Tamsor::ZIPFileSystem> pFileSystem(new Tamsor::ZIPFileSystem());
    if (!pFileSystem->setZIPArchive(archive)) return -1;
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        Tamsor::VirtualFileSystem::FileHandle file = pFileSystem->open(members[i], O_RDONLY);
        if (file.isNull()) return -1;
        int got = 0;
        while ((got = file->read(buffer.data(), kChunk)) > 0) total += got;
        if (got < 0) return -1;
    }
    return total;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE MEMBER...\n", argv[0]);
        return 1;
    }
    const std::int64_t total = readMembers(argv[1], argv + 2, argc - 2);
    if (total < 0) {
        std::fprintf(stderr, "%s: cannot read the members of %s\n", argv[0], argv[1]);
        return 1;
    }
    std::printf("%lld %ld\n", static_cast<long long>(total), peakResidentKiB());
    return 0;
}
