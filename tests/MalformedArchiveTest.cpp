// Malformed archives, one table: each is bound by a plain and a scrambled file system, walked from the top
// level, and every file handed out is read to its end. The table gives, for each archive, exactly what a host
// sees: whether the bind succeeds, each entry listed, what each file reads, and the lines logged. The two
// file systems must see the same, and leave nothing behind (entries, allocator blocks, descriptor records,
// open descriptors).
//
// Lying end records and central directories, FIFOs, /dev/zero and directories given as archives are in
// ZziplibLimitsTest, members of unsupported methods in ZIPFileSystemDirectoryTest: these tables hold what lies
// deeper (local headers, names, flags, sizes, overlaps, comments) and every truncation.

#include <fcntl.h>

#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "Residue.h"
#include "ZipFsFixture.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Testing {
namespace {

const std::size_t kLocalSize = 30;
const std::size_t kCentralSize = 46;
const std::size_t kEndSize = 22;

// The bytes of an archive, with the places of its records found by member name (names are distinct and occur
// nowhere else: first in the member's local header, last in its central record).
class Archive {
  public:
    explicit Archive(const ZipBuilder& builder) : m_bytes(builder.build()) {}

    std::size_t local(const std::string& name) const { return m_bytes.find(name) - kLocalSize; }
    std::size_t central(const std::string& name) const { return m_bytes.rfind(name) - kCentralSize; }
    std::size_t end() const { return m_bytes.rfind(std::string("PK\x05\x06", 4)); }

    Archive& put(std::size_t at, const std::string& value) {
        m_bytes.replace(at, value.size(), value);
        return *this;
    }
    Archive& append(const std::string& value) {
        m_bytes += value;
        return *this;
    }
    const std::string& bytes() const { return m_bytes; }

  private:
    std::string m_bytes;
};

// One row of a table: an archive's bytes and what a host must see of them.
struct Case {
    const char* label;
    std::string bytes;
    std::vector<std::string> seen;
};

class MalformedArchiveTest : public ZipFsTest {
  protected:
    MalformedArchiveTest() : m_errors(kErrorLogLevel) {}

    // What a host sees of `bytes` through a file system of kind FileSystem: "bind: no" or "bind: yes"; per
    // entry of the walk "dir <path>" or "file <path>: <what it reads>"; per member "open <name>: <what it
    // reads>" (or null); then each ERROR line of the file system and of assertions, the archive's path written
    // as <archive>. `members` tells what each file should read.
    template <class FileSystem>
    std::vector<std::string> seenThrough(const std::string& bytes, const std::map<std::string, std::string>& members) {
        std::string onDisk = bytes;
        if (std::is_same<FileSystem, ZIPEncryptedFileSystem>::value)
            ZIPEncryptedFileSystem::encrypt(&onDisk[0], static_cast<unsigned int>(onDisk.size()), 0);
        const std::string path = m_dir.write("malformed.zip", onDisk);
        m_errors.clear();
        const Residue before;
        std::vector<std::string> seen;
        {
            FileSystem fileSystem;
            const bool bBound = fileSystem.setZIPArchive(path.c_str());
            seen.push_back(bBound ? "bind: yes" : "bind: no");
            {
                const DirectoryHandle pRoot = fileSystem.opendir("/");
                if (!pRoot.isNull()) walk(*pRoot, members, seen, 0);
            }
            // Each member opened by its own name, as a host that knows the names would.
            for (const auto& member : members) {
                FileHandle pFile = fileSystem.open(member.first.c_str(), O_RDONLY);
                seen.push_back("open " + member.first + ": " +
                               (pFile.isNull() ? "null" : readingOf(*pFile, member.first, members)));
            }
            EXPECT_EQ(0u, fileSystem.getNbOfEntriesOpen());
        }
        for (const CapturedEvent& event : m_errors.events()) {
            if (event.logger != kZipLogger && event.logger != kAssertionLogger) continue;
            std::string line = event.message;
            for (std::size_t at; (at = line.find(path)) != std::string::npos;)
                line.replace(at, path.size(), "<archive>");
            seen.push_back("log: " + line);
        }
        EXPECT_TRUE(before.isBackAsItWas());
        return seen;
    }

    // The same through both kinds of file system.
    std::vector<std::string> seenBy(const std::string& bytes, const std::map<std::string, std::string>& members) {
        const std::vector<std::string> plain = seenThrough<ZIPFileSystem>(bytes, members);
        EXPECT_EQ(plain, seenThrough<ZIPEncryptedFileSystem>(bytes, members)) << "scrambled differs from plain";
        return plain;
    }

    // Lists a directory to its end, reading each file and walking each directory handed out. A listing that
    // ends is read once more, to show whether it goes on after what stopped it.
    static void walk(VirtualFileSystem::Directory& rDirectory, const std::map<std::string, std::string>& members,
                     std::vector<std::string>& seen, int depth) {
        bool bEnded = false;
        for (int guard = 0; guard < 50; ++guard) {
            const EntryHandle pEntry = rDirectory.read();
            if (pEntry.isNull()) {
                if (bEnded) return;
                bEnded = true;
                continue;
            }
            if (bEnded) seen.push_back("listing goes on after its end");
            bEnded = false;
            const std::string path = pEntry->getPath();
            if (pEntry->isDirectory()) {
                seen.push_back("dir " + path);
                DirectoryHandle pSub(pEntry);
                if (depth < 4 && pSub->open(path.c_str()) == 0) walk(*pSub, members, seen, depth + 1);
                continue;
            }
            FileHandle pFile(pEntry);
            seen.push_back("file " + path + ": " + readingOf(*pFile, path, members));
        }
        seen.push_back("listing does not end");
    }

    // "as stored", "N other bytes" or "nothing", followed by " then -1" when the last read failed; "cannot
    // open" when `rFile` cannot be opened by `path`.
    static std::string readingOf(VirtualFileSystem::File& rFile, const std::string& path,
                                 const std::map<std::string, std::string>& members) {
        if (rFile.open(path.c_str(), O_RDONLY) != 0) return "cannot open";
        int last = 0;
        const std::string bytes = readToEnd(rFile, 4093, &last);
        const auto member = members.find(path);
        std::string reading = bytes.empty() ? "nothing"
                              : member != members.end() && bytes == member->second
                                  ? "as stored"
                                  : std::to_string(bytes.size()) + " other bytes";
        return last < 0 ? reading + " then -1" : reading;
    }

    // Each row of `cases`, seen through both file systems, with `members` for what each file should read.
    void expectEachSeen(const std::vector<Case>& cases, const std::map<std::string, std::string>& members) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(c.seen, seenBy(c.bytes, members));
        }
    }

    static std::map<std::string, std::string> membersOf(const ZipBuilder& builder) {
        std::map<std::string, std::string> members;
        for (const ZipBuilder::Member& member : builder.members()) members[member.name] = member.data;
        return members;
    }

    LogCapture m_errors;
};

// Two members, one stored and one deflated, to be damaged in the tables below.
ZipBuilder twoMembers() {
    ZipBuilder builder;
    builder.add("a.txt", "alpha alpha alpha").add("b.txt", makeContent(5000, 3), ZipBuilder::kDeflated);
    return builder;
}

// What a host sees of twoMembers() when it binds: each file listed and opened by name reads the same.
std::vector<std::string> bound(const std::string& aReads, const std::string& bReads) {
    return {"bind: yes", "file a.txt: " + aReads, "file b.txt: " + bReads, "open a.txt: " + aReads,
            "open b.txt: " + bReads};
}

// ... and when binding refuses it, with the reason line if there is one.
std::vector<std::string> refused(const std::string& reason) {
    std::vector<std::string> seen = {"bind: no", "open a.txt: null", "open b.txt: null",
                                     "log: Could not open ZIP archive <archive>"};
    if (!reason.empty()) seen.push_back("log: ZIP archive <archive> " + reason);
    return seen;
}

const char kAsStored[] = "as stored";

// zziplib takes names, sizes and method from the central record, and from the local header only its
// signature and the name and extra lengths that say where the data starts.
TEST_F(MalformedArchiveTest, LocalHeadersThatDisagreeWithTheCentralDirectory) {
    const ZipBuilder builder = twoMembers();
    const Archive good(builder);
    const std::size_t a = good.local("a.txt"), b = good.local("b.txt");
    const std::vector<Case> cases = {
        {"untouched", good.bytes(), bound(kAsStored, kAsStored)},
        {"another name of the same length", Archive(good).put(a + kLocalSize, "x.txt").bytes(),
         bound(kAsStored, kAsStored)},
        {"a longer name length", Archive(good).put(a + 26, le16(9)).bytes(), bound("17 other bytes", kAsStored)},
        {"an extra field past the data", Archive(good).put(b + 28, le16(0xFFFF)).bytes(),
         bound(kAsStored, "nothing then -1")},
        {"no local header signature",
         Archive(good).put(b, "PK\x09\x09").bytes(),
         {"bind: yes", "file a.txt: as stored", "open a.txt: as stored", "open b.txt: null",
          "log: Current entry b.txt is neither a file nor a directory. NOT SUPPORTED YET"}},
        {"stored where the central says deflated", Archive(good).put(b + 8, le16(0)).bytes(),
         bound(kAsStored, kAsStored)},
        {"sizes that lie", Archive(good).put(a + 18, le32(3) + le32(3)).bytes(), bound(kAsStored, kAsStored)},
    };
    expectEachSeen(cases, membersOf(builder));
}

// zziplib reads as many bytes as the central record says (from the archive, never past the central
// directory: binding checks that), keeps only the low byte of the method (0x0100 reads as stored), checks no
// CRC and ignores the encryption flag, so an encrypted member would read as its encrypted bytes. Deflate data
// that does not inflate ends the read with -1.
TEST_F(MalformedArchiveTest, SizesFlagsChecksumsAndData) {
    const ZipBuilder builder = twoMembers();
    const Archive good(builder);
    const std::size_t a = good.central("a.txt"), b = good.central("b.txt");
    const std::vector<Case> cases = {
        {"a stored size larger than the data", Archive(good).put(a + 20, le32(40) + le32(40)).bytes(),
         bound("40 other bytes", kAsStored)},
        {"a stored size smaller than the data", Archive(good).put(a + 20, le32(5) + le32(5)).bytes(),
         bound("5 other bytes", kAsStored)},
        {"a deflated member of size 0", Archive(good).put(b + 24, le32(0)).bytes(), bound(kAsStored, "nothing")},
        {"sizes of 0xFFFFFFFF", Archive(good).put(a + 20, le32(0xFFFFFFFF) + le32(0xFFFFFFFF)).bytes(),
         refused("keeps sizes or offsets in zip64 records only, which are not supported")},
        {"a CRC that does not match",
         Archive(good).put(a + 16, le32(0x12345678)).put(good.local("a.txt") + 14, le32(0x12345678)).bytes(),
         bound(kAsStored, kAsStored)},
        {"method 0x0100", Archive(good).put(a + 10, le16(0x0100)).bytes(), bound(kAsStored, kAsStored)},
        {"the encryption flag", Archive(good).put(a + 8, le16(1)).put(good.local("a.txt") + 6, le16(1)).bytes(),
         bound(kAsStored, kAsStored)},
        {"corrupt deflate data",
         Archive(good).put(good.local("b.txt") + kLocalSize + 15, std::string(20, '\xff')).bytes(),
         bound(kAsStored, "nothing then -1")},
    };
    expectEachSeen(cases, membersOf(builder));
}

// A comment length running past the file is let be (the records hold together); a comment that holds a
// second, lying end record is read for the end record, on which zziplib fails.
TEST_F(MalformedArchiveTest, CommentsThatSwallowOrFakeTheEndRecord) {
    const ZipBuilder builder = twoMembers();
    const Archive good(builder);
    const std::size_t end = good.end();
    const std::string fakeEnd = good.bytes().substr(end, 16) + le32(1) + le16(0);
    const std::vector<Case> cases = {
        {"a comment length past the file", Archive(good).put(end + 20, le16(200)).bytes(), bound(kAsStored, kAsStored)},
        {"a comment holding an end record", Archive(good).put(end + 20, le16(kEndSize)).append(fakeEnd).bytes(),
         refused("")},
        {"a comment of the largest length, all of it there",
         Archive(good).put(end + 20, le16(0xFFFF)).append(std::string(0xFFFF, 'c')).bytes(),
         bound(kAsStored, kAsStored)},
    };
    expectEachSeen(cases, membersOf(builder));
}

// Each odd name is followed by "ok.txt", to show whether the listing goes on past it. A member is listed in
// the directory its name's parent prefix names: "../up.txt" and "d/../../esc.txt" in none reachable from the
// top, yet open by their names as stored; "/abs.txt" is opened as "abs.txt" (one leading "/" is dropped),
// which is not there. zziplib's names end at a NUL. An empty name stops the listing with an assertion, and
// the next read goes on.
TEST_F(MalformedArchiveTest, OddMemberNames) {
    const std::string nulName("nul\0name.txt", 12);
    const struct {
        std::string name;
        std::vector<std::string> seen;
    } cases[] = {
        {"../up.txt", {"bind: yes", "file ok.txt: as stored", "open ../up.txt: as stored", "open ok.txt: as stored"}},
        {"/abs.txt", {"bind: yes", "file ok.txt: as stored", "open /abs.txt: null", "open ok.txt: as stored"}},
        {nulName,
         {"bind: yes", "file nul: 3 other bytes", "file ok.txt: as stored", "open " + nulName + ": as stored",
          "open ok.txt: as stored"}},
        {"dir\\back.txt",
         {"bind: yes", "file dir\\back.txt: as stored", "file ok.txt: as stored", "open dir\\back.txt: as stored",
          "open ok.txt: as stored"}},
        {"",
         {"bind: yes", "listing goes on after its end", "file ok.txt: as stored", "open : as stored",
          "open ok.txt: as stored", "log: Assertion failed: !strNewEntryPathFromArchive.empty()"}},
        {"d/../../esc.txt",
         {"bind: yes", "file ok.txt: as stored", "open d/../../esc.txt: as stored", "open ok.txt: as stored"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("member '" + c.name + "'");
        ZipBuilder builder;
        builder.add(c.name, "odd").add("ok.txt", "ok");
        EXPECT_EQ(c.seen, seenBy(builder.build(), membersOf(builder)));
    }
}

// The classic bomb: a second central record for the same local data, under another name. Both are listed and
// read the shared bytes; a host reads no more than it asks for.
TEST_F(MalformedArchiveTest, OverlappingMembersEachReadTheSharedData) {
    ZipBuilder builder;
    builder.add("a.txt", makeContent(100000, 1), ZipBuilder::kDeflated);
    const Archive one(builder);
    std::string second = one.bytes().substr(one.central("a.txt"), kCentralSize + 5);
    second.replace(kCentralSize, 5, "b.txt");
    std::string end = one.bytes().substr(one.end());
    end.replace(8, 8, le16(2) + le16(2) + le32(static_cast<std::uint32_t>(2 * second.size())));
    const std::string bytes = one.bytes().substr(0, one.end()) + second + end;
    std::map<std::string, std::string> members = membersOf(builder);
    members["b.txt"] = members["a.txt"];
    EXPECT_EQ(bound(kAsStored, kAsStored), seenBy(bytes, members));
}

// Cut after every byte, zziplib refuses each on its own, but for the last two cuts: an end record without
// its comment length is still whole to zziplib.
TEST_F(MalformedArchiveTest, EveryTruncationFailsTheBindCleanly) {
    const ZipBuilder builder = twoMembers();
    const Archive good(builder);
    for (std::size_t cut = 0; cut < good.bytes().size(); ++cut) {
        const std::vector<std::string> expected =
            cut + 2 >= good.bytes().size() ? bound(kAsStored, kAsStored) : refused("");
        ASSERT_EQ(expected, seenBy(good.bytes().substr(0, cut), membersOf(builder))) << "cut at " << cut;
    }
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
