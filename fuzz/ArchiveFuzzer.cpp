// The archive fuzz target: every input is taken for an archive, bound to a plain file system and walked the way a
// host would (every directory reachable from the top level, every file read in odd-sized pieces with a few seeks,
// some files read again through two handles in turns, a few seeks of the top-level listing, a few existence
// tests), then scrambled and walked again through a scrambled file system. Each file system also builds the member
// index of its archive by path (bound or not), and every member and directory listing of it is walked.
//
// Beyond the sanitizers' own checks, an input fails when:
//   - a read returns more than was asked, reading a member again from its start gives other bytes, or two
//     handles on one member read different bytes;
//   - an entry claims a kind its handle cannot be converted to;
//   - entries, allocator blocks or scrambling descriptor records are still alive once everything is released;
//   - an index member is not found by its name (when that starts and ends with no "/"), or a directory's child
//     does not lie inside it;
//   - the scrambled walk differs from the plain one (both keep a transcript of what they saw);
//   - the member reader reads more than asked, or other bytes when a member is read again at other offsets.
//
// Work per input is bounded, so that a small input that inflates to gigabytes is a slow input, not a timeout:
// at most kMaxMembers entries handed out and kMaxBytes read per file system, and a member is sought from its
// end only when it was read to its end within that budget.

#include <fcntl.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/nullappender.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "EncryptedFileHandleTable.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/ZIPFileSystem.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace {

using Tamsor::VirtualFileSystem;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;
typedef VirtualFileSystem::FileHandle FileHandle;

const std::size_t kMaxMembers = 256;
const std::size_t kMaxBytes = 4u << 20;
const int kMaxDepth = 32;
// Read sizes, taken in turn: odd, so that pieces straddle zziplib's 32 KiB inflate buffer at varying points.
const unsigned int kPieces[] = {1, 7, 509, 4093, 65521};
const std::size_t kCheckedPrefix = 64;    // bytes read again after seeking back to the start
const std::size_t kFilesReadInTurns = 8;  // files also read through two handles at once
// Directory positions to seek to: the first record, and offsets inside or past zziplib's records.
const long kListingPositions[] = {1, 0, 16, 40, 48, 64, 4096, -1};

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "ArchiveFuzzer: %s: %s\n", what, detail.c_str());
    std::fflush(stderr);
    abort();
}

// What one walk saw, in order; the plain and the scrambled walk of one input must see the same.
class Transcript {
  public:
    void note(const char* what, long value) {
        m_strText += what;
        m_strText += ' ';
        m_strText += std::to_string(value);
        m_strText += '\n';
    }
    void note(const char* what, const std::string& text) {
        m_strText += what;
        m_strText += " '";
        m_strText += text;
        m_strText += "'\n";
    }
    const std::string& text() const { return m_strText; }

  private:
    std::string m_strText;
};

// FNV-1a over every byte read, so that the transcript stays small however much is read.
class ByteHash {
  public:
    void add(const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) m_uiHash = (m_uiHash ^ static_cast<unsigned char>(p[i])) * 1099511628211u;
    }
    long value() const { return static_cast<long>(m_uiHash & 0x7fffffffffffffffu); }

  private:
    std::uint64_t m_uiHash = 14695981039346656037u;
};

// One member read from its start until its end, a failure or the budget.
struct Reading {
    std::size_t uiLength = 0;
    long hash = 0;
    bool bAtEnd = false;  // the last read gave 0
    std::string prefix;   // the first kCheckedPrefix bytes
};

// One walk over one bound file system: its budget, the directories and files already seen, its transcript.
class Walk {
  public:
    explicit Walk(VirtualFileSystem& rFileSystem) : m_rFileSystem(rFileSystem) {}

    void run();
    const Transcript& transcript() const { return m_transcript; }

  private:
    void walkDirectory(VirtualFileSystem::Directory& rDirectory, int depth);
    void visit(const EntryHandle& pEntry, int depth);
    void visitDirectory(const EntryHandle& pEntry, int depth);
    void visitFile(const EntryHandle& pEntry);
    void readFile(VirtualFileSystem::File& rFile);
    Reading readPieces(VirtualFileSystem::File& rFile);
    void checkPrefixAgain(VirtualFileSystem::File& rFile, const std::string& prefix);
    void seekAround(VirtualFileSystem::File& rFile, const Reading& reading);
    void readInTurns(const std::string& path, const Reading& reading);
    void seekListing(VirtualFileSystem::Directory& rDirectory);
    void probeExistence();
    unsigned int nextPiece() { return kPieces[m_uiPieceTurn++ % (sizeof(kPieces) / sizeof(kPieces[0]))]; }
    std::size_t bytesLeft() const { return m_uiBytesRead < kMaxBytes ? kMaxBytes - m_uiBytesRead : 0; }

    VirtualFileSystem& m_rFileSystem;
    Transcript m_transcript;
    std::set<std::string> m_seen;  // "d:" + directory path, "f:" + file path
    std::size_t m_uiMembers = 0;
    std::size_t m_uiBytesRead = 0;
    std::size_t m_uiPieceTurn = 0;
    std::size_t m_uiFilesReadInTurns = 0;
    std::string m_strFirstFile;
    std::vector<char> m_buffer = std::vector<char>(65521);
};

void Walk::run() {
    DirectoryHandle pRoot = m_rFileSystem.opendir("/");
    m_transcript.note("opendir /", pRoot.isNull() ? -1 : 0);
    if (!pRoot.isNull()) {
        m_seen.insert("d:");
        walkDirectory(*pRoot, 0);
        seekListing(*pRoot);
        // A rewound listing starts again with the same first entry.
        pRoot->rewind();
        EntryHandle pFirst = pRoot->read();
        m_transcript.note("after rewind", pFirst.isNull() ? std::string("(none)") : std::string(pFirst->getPath()));
        m_transcript.note("close /", pRoot->close());
    }
    probeExistence();
}

void Walk::walkDirectory(VirtualFileSystem::Directory& rDirectory, int depth) {
    while (m_uiMembers < kMaxMembers) {
        EntryHandle pEntry = rDirectory.read();
        if (pEntry.isNull()) return;
        ++m_uiMembers;
        visit(pEntry, depth);
    }
}

void Walk::visit(const EntryHandle& pEntry, int depth) {
    const bool bFile = pEntry->isFile();
    const bool bDirectory = pEntry->isDirectory();
    m_transcript.note(bDirectory ? "dir" : "file", pEntry->getPath());
    if (bFile == bDirectory) fail("entry of no single kind", pEntry->getPath());
    if (bDirectory)
        visitDirectory(pEntry, depth);
    else
        visitFile(pEntry);
}

// Directories are keyed by the path they take once open ("/" stripped): a member "/" or "x//" must not make the
// walk go round in circles.
void Walk::visitDirectory(const EntryHandle& pEntry, int depth) {
    DirectoryHandle pDirectory(pEntry);
    if (pDirectory.isNull()) fail("directory entry is not a Directory", pEntry->getPath());
    if (depth >= kMaxDepth) return;
    const int opened = pDirectory->open(pDirectory->getPath());
    m_transcript.note("opendir", opened);
    if (opened != 0) return;
    if (m_seen.insert(std::string("d:") + pDirectory->getPath()).second) walkDirectory(*pDirectory, depth + 1);
    m_transcript.note("closedir", pDirectory->close());
}

void Walk::visitFile(const EntryHandle& pEntry) {
    FileHandle pFile(pEntry);
    if (pFile.isNull()) fail("file entry is not a File", pEntry->getPath());
    if (!m_seen.insert(std::string("f:") + pFile->getPath()).second) return;
    const int opened = pFile->open(pFile->getPath(), O_RDONLY);
    m_transcript.note("open", opened);
    if (opened != 0) return;
    if (m_strFirstFile.empty()) m_strFirstFile = pFile->getPath();
    readFile(*pFile);
    m_transcript.note("close", pFile->close());
}

void Walk::readFile(VirtualFileSystem::File& rFile) {
    const Reading reading = readPieces(rFile);
    m_transcript.note("position", rFile.lseek(0, SEEK_CUR));
    checkPrefixAgain(rFile, reading.prefix);
    seekAround(rFile, reading);
    readInTurns(rFile.getPath(), reading);
}

Reading Walk::readPieces(VirtualFileSystem::File& rFile) {
    Reading reading;
    ByteHash hash;
    int last = 0;
    while (bytesLeft() > 0) {
        unsigned int piece = nextPiece();
        if (piece > bytesLeft()) piece = static_cast<unsigned int>(bytesLeft());
        last = rFile.read(m_buffer.data(), piece);
        if (last > static_cast<int>(piece)) fail("read more than asked", rFile.getPath());
        if (last <= 0) break;
        hash.add(m_buffer.data(), static_cast<std::size_t>(last));
        if (reading.prefix.size() < kCheckedPrefix)
            reading.prefix.append(m_buffer.data(), std::min<std::size_t>(last, kCheckedPrefix - reading.prefix.size()));
        reading.uiLength += static_cast<std::size_t>(last);
        m_uiBytesRead += static_cast<std::size_t>(last);
    }
    reading.bAtEnd = last == 0;
    reading.hash = hash.value();
    m_transcript.note("read", static_cast<long>(reading.uiLength));
    m_transcript.note("last read", last);
    m_transcript.note("hash", reading.hash);
    return reading;
}

// Back at the start, a member gives the same bytes again.
void Walk::checkPrefixAgain(VirtualFileSystem::File& rFile, const std::string& prefix) {
    const long start = rFile.lseek(0, SEEK_SET);
    m_transcript.note("seek start", start);
    if (start != 0 || prefix.empty()) return;
    std::string again;
    while (again.size() < prefix.size() && bytesLeft() > 0) {
        const int n = rFile.read(m_buffer.data(), static_cast<unsigned int>(prefix.size() - again.size()));
        if (n <= 0) break;
        again.append(m_buffer.data(), static_cast<std::size_t>(n));
        m_uiBytesRead += static_cast<std::size_t>(n);
    }
    m_transcript.note("read again", static_cast<long>(again.size()));
    if (again.size() > prefix.size() || prefix.compare(0, again.size(), again) != 0)
        fail("other bytes after seeking back to the start", rFile.getPath());
}

// Relative seeks, and seeks from the end only where the member was read to its end and the budget holds two more
// readings of it: seeking a deflated member inflates everything before the target, and seeking back rewinds it.
void Walk::seekAround(VirtualFileSystem::File& rFile, const Reading& reading) {
    m_transcript.note("seek cur +3", rFile.lseek(3, SEEK_CUR));
    m_transcript.note("seek cur -1", rFile.lseek(-1, SEEK_CUR));
    if (!reading.bAtEnd || bytesLeft() / 2 < reading.uiLength) return;
    m_uiBytesRead += 2 * reading.uiLength;
    m_transcript.note("seek end", rFile.lseek(0, SEEK_END));
    m_transcript.note("seek end -1", rFile.lseek(-1, SEEK_END));
    m_transcript.note("read at end", rFile.read(m_buffer.data(), 2));
    m_transcript.note("seek past end", rFile.lseek(1, SEEK_END));
}

// Two handles on one member, read in turns with different piece sizes: zziplib moves the archive's shared
// descriptor from one to the other at every turn, and each must still read the member's own bytes. Where both
// reach the end, they read the same bytes, and the same as the member read alone, if that reached its end too.
void Walk::readInTurns(const std::string& path, const Reading& reading) {
    if (m_uiFilesReadInTurns >= kFilesReadInTurns || bytesLeft() / 2 < reading.uiLength) return;
    ++m_uiFilesReadInTurns;
    FileHandle pFiles[2] = {m_rFileSystem.open(path.c_str(), O_RDONLY), m_rFileSystem.open(path.c_str(), O_RDONLY)};
    m_transcript.note("open twice", (pFiles[0].isNull() ? 0 : 1) + (pFiles[1].isNull() ? 0 : 2));
    if (pFiles[0].isNull() || pFiles[1].isNull()) return;
    const unsigned int pieces[2] = {509, 1021};
    ByteHash hashes[2];
    std::size_t lengths[2] = {0, 0};
    int lasts[2] = {1, 1};
    while ((lasts[0] > 0 || lasts[1] > 0) && bytesLeft() > 0) {
        for (int i = 0; i < 2; ++i) {
            if (lasts[i] <= 0) continue;
            lasts[i] = pFiles[i]->read(m_buffer.data(), pieces[i]);
            if (lasts[i] > static_cast<int>(pieces[i])) fail("read more than asked", path);
            if (lasts[i] <= 0) continue;
            hashes[i].add(m_buffer.data(), static_cast<std::size_t>(lasts[i]));
            lengths[i] += static_cast<std::size_t>(lasts[i]);
            m_uiBytesRead += static_cast<std::size_t>(lasts[i]);
        }
    }
    m_transcript.note("in turns", static_cast<long>(lengths[0]) * 3 + static_cast<long>(lengths[1]));
    m_transcript.note("in turns last", lasts[0] * 3 + lasts[1]);
    if (lasts[0] != 0 || lasts[1] != 0) return;
    if (lengths[0] != lengths[1] || hashes[0].value() != hashes[1].value())
        fail("two handles on one member read different bytes", path);
    if (reading.bAtEnd && (lengths[0] != reading.uiLength || hashes[0].value() != reading.hash))
        fail("a member read in turns differs from the member read alone", path);
}

// Seeking a listing to positions it never reported is refused and leaves the walk where it was; the position of
// the first record starts it again.
void Walk::seekListing(VirtualFileSystem::Directory& rDirectory) {
    for (const long position : kListingPositions) {
        rDirectory.seek(position);
        EntryHandle pEntry = rDirectory.read();
        m_transcript.note("after seek", pEntry.isNull() ? std::string("(none)") : std::string(pEntry->getPath()));
    }
}

void Walk::probeExistence() {
    const char* const paths[] = {"/", "", "no/such/member", "../escape", "/.", nullptr};
    for (const char* path : paths) m_transcript.note("exists", m_rFileSystem.exists(path) ? 1 : 0);
    if (!m_strFirstFile.empty())
        m_transcript.note("exists first file", m_rFileSystem.exists(m_strFirstFile.c_str()) ? 1 : 0);
}

// A scratch directory per process, reused for every input, removed at exit.
class Scratch {
  public:
    Scratch() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tamsor-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) fail("cannot make a scratch directory", pattern);
        m_strDir = pattern;
        m_strPlain = m_strDir + "/plain.zip";
        m_strScrambled = m_strDir + "/scrambled.zip";
    }
    ~Scratch() {
        unlink(m_strPlain.c_str());
        unlink(m_strScrambled.c_str());
        rmdir(m_strDir.c_str());
    }
    const std::string& plain() const { return m_strPlain; }
    const std::string& scrambled() const { return m_strScrambled; }

  private:
    std::string m_strDir;
    std::string m_strPlain;
    std::string m_strScrambled;
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

void writeFile(const std::string& path, const char* data, std::size_t size) {
    FILE* pFile = std::fopen(path.c_str(), "wb");
    if (!pFile) fail("cannot write", path);
    if (size > 0 && std::fwrite(data, 1, size, pFile) != size) fail("short write", path);
    if (std::fclose(pFile) != 0) fail("cannot close", path);
}

// The member index of the archive at `path`: the first kMaxMembers members, each looked up by its name, and the
// children of the top level and of each directory among them, each of which must lie inside its directory.
std::string indexArchive(const Tamsor::ZIPFileSystemImpl& fileSystem, const std::string& path) {
    const Tamsor::ArchiveIndex index(fileSystem, path);
    Transcript transcript;
    transcript.note(index.isValid() ? "index" : "no index", index.error());
    const std::vector<Tamsor::ArchiveMember>& members = index.members();
    std::size_t uiChildren = 0;
    for (std::size_t i = 0; i <= members.size() && i <= kMaxMembers; ++i) {
        const std::string name = i == 0 ? std::string() : members[i - 1].name;
        const Tamsor::ArchiveMember* pFound = index.find(name);
        // find() takes one leading "/" off, and a trailing "/" asks for a directory where a file may come first.
        const bool bPlain = name.empty() || (name.front() != '/' && name.back() != '/');
        if (!pFound && bPlain) fail("an index member is not found by its name", name);
        transcript.note(pFound ? "found" : "not found", name);
        if (i > 0) transcript.note("size", static_cast<long>(members[i - 1].uiSize));
        if (!pFound || !pFound->bDirectory || uiChildren > kMaxMembers) continue;
        const std::string prefix = pFound->name;
        for (const Tamsor::ArchiveMember* pChild : index.children(name)) {
            if (pChild->name.compare(0, prefix.size(), prefix) != 0 || pChild->name.size() == prefix.size())
                fail("a child lies outside its directory", prefix + " holds " + pChild->name);
            ++uiChildren;
        }
    }
    transcript.note("children", static_cast<long>(uiChildren));
    return transcript.text();
}

// The member reader's view: every member of the index read from its start in odd pieces, within its own byte
// budget, then again in its middle and at its last byte, which must give the bytes and the outcome of the first
// reading. Small restart intervals and budget, so that points are made, evicted and made again.
void readThroughReader(const Tamsor::ZIPFileSystemImpl& rFileSystem, const std::string& path, Transcript& rTranscript) {
    const Tamsor::ArchiveIndex index(rFileSystem, path);
    Tamsor::MemberReaderOptions options;
    options.uiRestartInterval = 16 << 10;
    options.uiRestartBudget = 256 << 10;
    Tamsor::MemberReader reader(rFileSystem, path, options);
    std::vector<char> buffer(65521);
    std::size_t budget = kMaxBytes;
    for (std::size_t i = 0; i < index.members().size() && i < kMaxMembers; ++i) {
        const Tamsor::ArchiveMember& member = index.members()[i];
        Tamsor::ReadStatus status = Tamsor::MemberReader::readability(member);
        std::string bytes;
        std::int64_t last = 0;
        for (std::size_t turn = 0; status == Tamsor::ReadStatus::Ok && bytes.size() < budget; ++turn) {
            const std::size_t piece = std::min<std::size_t>(kPieces[turn % 5], budget - bytes.size());
            last = reader.read(member, buffer.data(), piece, bytes.size(), &status);
            if (last > static_cast<std::int64_t>(piece)) fail("the reader read more than asked", member.name);
            if (last <= 0) break;
            bytes.append(buffer.data(), static_cast<std::size_t>(last));
        }
        budget -= bytes.size();
        ByteHash hash;
        hash.add(bytes.data(), bytes.size());
        rTranscript.note("reader", member.name);
        rTranscript.note("reader status", static_cast<long>(status));
        rTranscript.note("reader hash", hash.value());
        if (last != 0 || bytes.empty()) continue;
        const std::size_t middle = bytes.size() / 2, count = std::min<std::size_t>(100, bytes.size() - middle);
        if (reader.read(member, buffer.data(), 100, middle) != static_cast<std::int64_t>(count) ||
            bytes.compare(middle, count, buffer.data(), count) != 0 ||
            reader.read(member, buffer.data(), 1, bytes.size() - 1) != 1 || buffer[0] != bytes.back())
            fail("the reader read other bytes again", member.name);
    }
}

// Binds, walks and releases; everything the file system made must be gone when it is.
template <class FileSystem>
Transcript walkArchive(const std::string& path) {
    const std::uint64_t uiLiveBefore = Tamsor::StaticMemAllocator::totalLiveBlocks();
    const std::size_t uiRecordsBefore = Tamsor::EncryptedFileHandleTable::instance().size();
    Transcript transcript;
    {
        FileSystem* pFileSystem = new FileSystem;
        transcript.note("bind", pFileSystem->setZIPArchive(path.c_str()) ? 1 : 0);
        {
            Walk walk(*pFileSystem);
            walk.run();
            transcript.note("walk", walk.transcript().text());
        }
        transcript.note("index", indexArchive(*pFileSystem, path));
        readThroughReader(*pFileSystem, path, transcript);
        if (pFileSystem->getNbOfEntriesOpen() != 0)
            fail("entries alive after the walk", std::to_string(pFileSystem->getNbOfEntriesOpen()));
        delete pFileSystem;
    }
    if (Tamsor::StaticMemAllocator::totalLiveBlocks() != uiLiveBefore) fail("allocator blocks alive", path);
    if (Tamsor::EncryptedFileHandleTable::instance().size() != uiRecordsBefore) fail("descriptor records alive", path);
    return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.removeAllAppenders();
    root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
    root.setLogLevel(log4cplus::OFF_LOG_LEVEL);
    scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    writeFile(scratch().plain(), bytes, size);
    const Transcript plain = walkArchive<Tamsor::ZIPFileSystem>(scratch().plain());

    std::vector<char> scrambled(bytes, bytes + size);
    Tamsor::ZIPEncryptedFileSystem::encrypt(scrambled.data(), static_cast<unsigned int>(size), 0);
    writeFile(scratch().scrambled(), scrambled.data(), size);
    const Transcript unscrambled = walkArchive<Tamsor::ZIPEncryptedFileSystem>(scratch().scrambled());

    // TAMSOR_FUZZ_TRACE=1 shows what the walk saw, to make sense of a reproducer.
    static const bool bTrace = getenv("TAMSOR_FUZZ_TRACE") != nullptr;
    if (bTrace) std::fprintf(stderr, "%s", plain.text().c_str());
    if (plain.text() != unscrambled.text())
        fail("the scrambled walk differs from the plain one",
             "plain:\n" + plain.text() + "\nscrambled:\n" + unscrambled.text());
    return 0;
}
