// The archive file failing under the file systems, one call at a time. A file system of the test's own puts
// wrappers over its I/O table (open, read, seeks, filesize), as the scrambled one does; they pass calls on to the
// callbacks that were there, except the Nth, which fails (-1) or, for a read, asks for half of what it was given.
// N sweeps over every call that binding, walking every directory and reading every file make, for plain and
// scrambled archives alike. A failure may only show as a failure (a false bind, a null handle, a missing entry,
// -1, a short read), never as other names or bytes, and nothing stays behind (entries, allocator blocks, descriptor
// records, open descriptors). A short read is no failure at all: that run is whole.

#include <zzip/plugin.h>

#include <cerrno>

#include "Residue.h"
#include "ZipFsFixture.h"

namespace Tamsor::Testing {
namespace {

// FailOnce: the Nth call of any kind returns -1. ShortReadOnce: the Nth read asks for half (rounded up) of its
// length (N counts reads only). FailFromThenOn: the Nth call and every call after it return -1, as when a device
// goes away. OtherNames: reads of 15 bytes (the name "docs/readme.txt") give an upper-case first byte, the first N
// of them or all when N is 0.
enum class Fault { None, FailOnce, ShortReadOnce, FailFromThenOn, OtherNames };

// The run under way: the wrappers are plain functions in a C table, so they find it here.
struct Injection {
    zzip_plugin_io saved = {};  // the table the wrappers pass calls on to
    Fault fault = Fault::None;
    unsigned int uiTarget = 0, uiCounted = 0, uiFired = 0, uiReads = 0, uiOpens = 0;
} g_injection;

// Counts one call and tells whether it is to fail (for a read: to be cut short).
bool fires(bool bRead) {
    const Fault fault = g_injection.fault;
    if (fault == Fault::None || fault == Fault::OtherNames) return false;
    if (fault == Fault::ShortReadOnce && !bRead) return false;
    const unsigned int uiCall = ++g_injection.uiCounted;
    const bool bFires =
        fault == Fault::FailFromThenOn ? uiCall >= g_injection.uiTarget : uiCall == g_injection.uiTarget;
    g_injection.uiFired += bFires ? 1 : 0;
    return bFires;
}

int failingOpen(zzip_char_t* name, int flags, ...) {
    ++g_injection.uiOpens;
    return fires(false) ? (errno = EIO, -1) : g_injection.saved.open(name, flags);
}
zzip_off_t failingSeeks(int fd, zzip_off_t offset, int whence) {
    return fires(false) ? (errno = EIO, -1) : g_injection.saved.seeks(fd, offset, whence);
}
zzip_off_t failingFilesize(int fd) {
    return fires(false) ? (errno = EIO, -1) : g_injection.saved.filesize(fd);
}
zzip_ssize_t failingRead(int fd, void* buf, zzip_size_t len) {
    ++g_injection.uiReads;
    if (fires(true)) {
        if (g_injection.fault != Fault::ShortReadOnce) return errno = EIO, -1;
        len -= len / 2;  // half, rounded up: a read of one byte is never made a read of none
    }
    const zzip_ssize_t n = g_injection.saved.read(fd, buf, len);
    const bool bAlter = g_injection.uiTarget == 0 || g_injection.uiFired < g_injection.uiTarget;
    if (g_injection.fault == Fault::OtherNames && len == 15 && n > 0 && bAlter)
        *static_cast<char*>(buf) &= ~0x20, ++g_injection.uiFired;
    return n;
}

// A file system of kind Base whose table goes through the wrappers above, over the callbacks Base put there.
template <class Base>
struct Failing : Base {
    explicit Failing(Fault fault, unsigned int uiTarget = 0) {
        g_injection = Injection{this->m_pIOHandler->fd, fault, uiTarget};
        this->m_pIOHandler->fd.open = &failingOpen;
        this->m_pIOHandler->fd.read = &failingRead;
        this->m_pIOHandler->fd.seeks = &failingSeeks;
        this->m_pIOHandler->fd.filesize = &failingFilesize;
    }
};

// Small, so that a sweep stays short, yet with stored, deflated and empty members, nested directories, and a
// deflated member that does not compress, several times zziplib's 32 KiB input buffer.
ZipBuilder sample() {
    ZipBuilder builder;
    builder.addDirectory("docs/")
        .add("docs/readme.txt", makeContent(700, 1))
        .add("docs/big.txt", makeContent(150000, 2, false), ZipBuilder::kDeflated)
        .addDirectory("docs/img/")
        .add("docs/img/dot.bin", makeContent(300, 3, false))
        .add("empty.txt", "")
        .add("top.txt", makeContent(900, 4), ZipBuilder::kDeflated);
    return builder;
}

const Names kFullWalk = {"dir:docs/",     "file:docs/readme.txt",  "file:docs/big.txt",
                         "dir:docs/img/", "file:docs/img/dot.bin", "file:empty.txt",
                         "file:top.txt"};

// What binding, walking (reading every file, then seeking to 0, 5 and 3 before its end and reading again) gave.
struct Outcome {
    bool bBound = false;
    Names walk;                                // "dir:<path>" or "file:<path>", depth first
    std::map<std::string, std::string> bytes;  // file path -> the bytes read, then "|-1" when a read failed
    unsigned int uiSeekFailures = 0;           // seeks, and reads after them, that gave -1
};

template <class Base>
class FaultInjectionTest : public ::testing::Test {
  protected:
    FaultInjectionTest() : m_log(40000), m_strPath(m_dir.write("sample.zip", formFor<Base>(sample().build()))) {
        const ZipBuilder builder = sample();
        for (const ZipBuilder::Member& member : builder.members())
            if (member.name.back() != '/') m_files[member.name] = member.data;
    }

    void walk(VirtualFileSystem::Directory& rDirectory, Outcome& rOutcome) {
        for (EntryHandle pEntry; rOutcome.walk.size() < 100 && !(pEntry = rDirectory.read()).isNull();) {
            const std::string path = pEntry->getPath();
            rOutcome.walk.push_back((pEntry->isDirectory() ? "dir:" : "file:") + path);
            const DirectoryHandle pSub(pEntry);
            const FileHandle pFile(pEntry);
            if (!pSub.isNull() && pSub->open(path.c_str()) == 0) walk(*pSub, rOutcome);
            if (pFile.isNull() || pFile->open(path.c_str(), O_RDONLY) != 0) continue;
            int last = 0;
            rOutcome.bytes[path] = readToEnd(*pFile, 4093, &last) + (last < 0 ? "|-1" : "");
            const long size = long(m_files.at(path).size());
            for (const auto& seek :
                 {std::make_pair(0L, SEEK_SET), std::make_pair(5L, SEEK_SET), std::make_pair(-3L, SEEK_END)}) {
                const long target = seek.second == SEEK_SET ? seek.first : size + seek.first;
                if (target < 0 || target > size) continue;
                char buffer[50];
                const long position = pFile->lseek(seek.first, seek.second);
                const int n = position < 0 ? -1 : pFile->read(buffer, sizeof(buffer));
                rOutcome.uiSeekFailures += n < 0 ? 1 : 0;
                if (n >= 0) {
                    EXPECT_EQ(m_files.at(path).substr(target, n),
                              std::string(buffer, n) + (position == target ? "" : "?"))
                        << path;
                }
            }
        }
    }

    // One run with `fault` at call `uiTarget`, checked to have seen nothing wrong and left nothing behind.
    Outcome runWith(Fault fault, unsigned int uiTarget) {
        const Residue before;
        Outcome outcome;
        {
            Failing<Base> fileSystem(fault, uiTarget);
            outcome.bBound = fileSystem.setZIPArchive(m_strPath.c_str());
            {
                const DirectoryHandle pRoot = fileSystem.opendir("/");
                if (!pRoot.isNull()) walk(*pRoot, outcome);
            }
            EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
        }
        EXPECT_TRUE(before.isBackAsItWas());
        std::size_t at = 0;  // the walk lists part of the full walk, in order
        for (const std::string& entry : outcome.walk) {
            while (at < kFullWalk.size() && kFullWalk[at] != entry) ++at;
            EXPECT_LT(at++, kFullWalk.size()) << entry << " is not in the full walk";
        }
        for (const auto& file : outcome.bytes)
            EXPECT_EQ(
                0u,
                m_files.at(file.first).compare(0, file.second.size(), file.second.substr(0, file.second.rfind("|-1"))))
                << file.first;
        return outcome;
    }

    bool isWhole(const Outcome& outcome) const {
        return outcome.bBound && outcome.walk == kFullWalk && outcome.bytes == m_files && !outcome.uiSeekFailures;
    }

    // Runs once per call that a full run makes (counted on a run where nothing fails), failing that call.
    void sweep(Fault fault) {
        EXPECT_TRUE(isWhole(runWith(Fault::FailOnce, ~0u)));  // none fails: counts the calls
        EXPECT_TRUE(m_log.events().empty());
        const unsigned int uiCalls = fault == Fault::ShortReadOnce ? g_injection.uiReads : g_injection.uiCounted;
        EXPECT_GT(uiCalls, 20u);
        for (unsigned int n = 1; n <= uiCalls && !::testing::Test::HasFailure(); ++n) {
            SCOPED_TRACE("at call " + std::to_string(n));
            const Outcome outcome = runWith(fault, n);
            EXPECT_GE(g_injection.uiFired, 1u);
            if (!outcome.bBound) { EXPECT_TRUE(outcome.walk.empty()); }
            // A single failure may be absorbed (zziplib ignores some of its seeks' results); an archive that stays
            // unreadable from some call on never goes unnoticed.
            if (fault == Fault::FailFromThenOn) { EXPECT_FALSE(isWhole(outcome)) << "the failures went unnoticed"; }
            if (fault == Fault::ShortReadOnce) { EXPECT_TRUE(isWhole(outcome)) << "a short read lost part of the run"; }
        }
    }

    LogCapture m_log;  // ERROR lines only: failed binds and refused members are many, and expected
    TempDir m_dir;
    std::string m_strPath;
    std::map<std::string, std::string> m_files;  // path -> bytes of each file member
};
TYPED_TEST_SUITE(FaultInjectionTest, FileSystemKinds);

TYPED_TEST(FaultInjectionTest, AnyOneFailingCallNeverGivesOtherNamesOrBytes) {
    this->sweep(Fault::FailOnce);
}

TYPED_TEST(FaultInjectionTest, AnyOneShortReadLosesNothing) {
    this->sweep(Fault::ShortReadOnce);
}

TYPED_TEST(FaultInjectionTest, CallsFailingFromAnyPointOnAreNoticedAndLeaveNothingBehind) {
    this->sweep(Fault::FailFromThenOn);
}

// zziplib takes a short read of a record for a whole one. When it reads another listing than the binding screen
// found, however often it is tried, the bind is refused and says why; a directory open reads a listing read wrong
// once again, and one never read whole is no listing. (The screen's own reads go on over short reads: the sweep of
// short reads.)
TYPED_TEST(FaultInjectionTest, ListingsReadWrongAreReadAgainOrRefused) {
    {
        Failing<TypeParam> fileSystem(Fault::OtherNames);
        EXPECT_FALSE(fileSystem.setZIPArchive(this->m_strPath.c_str()));
        EXPECT_EQ(6u, g_injection.uiOpens);  // three tries, each the screen's open and zziplib's
    }
    EXPECT_EQ((Names{"Could not open ZIP archive " + this->m_strPath,
                     "ZIP archive " + this->m_strPath +
                         " could not be read whole: the listing read differs from its central directory"}),
              this->m_log.messagesOf(kZipLogger));
    Failing<TypeParam> fileSystem(Fault::None);
    ASSERT_TRUE(fileSystem.setZIPArchive(this->m_strPath.c_str()));
    g_injection.fault = Fault::OtherNames;
    g_injection.uiTarget = 1;
    const DirectoryHandle pDocs = fileSystem.opendir("docs/");
    EXPECT_EQ((Names{"file:docs/readme.txt", "file:docs/big.txt", "dir:docs/img/"}),
              pDocs.isNull() ? Names() : listRest(*pDocs));
    EXPECT_EQ(1u, g_injection.uiFired);
    g_injection.uiTarget = 0;
    EXPECT_TRUE(fileSystem.opendir("docs/").isNull());
}

}  // namespace
}  // namespace Tamsor::Testing
