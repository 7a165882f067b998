// The archive fuzz target. Each input is taken for an archive and bound to a plain file system, then, scrambled,
// to a scrambled one; each is walked as a host would (every directory reachable from the top, every file read in
// odd pieces, then sought back and read again, the top listing sought and rewound), and its member index built and
// every member read through the member reader in odd pieces. Beyond the sanitizers' checks, an input fails (abort)
// when a read gives more than asked, or other bytes the second time; an entry is of no single kind; an index
// member is not found by its name; a name decoded in the code page guessed for the archive's names (as the zipfs
// tool guesses it) is not UTF-8; anything made is still alive once released; or the scrambled run's transcript
// differs from the plain one's. Work is bounded: an input that inflates to gigabytes is slow, not a timeout.

#include <fcntl.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "EncryptedFileHandleTable.h"
#include "NameCharset.h"
#include "TextEncoding.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace {

using namespace Tamsor;
typedef VirtualFileSystem::EntryHandle EntryHandle;

const std::size_t kMaxMembers = 256, kMaxBytes = 4u << 20;
const unsigned int kPieces[] = {1, 7, 509, 4093, 65521};  // straddling zziplib's 32 KiB buffer at varying points
// The password of the encrypted seeds, so that the member reader decrypts what is made of them.
const char* const kPassword = "fuzz";

void check(bool bHolds, const char* what, const std::string& detail) {
    if (bHolds) return;
    std::fprintf(stderr, "ArchiveFuzzer: %s: %s\n", what, detail.c_str());
    abort();
}

// One run over a bound file system, noting what each call gave.
struct Run {
    explicit Run(VirtualFileSystem& rFileSystem) : rFs(rFileSystem) {}
    VirtualFileSystem& rFs;
    std::string strTranscript, buffer = std::string(65521, '\0');
    std::set<std::string> seen;
    std::size_t uiMembers = 0, uiBytes = 0;

    void note(const std::string& what, long value) { strTranscript += what + " " + std::to_string(value) + "\n"; }

    void directory(VirtualFileSystem::Directory& rDirectory, int depth) {
        for (EntryHandle pEntry; uiMembers++ < kMaxMembers && !(pEntry = rDirectory.read()).isNull();) {
            const std::string path = pEntry->getPath();
            const VirtualFileSystem::DirectoryHandle pDir(pEntry);
            const VirtualFileSystem::FileHandle pFile(pEntry);
            check(pEntry->isFile() != pEntry->isDirectory() && pDir.isNull() == pEntry->isFile() &&
                      pFile.isNull() == pEntry->isDirectory(),
                  "an entry of no single kind", path);
            // Keyed by the path a directory takes once open: a member "/" or "x//" must not walk in circles.
            const bool bNew = seen.insert(path.substr(path[0] == '/')).second;
            note((pDir.isNull() ? "file " : "dir ") + path, bNew);
            if (!pDir.isNull() && bNew && depth < 32 && pDir->open(path.c_str()) == 0) directory(*pDir, depth + 1);
            if (!pFile.isNull() && bNew && pFile->open(path.c_str(), O_RDONLY) == 0) file(*pFile);
        }
    }

    void file(VirtualFileSystem::File& rFile) {
        std::string head;
        int last = 1;
        for (std::size_t turn = 0; last > 0 && uiBytes < kMaxBytes; ++turn, uiBytes += std::size_t(std::max(last, 0))) {
            last = rFile.read(&buffer[0], kPieces[turn % 5]);
            check(last <= int(kPieces[turn % 5]), "a read gave more than asked", rFile.getPath());
            if (last > 0 && head.size() < 64) head.append(buffer, 0, std::size_t(last));
        }
        note("read " + std::to_string(head.size()) + " then", last);
        note("one before the end", rFile.lseek(-1, SEEK_END));
        const int n = rFile.lseek(0, SEEK_SET) == 0
                          ? rFile.read(&buffer[0], unsigned(std::min<std::size_t>(head.size(), 64)))
                          : 0;
        check(n <= 0 || head.compare(0, std::size_t(n), buffer, 0, std::size_t(n)) == 0, "other bytes again",
              rFile.getPath());
    }

    void walk() {
        const VirtualFileSystem::DirectoryHandle pRoot = rFs.opendir("/");
        note("opendir /", pRoot.isNull());
        if (pRoot.isNull()) return;
        directory(*pRoot, 0);
        pRoot->seek(40);  // no walk reports 40: refused
        pRoot->rewind();
        note("after a refused seek, rewound to " + std::string(pRoot->read().isNull() ? "" : "an entry"),
             pRoot->close());
    }

    // The names' code page, guessed from all of them, and each name decoded in it.
    void guessCharset(const ArchiveIndex& index) {
        Tool::NameSample sample;
        for (MemberId id = 0; id < index.size(); ++id) sample.add(index.name(id));
        const Tool::NameCharset charset(sample);
        note("code page " + charset.name(), charset.isKnown());
        std::string text;
        for (MemberId id = 0; id < index.size() && id < kMaxMembers; ++id)
            check(!charset.decode(index.name(id), text) || Tool::isValidUtf8(text), "a decoded name is not UTF-8",
                  text);
    }

    // Small restart intervals and budget, so that points are made, evicted and made again.
    void readIndexed(const ZIPFileSystemImpl& rImpl, const std::string& path) {
        const ArchiveIndex index(rImpl, path);
        MemberReader reader(rImpl, path, MemberReaderOptions{256 << 10, 16 << 10, 8, kPassword});
        note("index " + index.error(), index.isValid());
        guessCharset(index);
        std::string bytes(kMaxBytes, '\0');
        std::size_t budget = kMaxBytes;
        for (MemberId id = 0; id < index.size() && id < kMaxMembers; ++id) {
            const ArchiveMember member = index.member(id);
            // find takes a leading "/" off, and a trailing one asks for a directory.
            check(index.find(member.name) != kNoMember || member.name.front() == '/' || member.name.back() == '/',
                  "an index member is not found by its name", member.name);
            const MemberIds siblings =
                member.parent == kNoMember ? MemberIds(nullptr, nullptr) : index.children(member.parent);
            check(member.parent == kNoMember || std::count(siblings.begin(), siblings.end(), id) == 1,
                  "a member is not once among its parent's members", member.name);
            std::int64_t size = 0, last = 0;
            ReadStatus status = reader.check(member);
            for (std::size_t turn = 0; status == ReadStatus::Ok && std::size_t(size) < budget; ++turn, size += last) {
                const std::size_t piece = std::min<std::size_t>(kPieces[turn % 5], budget - std::size_t(size));
                last = reader.read(member, &bytes[std::size_t(size)], piece, std::uint64_t(size), &status);
                check(last <= std::int64_t(piece), "the reader read more than asked", member.name);
                if (last <= 0) break;
            }
            budget -= std::size_t(size);
            note("reader " + member.name + " " + std::to_string(int(status)), size);
        }
    }
};

template <class FileSystem>
std::string transcriptOf(const std::string& path, const std::string& bytes) {
    FILE* pFile = std::fopen(path.c_str(), "wb");
    check(pFile && std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size() && std::fclose(pFile) == 0,
          "cannot write", path);
    const std::uint64_t uiBlocks = StaticMemAllocator::totalLiveBlocks();
    const std::size_t uiRecords = EncryptedFileHandleTable::instance().size();
    std::string transcript;
    {
        FileSystem fs;
        Run run(fs);
        run.note("bind", fs.setZIPArchive(path.c_str()));
        run.walk();
        run.readIndexed(fs, path);
        check(fs.getNbOfEntriesOpen() == 0, "entries alive after the walk", path);
        transcript.swap(run.strTranscript);
    }
    check(StaticMemAllocator::totalLiveBlocks() == uiBlocks && EncryptedFileHandleTable::instance().size() == uiRecords,
          "allocator blocks or descriptor records alive", path);
    return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool bQuiet =
        (log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender)),
         log4cplus::Logger::getRoot().setLogLevel(log4cplus::OFF_LOG_LEVEL), true);
    static const struct Scratch {  // one per process, removed at exit
        std::string strDir =
            std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/tamsor-fuzz-XXXXXX";
        Scratch() { check(mkdtemp(&strDir[0]) != nullptr, "cannot make a scratch directory", strDir); }
        ~Scratch() { unlink((strDir + "/a.zip").c_str()), rmdir(strDir.c_str()); }
    } scratch;
    (void)bQuiet;
    const std::string bytes(reinterpret_cast<const char*>(data), size), path = scratch.strDir + "/a.zip";
    std::string scrambled = bytes;
    ZIPEncryptedFileSystem::encrypt(&scrambled[0], static_cast<unsigned int>(size), 0);
    const std::string plain = transcriptOf<ZIPFileSystem>(path, bytes);
    if (std::getenv("TAMSOR_FUZZ_TRACE")) std::fprintf(stderr, "%s", plain.c_str());  // what the walk saw
    const std::string unscrambled = transcriptOf<ZIPEncryptedFileSystem>(path, scrambled);
    check(plain == unscrambled, "the scrambled run differs from the plain one", plain + "\nscrambled:\n" + unscrambled);
    return 0;
}
