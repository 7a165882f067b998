// Reads a file the way the mount benchmarks do, through whatever file system holds it:
//
//   file_reads random FILE COUNT SIZE   one open, COUNT reads of SIZE bytes at pseudo-random offsets (the
//                                       same offsets on every run and every file system), close
//   file_reads reopen FILE COUNT SIZE   COUNT times: open, read the last SIZE bytes, close
//
// Prints a checksum of the bytes read, so that two file systems can be compared, and exits 0; or says what
// failed on standard error and exits 1.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// splitmix64: a fixed sequence, the same everywhere.
std::uint64_t nextRandom(std::uint64_t& rState) {
    std::uint64_t z = (rState += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

bool readAt(int fd, std::vector<char>& rBuffer, std::uint64_t offset, std::uint64_t& rChecksum) {
    std::size_t done = 0;
    while (done < rBuffer.size()) {
        const ssize_t n = pread(fd, &rBuffer[done], rBuffer.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    for (char c : rBuffer) rChecksum = rChecksum * 31 + static_cast<unsigned char>(c);
    return true;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "file_reads: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: file_reads random|reopen FILE COUNT SIZE\n");
        return 1;
    }
    const std::string mode = argv[1], path = argv[2];
    const long count = std::atol(argv[3]);
    std::vector<char> buffer(static_cast<std::size_t>(std::atol(argv[4])));
    struct stat attributes;
    if (stat(path.c_str(), &attributes) != 0) return fail(path);
    const std::uint64_t size = static_cast<std::uint64_t>(attributes.st_size);
    if (size < buffer.size()) return fail(path + " is smaller than one read");
    std::uint64_t checksum = 0, state = 1;
    int fd = -1;
    for (long i = 0; i < count; ++i) {
        if (fd < 0 && (fd = open(path.c_str(), O_RDONLY)) < 0) return fail(path);
        const std::uint64_t offset =
            mode == "random" ? nextRandom(state) % (size - buffer.size() + 1) : size - buffer.size();
        if (!readAt(fd, buffer, offset, checksum)) return fail(path + " at " + std::to_string(offset));
        if (mode != "random" || i + 1 == count) {
            close(fd);
            fd = -1;
        }
    }
    std::printf("%llu\n", static_cast<unsigned long long>(checksum));
    return 0;
}
