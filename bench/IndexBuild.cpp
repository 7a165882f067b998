// The time to build the member index of one archive, once, in this process.
//
//   index_build ARCHIVE [PATH]
//
// Builds Tamsor::ArchiveIndex(fileSystem, ARCHIVE) (a plain ZIPFileSystem, unbound: the index reads the archive
// itself, as the zipfs tool and its mount do) and prints "<members> <seconds> <VmHWM in KiB>": the members and
// implied directories indexed, the wall-clock seconds the constructor took, and the process's peak resident
// memory after it. With PATH, also looks PATH up and fails when it is not in the index (a check that the index
// is whole). Exits 1, saying why on standard error, when the index is not valid.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "PeakResident.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/ZIPFileSystem.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE [PATH]\n", argv[0]);
        return 1;
    }
    std::unique_ptr<Tamsor::ZIPFileSystem> pFileSystem(new Tamsor::ZIPFileSystem());
    const auto start = std::chrono::steady_clock::now();
    const Tamsor::ArchiveIndex index(*pFileSystem, argv[1]);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    if (!index.isValid()) {
        std::fprintf(stderr, "%s: %s %s\n", argv[0], argv[1], index.error().c_str());
        return 1;
    }
    if (argc == 3 && index.find(argv[2]) == Tamsor::kNoMember) {
        std::fprintf(stderr, "%s: %s is not in the index of %s\n", argv[0], argv[2], argv[1]);
        return 1;
    }
    std::printf("%zu %.6f %ld\n", index.size(), seconds.count(), peakResidentKiB());
    return 0;
}
