// The library's reads and directory walk against the same work done by calling the readers a host would
// otherwise use: zziplib directly and, when it was found at configure time, libzip.
//
// The archives come from bench/make-archives, named by the environment (bench/run sets them):
//   BENCH_ARCHIVE          plain archive holding a large deflated and a large stored member
//   BENCH_SCRAMBLED        the scrambled twin of BENCH_ARCHIVE
//   BENCH_TREE             many small files in directories, with a member for every directory
//   BENCH_DEFLATED_MEMBER  default big.txt
//   BENCH_STORED_MEMBER    default big.bin
//
// Benchmarks (bytes per second from CPU time, the default; bench/run reads both CPU and real time):
//   read/<reader>/<kind>  one whole member in 64 KiB reads per iteration (bytes per second, and the bytes
//                         of one iteration as the counter bytes); reader is library, zziplib, libzip or
//                         scrambled (the library on BENCH_SCRAMBLED), kind is deflated or stored
//   walk/<walker>         every directory listed, then every file read (time per iteration); walker is
//                         library or zziplib. The counters files, dirs and bytes let a caller check that both
//                         walkers did the same work.
//   reader/random         200 reads of 64 KiB at random offsets (one fixed sequence) in the deflated member
//                         through a fresh MemberReader per iteration (time per iteration); library/random does
//                         the same with the library's File, lseek then read
//   reader/deflated       the deflated member read whole in 64 KiB reads through a fresh MemberReader;
//                         zlib/deflated inflates the member's raw deflate stream with zlib, reading it with
//                         pread in 64 KiB pieces (bytes per second, as read/...)
// BENCH_ROUNDS (below) repeats them in alternation.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#include <zzip/zzip.h>

#ifdef TAMSOR_BENCH_LIBZIP
#include <zip.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "tamsor/VirtualFileSystem.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/ZIPFileSystem.h"

namespace {

using Tamsor::ArchiveIndex;
using Tamsor::ArchiveMember;
using Tamsor::MemberReader;
using Tamsor::VirtualFileSystem;
using Tamsor::ZIPEncryptedFileSystem;
using Tamsor::ZIPFileSystem;

const unsigned int kChunk = 64 << 10;

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string memberOfKind(const std::string& kind) {
    return kind == "stored" ? fromEnvironment("BENCH_STORED_MEMBER", "big.bin")
                            : fromEnvironment("BENCH_DEFLATED_MEMBER", "big.txt");
}

// ---- whole-member reads ----

// Bytes per second, and the counter "bytes": the bytes of one iteration, so that a caller can check that
// every reader read the whole member.
void reportRead(benchmark::State& state, std::int64_t total) {
    state.SetBytesProcessed(total);
    const std::int64_t iterations = static_cast<std::int64_t>(state.iterations());
    state.counters["bytes"] = iterations > 0 ? static_cast<double>(total / iterations) : 0.0;
}

// Binding and unbinding stay outside the timed loop for every reader: each iteration opens the member, reads
// it to the end and closes it.
template <class FileSystemClass>
void readThroughLibrary(benchmark::State& state, const std::string& archive, const std::string& member) {
    std::unique_ptr<FileSystemClass> pFileSystem(new FileSystemClass());
    if (!pFileSystem->setZIPArchive(archive.c_str())) {
        state.SkipWithError(("cannot bind " + archive).c_str());
        return;
    }
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        VirtualFileSystem::FileHandle file = pFileSystem->open(member.c_str(), O_RDONLY);
        if (file.isNull()) {
            state.SkipWithError(("cannot open " + member).c_str());
            break;
        }
        int count = 0;
        while ((count = file->read(buffer.data(), kChunk)) > 0) total += count;
        benchmark::DoNotOptimize(buffer.data());
        if (count < 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    reportRead(state, total);
}

void readThroughZziplib(benchmark::State& state, const std::string& archive, const std::string& member) {
    zzip_error_t error = ZZIP_NO_ERROR;
    ZZIP_DIR* pDir = zzip_dir_open(archive.c_str(), &error);
    if (!pDir) {
        state.SkipWithError(("cannot open " + archive).c_str());
        return;
    }
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        ZZIP_FILE* pFile = zzip_file_open(pDir, member.c_str(), 0);
        if (!pFile) {
            state.SkipWithError(("cannot open " + member).c_str());
            break;
        }
        zzip_ssize_t count = 0;
        while ((count = zzip_read(pFile, buffer.data(), kChunk)) > 0) total += count;
        benchmark::DoNotOptimize(buffer.data());
        zzip_file_close(pFile);
        if (count < 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    zzip_dir_close(pDir);
    reportRead(state, total);
}

#ifdef TAMSOR_BENCH_LIBZIP
// libzip checks each member's CRC-32 as it reads; that is part of what a host choosing it gets.
void readThroughLibzip(benchmark::State& state, const std::string& archive, const std::string& member) {
    int error = 0;
    zip_t* pArchive = zip_open(archive.c_str(), ZIP_RDONLY, &error);
    if (!pArchive) {
        state.SkipWithError(("cannot open " + archive).c_str());
        return;
    }
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        zip_file_t* pFile = zip_fopen(pArchive, member.c_str(), 0);
        if (!pFile) {
            state.SkipWithError(("cannot open " + member).c_str());
            break;
        }
        zip_int64_t count = 0;
        while ((count = zip_fread(pFile, buffer.data(), kChunk)) > 0) total += count;
        benchmark::DoNotOptimize(buffer.data());
        zip_fclose(pFile);
        if (count < 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    zip_discard(pArchive);
    reportRead(state, total);
}
#endif

// ---- the member reader ----

const int kRandomReads = 200;

// The offsets of the random reads: one fixed sequence, the same for every reader and every run.
std::vector<std::uint64_t> randomOffsets(std::uint64_t size) {
    std::mt19937_64 random(20240102);
    std::vector<std::uint64_t> offsets(kRandomReads);
    for (std::uint64_t& offset : offsets) offset = size > kChunk ? random() % (size - kChunk) : 0;
    return offsets;
}

// The member's entry, from an index of the archive read through a plain file system.
bool findMember(benchmark::State& state, const std::string& archive, const std::string& name, ArchiveMember& rMember) {
    ZIPFileSystem fileSystem;
    const ArchiveIndex index(fileSystem, archive);
    const Tamsor::MemberId id = index.find(name);
    if (id == Tamsor::kNoMember) state.SkipWithError(("no member " + name + " in " + archive).c_str());
    if (id != Tamsor::kNoMember) rMember = index.member(id);
    return id != Tamsor::kNoMember;
}

// Each iteration on a fresh reader: the restart points are made as the reads go.
void randomThroughReader(benchmark::State& state, const std::string& archive, const std::string& name) {
    ArchiveMember member;
    if (!findMember(state, archive, name, member)) return;
    ZIPFileSystem fileSystem;
    const std::vector<std::uint64_t> offsets = randomOffsets(member.uiSize);
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        MemberReader reader(fileSystem, archive);
        for (const std::uint64_t offset : offsets) {
            if (reader.read(member, buffer.data(), kChunk, offset) != kChunk) state.SkipWithError("read failed");
            total += kChunk;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    reportRead(state, total);
}

void randomThroughLibrary(benchmark::State& state, const std::string& archive, const std::string& name) {
    std::unique_ptr<ZIPFileSystem> pFileSystem(new ZIPFileSystem());
    if (!pFileSystem->setZIPArchive(archive.c_str())) {
        state.SkipWithError(("cannot bind " + archive).c_str());
        return;
    }
    ArchiveMember member;
    if (!findMember(state, archive, name, member)) return;
    const std::vector<std::uint64_t> offsets = randomOffsets(member.uiSize);
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        VirtualFileSystem::FileHandle file = pFileSystem->open(name.c_str(), O_RDONLY);
        if (file.isNull()) {
            state.SkipWithError(("cannot open " + name).c_str());
            break;
        }
        for (const std::uint64_t offset : offsets) {
            if (file->lseek(static_cast<long>(offset), SEEK_SET) != static_cast<long>(offset) ||
                file->read(buffer.data(), kChunk) != static_cast<int>(kChunk))
                state.SkipWithError("seek or read failed");
            total += kChunk;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    reportRead(state, total);
}

void sequentialThroughReader(benchmark::State& state, const std::string& archive, const std::string& name) {
    ArchiveMember member;
    if (!findMember(state, archive, name, member)) return;
    ZIPFileSystem fileSystem;
    std::vector<char> buffer(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        MemberReader reader(fileSystem, archive);
        std::int64_t count = 0;
        for (std::uint64_t offset = 0; (count = reader.read(member, buffer.data(), kChunk, offset)) > 0;)
            offset += static_cast<std::uint64_t>(count);
        total += static_cast<std::int64_t>(member.uiSize);
        benchmark::DoNotOptimize(buffer.data());
        if (count < 0) state.SkipWithError("read failed");
    }
    reportRead(state, total);
}

// The member's raw deflate stream inflated by zlib alone: the baseline of the reader's inflating.
void inflateThroughZlib(benchmark::State& state, const std::string& archive, const std::string& name) {
    ArchiveMember member;
    if (!findMember(state, archive, name, member)) return;
    const int fd = ::open(archive.c_str(), O_RDONLY);
    unsigned char header[30];
    if (fd < 0 || ::pread(fd, header, sizeof(header), static_cast<off_t>(member.uiLocalHeaderOffset)) != 30) {
        state.SkipWithError(("cannot read " + archive).c_str());
        if (fd >= 0) ::close(fd);
        return;
    }
    const std::uint64_t dataStart =
        member.uiLocalHeaderOffset + 30 + (header[26] | header[27] << 8) + (header[28] | header[29] << 8);
    std::vector<unsigned char> input(kChunk), output(kChunk);
    std::int64_t total = 0;
    for (auto _ : state) {
        z_stream stream{};
        inflateInit2(&stream, -15);
        int status = Z_OK;
        for (std::uint64_t done = 0; status == Z_OK;) {
            if (stream.avail_in == 0) {
                const std::size_t piece =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, member.uiCompressedSize - done));
                if (::pread(fd, input.data(), piece, static_cast<off_t>(dataStart + done)) !=
                    static_cast<ssize_t>(piece))
                    break;
                stream.next_in = input.data();
                stream.avail_in = static_cast<uInt>(piece);
                done += piece;
            }
            stream.next_out = output.data();
            stream.avail_out = kChunk;
            status = inflate(&stream, Z_NO_FLUSH);
        }
        total += static_cast<std::int64_t>(stream.total_out);
        inflateEnd(&stream);
        benchmark::DoNotOptimize(output.data());
        if (status != Z_STREAM_END) state.SkipWithError("zlib could not inflate the member");
    }
    ::close(fd);
    reportRead(state, total);
}

// ---- walks ----

struct WalkTally {
    std::vector<std::string> files;  // member names of the files listed, in walk order
    std::int64_t directories = 0;    // directories listed below the top level
    std::int64_t bytes = 0;          // bytes read from all the files
    bool bFailed = false;
};

// Depth-first, the way a host walks the interface: each directory entry handed out is opened with its own
// getPath() and listed before the walk goes on.
void listThroughLibrary(VirtualFileSystem::Directory& directory, WalkTally& tally) {
    for (VirtualFileSystem::EntryHandle entry = directory.read(); !entry.isNull(); entry = directory.read()) {
        if (!entry->isDirectory()) {
            tally.files.push_back(entry->getPath());
            continue;
        }
        VirtualFileSystem::DirectoryHandle subdirectory(entry);
        if (subdirectory.isNull()) {
            tally.bFailed = true;
            return;
        }
        const std::string path = subdirectory->getPath();
        if (subdirectory->open(path.c_str()) != 0) {
            tally.bFailed = true;
            return;
        }
        ++tally.directories;
        listThroughLibrary(*subdirectory, tally);
    }
}

void walkThroughLibrary(VirtualFileSystem& fileSystem, WalkTally& tally, std::vector<char>& buffer) {
    {
        VirtualFileSystem::DirectoryHandle top = fileSystem.opendir("/");
        if (top.isNull()) {
            tally.bFailed = true;
            return;
        }
        listThroughLibrary(*top, tally);
    }
    for (const std::string& name : tally.files) {
        VirtualFileSystem::FileHandle file = fileSystem.open(name.c_str(), O_RDONLY);
        if (file.isNull()) {
            tally.bFailed = true;
            return;
        }
        int count = 0;
        while ((count = file->read(buffer.data(), kChunk)) > 0) tally.bytes += count;
        if (count < 0) tally.bFailed = true;
    }
}

// Cuts a member name down to its directory: up to and including its last "/", a trailing "/" of the name
// itself left out; empty at the top level.
void cutToParent(std::string& name) {
    if (!name.empty() && name.back() == '/') name.pop_back();
    const std::string::size_type slash = name.rfind('/');
    name.resize(slash == std::string::npos ? 0 : slash + 1);
}

// The same calls the library makes, made directly: a fresh archive handle per directory listed, every name
// read and filtered by its parent, a test open and close of each file listed on the bound archive handle,
// and one more archive open and close for each directory listed.
void listThroughZziplib(ZZIP_DIR* pBound, const std::string& archive, const std::string& prefix, WalkTally& tally) {
    ZZIP_DIR* pDir = zzip_opendir(archive.c_str());
    if (!pDir) {
        tally.bFailed = true;
        return;
    }
    ZZIP_DIRENT entry;
    while (zzip_dir_read(pDir, &entry)) {
        std::string parent = entry.d_name;
        if (parent.empty()) continue;
        cutToParent(parent);
        if (parent != prefix) continue;
        const std::string name = entry.d_name;
        if (name.back() == '/') {
            ZZIP_DIR* pProbe = zzip_opendir(archive.c_str());
            if (!pProbe) continue;
            zzip_closedir(pProbe);
            ++tally.directories;
            listThroughZziplib(pBound, archive, name, tally);
        } else {
            ZZIP_FILE* pProbe = zzip_file_open(pBound, name.c_str(), 0);
            if (!pProbe) continue;
            zzip_file_close(pProbe);
            tally.files.push_back(name);
        }
    }
    zzip_closedir(pDir);
}

void walkThroughZziplib(ZZIP_DIR* pBound, const std::string& archive, WalkTally& tally, std::vector<char>& buffer) {
    listThroughZziplib(pBound, archive, std::string(), tally);
    for (const std::string& name : tally.files) {
        ZZIP_FILE* pFile = zzip_file_open(pBound, name.c_str(), 0);
        if (!pFile) {
            tally.bFailed = true;
            return;
        }
        zzip_ssize_t count = 0;
        while ((count = zzip_read(pFile, buffer.data(), kChunk)) > 0) tally.bytes += count;
        zzip_file_close(pFile);
        if (count < 0) tally.bFailed = true;
    }
}

void reportWalk(benchmark::State& state, const WalkTally& tally) {
    state.counters["files"] = static_cast<double>(tally.files.size());
    state.counters["dirs"] = static_cast<double>(tally.directories);
    state.counters["bytes"] = static_cast<double>(tally.bytes);
}

void walkLibrary(benchmark::State& state, const std::string& archive) {
    std::unique_ptr<ZIPFileSystem> pFileSystem(new ZIPFileSystem());
    if (!pFileSystem->setZIPArchive(archive.c_str())) {
        state.SkipWithError(("cannot bind " + archive).c_str());
        return;
    }
    std::vector<char> buffer(kChunk);
    WalkTally tally;
    for (auto _ : state) {
        tally = WalkTally();
        walkThroughLibrary(*pFileSystem, tally, buffer);
        if (tally.bFailed) {
            state.SkipWithError("walk failed");
            break;
        }
    }
    reportWalk(state, tally);
}

void walkZziplib(benchmark::State& state, const std::string& archive) {
    zzip_error_t error = ZZIP_NO_ERROR;
    ZZIP_DIR* pBound = zzip_dir_open(archive.c_str(), &error);
    if (!pBound) {
        state.SkipWithError(("cannot open " + archive).c_str());
        return;
    }
    std::vector<char> buffer(kChunk);
    WalkTally tally;
    for (auto _ : state) {
        tally = WalkTally();
        walkThroughZziplib(pBound, archive, tally, buffer);
        if (tally.bFailed) {
            state.SkipWithError("walk failed");
            break;
        }
    }
    zzip_dir_close(pBound);
    reportWalk(state, tally);
}

// ---- registration ----

struct Case {
    std::string name;
    std::function<void(benchmark::State&)> run;
    benchmark::TimeUnit unit;
};

void addReads(std::vector<Case>& cases, const std::string& kind) {
    const std::string archive = fromEnvironment("BENCH_ARCHIVE", "big.zip");
    const std::string scrambled = fromEnvironment("BENCH_SCRAMBLED", "big.scrambled.zip");
    const std::string member = memberOfKind(kind);
    cases.push_back({"read/library/" + kind,
                     [=](benchmark::State& state) { readThroughLibrary<ZIPFileSystem>(state, archive, member); },
                     benchmark::kNanosecond});
    cases.push_back(
        {"read/scrambled/" + kind,
         [=](benchmark::State& state) { readThroughLibrary<ZIPEncryptedFileSystem>(state, scrambled, member); },
         benchmark::kNanosecond});
    cases.push_back({"read/zziplib/" + kind,
                     [=](benchmark::State& state) { readThroughZziplib(state, archive, member); },
                     benchmark::kNanosecond});
#ifdef TAMSOR_BENCH_LIBZIP
    cases.push_back({"read/libzip/" + kind, [=](benchmark::State& state) { readThroughLibzip(state, archive, member); },
                     benchmark::kNanosecond});
#endif
}

void addReaderCases(std::vector<Case>& cases) {
    const std::string archive = fromEnvironment("BENCH_ARCHIVE", "big.zip");
    const std::string member = memberOfKind("deflated");
    cases.push_back({"reader/random", [=](benchmark::State& state) { randomThroughReader(state, archive, member); },
                     benchmark::kMillisecond});
    cases.push_back({"library/random", [=](benchmark::State& state) { randomThroughLibrary(state, archive, member); },
                     benchmark::kMillisecond});
    cases.push_back({"reader/deflated",
                     [=](benchmark::State& state) { sequentialThroughReader(state, archive, member); },
                     benchmark::kNanosecond});
    cases.push_back({"zlib/deflated", [=](benchmark::State& state) { inflateThroughZlib(state, archive, member); },
                     benchmark::kNanosecond});
}

void addWalks(std::vector<Case>& cases) {
    const std::string tree = fromEnvironment("BENCH_TREE", "tree.zip");
    cases.push_back(
        {"walk/library", [=](benchmark::State& state) { walkLibrary(state, tree); }, benchmark::kMillisecond});
    cases.push_back(
        {"walk/zziplib", [=](benchmark::State& state) { walkZziplib(state, tree); }, benchmark::kMillisecond});
}

// BENCH_ROUNDS=N (default 1) registers every case N times, round after round, as NAME/round:K. A filter that
// matches two cases then runs them alternately in one process (A, B, A, B, ...), so that both sides see the
// same machine whatever else it is doing.
void registerRounds(const std::vector<Case>& cases) {
    const int rounds = std::max(1, std::atoi(fromEnvironment("BENCH_ROUNDS", "1").c_str()));
    for (int round = 1; round <= rounds; ++round) {
        for (const Case& c : cases) {
            const std::string name = rounds == 1 ? c.name : c.name + "/round:" + std::to_string(round);
            benchmark::RegisterBenchmark(name.c_str(), c.run)->Unit(c.unit);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::vector<Case> cases;
    addReads(cases, "deflated");
    addReads(cases, "stored");
    addWalks(cases);
    addReaderCases(cases);
    registerRounds(cases);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
