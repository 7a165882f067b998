// The archive file failing under the file systems, one call at a time. A file system of the test's own puts
// wrappers over its I/O table (open, read, seeks, filesize), like the scrambled file system does; the wrappers
// pass calls through to the callbacks that were in the table, except the Nth, which fails (-1) or, for a read,
// comes back with half of what was asked. N sweeps over every call that binding, walking every directory and
// reading every file make, for plain and scrambled archives alike.
//
// Whatever call fails, the failure may only show as a failure: a false bind, a null handle, a missing entry, a
// -1 or a short read. Never as other bytes or other names: every listing is part of the full listing and every
// file's bytes are a prefix of the member's. Nothing stays behind either: the live entries, the allocator's
// blocks, the scrambling descriptor records and the process's open descriptors are back where they were.
// A read that comes back short is no failure at all (network file systems give them): that run is whole.
//
// The last cases take the archive file away (removed, truncated) while files and directories are open on it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zzip/plugin.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "support/LogCapture.h"
#include "support/Residue.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ZIPEncryptedFileSystem.h"
#include "tamsor/ZIPFileSystem.h"
#include "tamsor/infra/LogLevel.h"
#include "zip/ArchiveScreen.h"

namespace Tamsor {
namespace {

using Testing::LogCapture;
using Testing::makeContent;
using Testing::Residue;
using Testing::TempDir;
using Testing::ZipBuilder;

typedef VirtualFileSystem::FileHandle FileHandle;
typedef VirtualFileSystem::DirectoryHandle DirectoryHandle;
typedef VirtualFileSystem::EntryHandle EntryHandle;

// ---- the failing table ---------------------------------------------------------------------------------------

enum class Fault {
    None,            // every call goes through
    FailOnce,        // the Nth call of any kind returns -1
    ShortReadOnce,   // the Nth read asks for half (rounded up) of the length it was given (N counts reads only)
    OtherNames,      // reads of 15 bytes (as of the name "docs/readme.txt") give an upper-case first byte: the
                     // first N of them, or all when N is 0
    Trickle,         // every read asks for 7 bytes at most
    FailFromThenOn,  // the Nth call and every call after it return -1, as when a device goes away
};

const char* nameOf(Fault fault) {
    switch (fault) {
        case Fault::None:
            return "none";
        case Fault::FailOnce:
            return "fail once";
        case Fault::ShortReadOnce:
            return "short read once";
        case Fault::OtherNames:
            return "other names";
        case Fault::FailFromThenOn:
            return "fail from then on";
        case Fault::Trickle:
            return "trickle";
    }
    return "?";
}

// The plan of the run under way and what it has seen. The wrappers are plain functions in a C table, so they
// find it here; the tests run on one thread, one file system at a time.
struct Injection {
    struct zzip_plugin_io saved = {};  // the table the wrappers pass calls on to
    Fault fault = Fault::None;
    unsigned int uiTarget = 0;  // the call (from 1) that fails
    unsigned int uiCounted = 0;
    unsigned int uiFired = 0;
    unsigned int uiOpens = 0, uiReads = 0, uiSeeks = 0, uiSizes = 0;
};

Injection g_injection;

// Counts one call and tells whether it is to fail (for a read: whether it is to be cut short).
bool fires(bool bRead) {
    if (g_injection.fault == Fault::ShortReadOnce && !bRead) return false;
    if (g_injection.fault == Fault::OtherNames || g_injection.fault == Fault::Trickle) return false;
    if (g_injection.fault == Fault::None) return false;
    const unsigned int uiCall = ++g_injection.uiCounted;
    const bool bFires =
        g_injection.fault == Fault::FailFromThenOn ? uiCall >= g_injection.uiTarget : uiCall == g_injection.uiTarget;
    if (bFires) ++g_injection.uiFired;
    return bFires;
}

int failingOpen(zzip_char_t* name, int flags, ...) {
    ++g_injection.uiOpens;
    if (fires(false)) {
        errno = EIO;
        return -1;
    }
    return g_injection.saved.open(name, flags);
}

zzip_ssize_t failingRead(int fd, void* buf, zzip_size_t len) {
    ++g_injection.uiReads;
    if (fires(true)) {
        if (g_injection.fault != Fault::ShortReadOnce) {
            errno = EIO;
            return -1;
        }
        len -= len / 2;  // half, rounded up: a read of one byte is never made a read of none
    }
    if (g_injection.fault == Fault::Trickle && len > 7) len = 7;
    const zzip_ssize_t n = g_injection.saved.read(fd, buf, len);
    const bool bAlter = g_injection.uiTarget == 0 || g_injection.uiFired < g_injection.uiTarget;
    if (g_injection.fault == Fault::OtherNames && len == 15 && n > 0 && bAlter) {
        *static_cast<char*>(buf) &= ~0x20;
        ++g_injection.uiFired;
    }
    return n;
}

zzip_off_t failingSeeks(int fd, zzip_off_t offset, int whence) {
    ++g_injection.uiSeeks;
    if (fires(false)) {
        errno = EIO;
        return -1;
    }
    return g_injection.saved.seeks(fd, offset, whence);
}

zzip_off_t failingFilesize(int fd) {
    ++g_injection.uiSizes;
    if (fires(false)) {
        errno = EIO;
        return -1;
    }
    return g_injection.saved.filesize(fd);
}

// A file system of kind Base (plain or scrambled) whose table goes through the wrappers above, over the
// callbacks Base put there.
template <class Base>
class FailingFileSystem : public Base {
  public:
    explicit FailingFileSystem(Fault fault, unsigned int uiTarget = 0) {
        g_injection = Injection();
        g_injection.saved = this->m_pIOHandler->fd;
        g_injection.fault = fault;
        g_injection.uiTarget = uiTarget;
        this->m_pIOHandler->fd.open = &failingOpen;
        this->m_pIOHandler->fd.read = &failingRead;
        this->m_pIOHandler->fd.seeks = &failingSeeks;
        this->m_pIOHandler->fd.filesize = &failingFilesize;
    }

    union _zzip_plugin_io* table() {
        return this->m_pIOHandler.get();
    }
};

// ---- the archive and what a full run sees ------------------------------------------------------------------

// Small, so that a sweep stays short, yet with stored, deflated and empty members, nested directories, and a
// deflated member that does not compress, several times zziplib's 32 KiB input buffer.
ZipBuilder sampleBuilder() {
    ZipBuilder builder;
    builder.addDirectory("docs/")
        .add("docs/readme.txt", makeContent(700, 1), ZipBuilder::kStored)
        .add("docs/big.txt", makeContent(150000, 2, false), ZipBuilder::kDeflated)
        .addDirectory("docs/img/")
        .add("docs/img/dot.bin", makeContent(300, 3, false), ZipBuilder::kStored)
        .add("empty.txt", "", ZipBuilder::kStored)
        .add("top.txt", makeContent(900, 4), ZipBuilder::kDeflated);
    return builder;
}

const std::vector<std::string> kFullWalk = {"dir:docs/",     "file:docs/readme.txt",  "file:docs/big.txt",
                                            "dir:docs/img/", "file:docs/img/dot.bin", "file:empty.txt",
                                            "file:top.txt"};

const int kOpenFailed = -2;  // in Outcome::lastRead: the file could not be opened

// What binding, walking and reading gave. The members' bytes are there to check seeks against.
struct Outcome {
    explicit Outcome(const std::map<std::string, std::string>& members) : pMembers(&members) {}

    const std::map<std::string, std::string>* pMembers;  // name -> bytes
    bool bBound = false;
    unsigned int uiSeekFailures = 0;           // seeks inside a member, and reads after them, that gave -1
    std::vector<std::string> walk;             // "dir:<path>" or "file:<path>", depth first
    std::map<std::string, std::string> bytes;  // file path -> the bytes read
    std::map<std::string, int> lastRead;       // file path -> the last read's result (0, -1) or kOpenFailed
};

// Reads an open file to its end (or its first failure) in odd pieces; more bytes than any member has is a
// failure of its own, and ends the loop.
int readAll(VirtualFileSystem::File& rFile, std::string& rBytes) {
    static const unsigned int kPieces[] = {777, 1, 4093};
    char buffer[4093];
    for (unsigned int turn = 0;; ++turn) {
        const unsigned int piece = kPieces[turn % 3];
        const int n = rFile.read(buffer, piece);
        if (n <= 0) return n;
        EXPECT_LE(n, static_cast<int>(piece));
        rBytes.append(buffer, static_cast<std::size_t>(n));
        if (rBytes.size() > 1000000) {
            ADD_FAILURE() << rFile.getPath() << " reads on past any member's size";
            return -1;
        }
    }
}

// After a file was read: seeks to its start, to offset 5 and to 3 bytes before its end (where these lie inside
// the member). A position given must be where the next read starts; a -1 from the seek or that read is a
// failure seen.
void seekAndReadAgain(VirtualFileSystem::File& rFile, const std::string& member, Outcome& rOutcome) {
    const long size = static_cast<long>(member.size());
    const struct {
        long offset;
        int whence;
        long target;
    } seeks[] = {{0, SEEK_SET, 0}, {5, SEEK_SET, 5}, {-3, SEEK_END, size - 3}};
    for (const auto& seek : seeks) {
        if (seek.target < 0 || seek.target > size) continue;
        const long position = rFile.lseek(seek.offset, seek.whence);
        char buffer[50];
        const int n = position < 0 ? -1 : rFile.read(buffer, sizeof(buffer));
        if (n < 0) {
            ++rOutcome.uiSeekFailures;
            continue;
        }
        EXPECT_EQ(seek.target, position) << rFile.getPath();
        EXPECT_EQ(member.substr(static_cast<std::size_t>(seek.target), static_cast<std::size_t>(n)),
                  std::string(buffer, static_cast<std::size_t>(n)))
            << rFile.getPath() << " read after seeking to " << seek.target;
    }
}

void readFile(const EntryHandle& pEntry, Outcome& rOutcome) {
    FileHandle pFile(pEntry);
    ASSERT_FALSE(pFile.isNull());
    const std::string path = pFile->getPath();
    if (pFile->open(path.c_str(), O_RDONLY) != 0) {
        rOutcome.lastRead[path] = kOpenFailed;
        return;
    }
    rOutcome.lastRead[path] = readAll(*pFile, rOutcome.bytes[path]);
    seekAndReadAgain(*pFile, rOutcome.pMembers->at(path), rOutcome);
}

// Lists a directory and, depth first, every directory it hands out, opened again with its own path; reads
// every file it hands out.
void walkDirectory(VirtualFileSystem::Directory& rDirectory, Outcome& rOutcome, int depth) {
    for (int guard = 0; guard < 100; ++guard) {
        const EntryHandle pEntry = rDirectory.read();
        if (pEntry.isNull()) return;
        rOutcome.walk.push_back((pEntry->isDirectory() ? "dir:" : "file:") + std::string(pEntry->getPath()));
        if (!pEntry->isDirectory()) {
            readFile(pEntry, rOutcome);
            continue;
        }
        DirectoryHandle pSub(pEntry);
        ASSERT_FALSE(pSub.isNull());
        if (depth < 8 && pSub->open(pSub->getPath()) == 0) walkDirectory(*pSub, rOutcome, depth + 1);
    }
    ADD_FAILURE() << "the listing of '" << rDirectory.getPath() << "' does not end";
}

Outcome bindWalkAndRead(ZIPFileSystem& rFileSystem, const std::string& path,
                        const std::map<std::string, std::string>& members) {
    Outcome outcome(members);
    outcome.bBound = rFileSystem.setZIPArchive(path.c_str());
    const DirectoryHandle pRoot = rFileSystem.opendir("/");
    if (!pRoot.isNull()) walkDirectory(*pRoot, outcome, 0);
    return outcome;
}

// `part` lists some of `whole`'s entries, in the same order.
::testing::AssertionResult isPartOf(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    std::size_t at = 0;
    for (const std::string& entry : part) {
        while (at < whole.size() && whole[at] != entry) ++at;
        if (at == whole.size()) return ::testing::AssertionFailure() << "'" << entry << "' is not in the full walk";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult isPrefixOf(const std::string& part, const std::string& whole) {
    if (part.size() > whole.size())
        return ::testing::AssertionFailure() << part.size() << " bytes read of a " << whole.size() << "-byte member";
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part[i] != whole[i]) return ::testing::AssertionFailure() << "other bytes from offset " << i;
    }
    return ::testing::AssertionSuccess();
}

// ---- the sweeps --------------------------------------------------------------------------------------------

template <class Base>
class FaultInjectionTest : public ::testing::Test {
  protected:
    FaultInjectionTest() : m_log(kErrorLogLevel), m_builder(sampleBuilder()) {
        m_strPath = m_dir.write("sample.zip", formOf(m_builder.build()));
        for (const ZipBuilder::Member& member : m_builder.members()) m_members[member.name] = member.data;
    }

    // The archive as Base reads it: scrambled for a scrambled file system.
    static std::string formOf(std::string archive) {
        if (std::is_base_of<ZIPEncryptedFileSystem, Base>::value)
            ZIPEncryptedFileSystem::encrypt(&archive[0], static_cast<unsigned int>(archive.size()), 0);
        return archive;
    }

    // One run with `fault` at call `uiTarget`: returns what it saw, having checked that it saw nothing wrong
    // and left nothing behind.
    Outcome runWith(Fault fault, unsigned int uiTarget) {
        const Residue before;
        Outcome outcome(m_members);
        {
            std::unique_ptr<FailingFileSystem<Base>> pFileSystem(new FailingFileSystem<Base>(fault, uiTarget));
            outcome = bindWalkAndRead(*pFileSystem, m_strPath, m_members);
            EXPECT_EQ(0u, pFileSystem->getNbOfEntriesOpen());
        }
        EXPECT_TRUE(before.isBackAsItWas());
        EXPECT_TRUE(isPartOf(outcome.walk, kFullWalk));
        for (const auto& file : outcome.bytes)
            EXPECT_TRUE(isPrefixOf(file.second, m_members.at(file.first))) << file.first;
        return outcome;
    }

    // Runs once per call that a full run makes, failing that call; returns how many runs there were.
    unsigned int sweep(Fault fault, unsigned int uiCallsOfFullRun) {
        unsigned int uiRuns = 0;
        for (unsigned int n = 1; n <= uiCallsOfFullRun; ++n, ++uiRuns) {
            SCOPED_TRACE(std::string(nameOf(fault)) + " at call " + std::to_string(n));
            const Outcome outcome = runWith(fault, n);
            EXPECT_GE(g_injection.uiFired, 1u);
            if (!outcome.bBound) { EXPECT_TRUE(outcome.walk.empty()); }
            // A single failure may be absorbed (zziplib ignores some of its seeks' results); an archive that
            // stays unreadable from some call on never goes unnoticed.
            if (fault == Fault::FailFromThenOn) { EXPECT_FALSE(isWhole(outcome)) << "the failures went unnoticed"; }
            if (fault == Fault::ShortReadOnce) { EXPECT_TRUE(isWhole(outcome)) << "a short read lost part of the run"; }
            if (::testing::Test::HasFailure()) break;  // one broken run says enough
        }
        return uiRuns;
    }

    // Bound, every entry listed, every file read to its end in full, every seek done.
    bool isWhole(const Outcome& outcome) const {
        if (!outcome.bBound || outcome.walk != kFullWalk || outcome.uiSeekFailures != 0) return false;
        for (const auto& file : outcome.lastRead) {
            if (file.second != 0 || outcome.bytes.at(file.first) != m_members.at(file.first)) return false;
        }
        return true;
    }

    // The calls of each kind that a full run makes, counted on a run where nothing fails.
    Injection countCalls() {
        runWith(Fault::FailOnce, ~0u);
        return g_injection;
    }

    LogCapture m_log;  // ERROR lines only: failed binds and refused members are many, and expected
    TempDir m_dir;
    ZipBuilder m_builder;
    std::string m_strPath;
    std::map<std::string, std::string> m_members;  // name -> bytes
};

typedef ::testing::Types<ZIPFileSystem, ZIPEncryptedFileSystem> FileSystemKinds;
TYPED_TEST_SUITE(FaultInjectionTest, FileSystemKinds);

// The harness itself: the wrappers are in use, and a run in which nothing fails sees every entry and every
// byte.
TYPED_TEST(FaultInjectionTest, WithoutFaultsTheRunSeesTheWholeArchive) {
    const Outcome outcome = this->runWith(Fault::None, 0);
    EXPECT_TRUE(this->isWhole(outcome));
    EXPECT_EQ(kFullWalk, outcome.walk);
    for (const auto& member : this->m_members) {
        if (member.first.back() == '/') continue;
        EXPECT_EQ(0, outcome.lastRead.at(member.first)) << member.first;
        EXPECT_EQ(member.second, outcome.bytes.at(member.first)) << member.first;
    }
    const Injection calls = this->countCalls();
    EXPECT_EQ(0u, calls.uiFired);
    EXPECT_GE(calls.uiOpens, 4u);  // the bind, the top level, and each directory listed or opened
    EXPECT_GE(calls.uiReads, 6u);
    EXPECT_GE(calls.uiSeeks, 1u);
    EXPECT_GE(calls.uiSizes, 1u);
    EXPECT_TRUE(this->m_log.events().empty());
}

TYPED_TEST(FaultInjectionTest, AnyOneFailingCallNeverGivesOtherNamesOrBytes) {
    const unsigned int uiCalls = this->countCalls().uiCounted;
    EXPECT_EQ(uiCalls, this->sweep(Fault::FailOnce, uiCalls));
}

TYPED_TEST(FaultInjectionTest, AnyOneShortReadLosesNothing) {
    const unsigned int uiReads = this->countCalls().uiReads;
    EXPECT_EQ(uiReads, this->sweep(Fault::ShortReadOnce, uiReads));
}

TYPED_TEST(FaultInjectionTest, CallsFailingFromAnyPointOnAreNoticedAndLeaveNothingBehind) {
    const unsigned int uiCalls = this->countCalls().uiCounted;
    EXPECT_EQ(uiCalls, this->sweep(Fault::FailFromThenOn, uiCalls));
}

// When zziplib reads another listing than the binding screen found, however often it is tried (here a name
// comes back altered each time; a short read of a record garbles the ones after it), the bind is refused and
// says why, rather than show an archive that is not the one on disk.
TYPED_TEST(FaultInjectionTest, AnArchiveThatNeverReadsWholeIsRefused) {
    FailingFileSystem<TypeParam> fileSystem(Fault::OtherNames);
    EXPECT_FALSE(fileSystem.setZIPArchive(this->m_strPath.c_str()));
    EXPECT_EQ(std::vector<std::string>({"Could not open ZIP archive " + this->m_strPath,
                                        "ZIP archive " + this->m_strPath +
                                            " could not be read whole: the listing read differs from its central "
                                            "directory"}),
              this->m_log.messagesOf(Testing::kZipLogger));
    EXPECT_EQ(6u, g_injection.uiOpens);  // three tries, each the screen's open and zziplib's
}

// Each directory open checks zziplib's listing against the archive as it stands, as binding does: a listing
// read wrong once is read again; one never read whole is no listing.
TYPED_TEST(FaultInjectionTest, ADirectoryOpenReadsAgainAListingReadWrong) {
    FailingFileSystem<TypeParam> fileSystem(Fault::None);
    ASSERT_TRUE(fileSystem.setZIPArchive(this->m_strPath.c_str()));
    g_injection.fault = Fault::OtherNames;
    g_injection.uiTarget = 1;
    std::vector<std::string> listed;
    const DirectoryHandle pDocs = fileSystem.opendir("docs/");
    for (EntryHandle pEntry; !pDocs.isNull() && !(pEntry = pDocs->read()).isNull();)
        listed.push_back(pEntry->getPath());
    EXPECT_EQ(1u, g_injection.uiFired);
    EXPECT_EQ((std::vector<std::string>{"docs/readme.txt", "docs/big.txt", "docs/img/"}), listed);
    g_injection.uiTarget = 0;
    EXPECT_TRUE(fileSystem.opendir("docs/").isNull());
}

// Our own reads go on over short reads: read 7 bytes at a time, the screen still reads every entry.
TYPED_TEST(FaultInjectionTest, TheScreenReadsWholeOverShortReads) {
    FailingFileSystem<TypeParam> fileSystem(Fault::Trickle);
    const ArchiveScreening screening = screenArchive(this->m_strPath.c_str(), fileSystem.table());
    EXPECT_EQ("", screening.strRefusal);
    EXPECT_EQ(static_cast<std::int64_t>(kFullWalk.size()), screening.iEntries);
    EXPECT_GT(g_injection.uiReads, 100u);
}

// A failure during the bind leaves the file system unbound, with the usual ERROR line naming the archive.
TYPED_TEST(FaultInjectionTest, AFailedBindIsReportedAndLeavesTheFileSystemUnbound) {
    FailingFileSystem<TypeParam> fileSystem(Fault::FailFromThenOn, 1);
    EXPECT_FALSE(fileSystem.setZIPArchive(this->m_strPath.c_str()));
    EXPECT_EQ("", fileSystem.getZIPArchive());
    EXPECT_TRUE(fileSystem.opendir("/").isNull());
    EXPECT_TRUE(fileSystem.open("top.txt", 0).isNull());
    const std::vector<std::string> errors = this->m_log.messagesOf(Testing::kZipLogger);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("Could not open ZIP archive " + this->m_strPath, errors.front());
    EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
}

// ---- the archive file taken away while in use -------------------------------------------------------------

// Partway through: a deflated file, a stored file and the listing of docs/ (one entry read), all open.
struct OpenState {
    FileHandle pBig;
    FileHandle pReadme;
    DirectoryHandle pDocs;
    std::string bigBytes;
    std::string readmeBytes;
};

template <class Base>
class ArchiveTakenAwayTest : public FaultInjectionTest<Base> {
  protected:
    void openPartway(ZIPFileSystem& rFileSystem, OpenState& rState) {
        ASSERT_TRUE(rFileSystem.setZIPArchive(this->m_strPath.c_str()));
        rState.pBig = rFileSystem.open("docs/big.txt", O_RDONLY);
        rState.pReadme = rFileSystem.open("docs/readme.txt", O_RDONLY);
        rState.pDocs = rFileSystem.opendir("docs/");
        ASSERT_FALSE(rState.pBig.isNull() || rState.pReadme.isNull() || rState.pDocs.isNull());
        readSome(*rState.pBig, 40000, rState.bigBytes);
        readSome(*rState.pReadme, 100, rState.readmeBytes);
        const EntryHandle pFirst = rState.pDocs->read();
        ASSERT_FALSE(pFirst.isNull());
        EXPECT_STREQ("docs/readme.txt", pFirst->getPath());
    }

    static void readSome(VirtualFileSystem::File& rFile, unsigned int uiCount, std::string& rBytes) {
        std::string buffer(uiCount, '\0');
        const int n = rFile.read(&buffer[0], uiCount);
        ASSERT_EQ(static_cast<int>(uiCount), n) << rFile.getPath();
        rBytes.append(buffer, 0, static_cast<std::size_t>(n));
    }

    // The rest of docs/'s listing.
    static std::vector<std::string> listRest(VirtualFileSystem::Directory& rDirectory) {
        std::vector<std::string> names;
        for (int guard = 0; guard < 100; ++guard) {
            const EntryHandle pEntry = rDirectory.read();
            if (pEntry.isNull()) break;
            names.push_back(pEntry->getPath());
        }
        return names;
    }

    std::string refusalOf(const std::string& name) const {
        return "Current entry " + name + " is neither a file nor a directory. NOT SUPPORTED YET";
    }
};

TYPED_TEST_SUITE(ArchiveTakenAwayTest, FileSystemKinds);

// Open descriptors keep a removed file readable: what is open goes on, files open through the bound handle,
// and only what must open the archive anew (a directory, a listed directory member) fails.
TYPED_TEST(ArchiveTakenAwayTest, RemovedWhileFilesAndDirectoriesAreOpen) {
    const Residue before;
    {
        TypeParam fileSystem;
        OpenState state;
        this->openPartway(fileSystem, state);
        ASSERT_FALSE(this->HasFatalFailure());
        ASSERT_EQ(0, ::unlink(this->m_strPath.c_str()));

        EXPECT_EQ(0, readAll(*state.pBig, state.bigBytes));
        EXPECT_EQ(this->m_members.at("docs/big.txt"), state.bigBytes);
        EXPECT_EQ(0, readAll(*state.pReadme, state.readmeBytes));
        EXPECT_EQ(this->m_members.at("docs/readme.txt"), state.readmeBytes);
        EXPECT_EQ(std::vector<std::string>{"docs/big.txt"}, this->listRest(*state.pDocs));
        EXPECT_EQ(std::vector<std::string>{this->refusalOf("docs/img/")}, this->m_log.messagesOf(Testing::kZipLogger));

        EXPECT_TRUE(fileSystem.opendir("/").isNull());
        EXPECT_TRUE(fileSystem.exists("docs/img/dot.bin"));
        EXPECT_FALSE(fileSystem.exists("docs/missing.txt"));
        FileHandle pTop = fileSystem.open("top.txt", O_RDONLY);
        ASSERT_FALSE(pTop.isNull());
        std::string topBytes;
        EXPECT_EQ(0, readAll(*pTop, topBytes));
        EXPECT_EQ(this->m_members.at("top.txt"), topBytes);

        state = OpenState();
        pTop = FileHandle();
        EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
    }
    EXPECT_TRUE(before.isBackAsItWas());
}

// Cut inside docs/big.txt's data: what lies before the cut still reads right, what lies after reads short or
// fails, and nothing reads other bytes or hangs.
TYPED_TEST(ArchiveTakenAwayTest, TruncatedWhileFilesAndDirectoriesAreOpen) {
    const std::string archive = this->m_builder.build();
    const std::size_t cuts[] = {archive.find("docs/big.txt") + 5000, 0};
    for (const std::size_t cut : cuts) {
        SCOPED_TRACE("archive cut at " + std::to_string(cut));
        this->m_strPath = this->m_dir.write("cut.zip", this->formOf(archive));
        const Residue before;
        {
            TypeParam fileSystem;
            OpenState state;
            this->openPartway(fileSystem, state);
            ASSERT_FALSE(this->HasFatalFailure());
            ASSERT_EQ(0, ::truncate(this->m_strPath.c_str(), static_cast<off_t>(cut)));

            const int bigEnd = readAll(*state.pBig, state.bigBytes);
            EXPECT_TRUE(isPrefixOf(state.bigBytes, this->m_members.at("docs/big.txt")));
            EXPECT_TRUE(bigEnd < 0 || state.bigBytes.size() < this->m_members.at("docs/big.txt").size())
                << "a member cut in half read in full";
            const int readmeEnd = readAll(*state.pReadme, state.readmeBytes);
            EXPECT_TRUE(isPrefixOf(state.readmeBytes, this->m_members.at("docs/readme.txt")));
            if (cut > 0) {  // the stored member lies wholly before the cut
                EXPECT_EQ(0, readmeEnd);
                EXPECT_EQ(this->m_members.at("docs/readme.txt"), state.readmeBytes);
            }
            for (const std::string& name : this->listRest(*state.pDocs)) EXPECT_EQ("docs/big.txt", name);

            EXPECT_TRUE(fileSystem.opendir("/").isNull());
            EXPECT_TRUE(fileSystem.open("docs/img/dot.bin", O_RDONLY).isNull());
            EXPECT_FALSE(fileSystem.exists("top.txt"));

            state = OpenState();
            EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
        }
        EXPECT_TRUE(before.isBackAsItWas());
        this->m_log.clear();
    }
}

}  // namespace
}  // namespace Tamsor
