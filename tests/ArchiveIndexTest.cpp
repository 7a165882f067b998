// The member index of archives made by Info-ZIP zip, Python's zipfile and the archive builder: zip64 records and
// fields (zip -fz, past 4 GiB and 65,535 entries), exact times, Unicode names, Unix modes and flags, stubs before
// the archive, and damaged directories and extra fields, which give an invalid index that says why, or are ignored.
// Archives that two readers would read differently are invalid, or flag their members (a zip bomb's among them).

#include "ZipFsFixture.h"
#include "support/ZipBomb.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor::Testing {
namespace {

const std::uint64_t kGiB = 1ull << 30;
const std::string kDos0 = "dos:1980-01-01 00:00:00";  // the builder's MS-DOS time

// "", " overlaps:<id of the other>", " name-ambiguous" or " zip64-disagrees".
std::string flawOf(const ArchiveMember& m) {
    const char* const kFlaws[] = {"", " overlaps:", " name-ambiguous", " zip64-disagrees"};
    return kFlaws[int(m.flaw)] + (m.flaw == MemberFlaw::Overlaps ? std::to_string(m.overlapped) : "");
}

// The time as "dos:<local wall clock>", "ut:<seconds>", "ntfs:<seconds>" or "unix:<seconds>".
std::string timeOf(const ArchiveMember& m) {
    if (m.timeSource != TimeSource::Dos) {
        const char* const kSources[] = {"none:", "dos:", "ut:", "ntfs:", "unix:"};
        return kSources[int(m.timeSource)] + std::to_string(m.modificationTime);
    }
    std::tm parts{};
    char text[32];
    localtime_r(&m.modificationTime, &parts);
    return std::string("dos:") + (std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts) ? text : "?");
}

// "name size/compressed@offset time", then " m<mode>" for Unix hosts, " u:<name>" for a Unicode Path, and the
// member's flaw.
std::string summaryOf(const ArchiveMember& m) {
    std::ostringstream out;
    out << m.name << ' ' << m.uiSize << '/' << m.uiCompressedSize << '@' << m.uiLocalHeaderOffset << ' ' << timeOf(m);
    if (m.hasUnixMode()) out << " m" << std::oct << (m.uiExternalAttributes >> 16) << std::dec;
    if (!m.unicodeName.empty()) out << " u:" << m.unicodeName;
    return out.str() + flawOf(m);
}

Names summariesOf(const ArchiveIndex& index) {
    Names summaries = {index.isValid() ? "valid" : "invalid: " + index.error()};
    for (MemberId id = 0; id < index.size(); ++id)
        if (!index.record(id).bImplied) summaries.push_back(summaryOf(index.member(id)));
    return summaries;
}

// The index of the archive at `path`, read through an unbound file system of the given kind.
template <class FileSystem = ZIPFileSystem>
Names summariesAt(const std::string& path) {
    FileSystem unbound;
    return summariesOf(ArchiveIndex(unbound, path));
}

std::string patched(std::string bytes, std::size_t at, const std::string& value) {
    return bytes.replace(at, value.size(), value);
}

class ArchiveIndexTest : public ZipFsTest {
  protected:
    bool run(const std::string& command) {
        int status = -1;
        runCommand("cd " + quote(m_dir.path()) + " && (" + command + ") >/dev/null 2>&1", &status);
        return status == 0;
    }
    std::string write(const ZipBuilder& builder) const { return m_dir.write("test.zip", builder.build()); }
};

// Info-ZIP's zip -fz writes zip64 fields for sizes and offsets that fit in 32 bits; Python's zipfile, 70,000
// members (zip64 end records) in 7 directories that the archive never names. (ZipfsCliTest reads Info-ZIP's links,
// encrypted members and times zipped in Tokyo, and Python's name encodings, through this index.)
TEST_F(ArchiveIndexTest, ArchivesOfInfoZipAndPython) {
    m_dir.write("h.txt", "hello\n");
    if (!run("chmod 640 h.txt && touch -d @1700000000 h.txt && zip -q -0 -fz a.zip h.txt && python3 -c \"import "
             "zipfile\nwith zipfile.ZipFile('many.zip', 'w') as z:\n    for i in range(70000): z.writestr('d%d/f%d' % "
             "(i % 7, i), '')\""))
        GTEST_SKIP() << "zip and python3 are needed";
    EXPECT_EQ((Names{"valid", "h.txt 6/6@0 ut:1700000000 m100640"}), summariesAt(m_dir.file("a.zip")));
    ZIPFileSystem fs;
    const ArchiveIndex index(fs, m_dir.file("many.zip"));
    ASSERT_TRUE(index.isValid()) << index.error();
    EXPECT_EQ(index.size(), 70007u);  // and 7 implied directories
    EXPECT_EQ(index.find("d6/f69999"), 69999u);
    EXPECT_EQ(index.children(index.find("d3")).size(), 10000u);
}

// Members after 5 GiB of hole, and a member of 4 GiB + 5 zero bytes: sizes and offsets from zip64 fields. A stub
// before an archive shifts every offset, zip64 or not; a scrambled copy reads the same.
TEST_F(ArchiveIndexTest, Zip64FieldsPast4GiBAndStubs) {
    ZipBuilder sparse;
    sparse.add("far", "x").last().gapBefore = 5 * kGiB;
    sparse.add("big", "").last().zeros = 4 * kGiB + 5;
    sparse.add("after", "y");
    const std::uint64_t big = 5 * kGiB + 34, after = big + 30 + 3 + 20 + 4 * kGiB + 5;
    EXPECT_EQ(summariesAt((sparse.writeTo(m_dir.file("sparse.zip")), m_dir.file("sparse.zip"))),
              (Names{"valid", "far 1/1@" + std::to_string(5 * kGiB) + " " + kDos0,
                     "big 4294967301/4294967301@" + std::to_string(big) + " " + kDos0,
                     "after 1/1@" + std::to_string(after) + " " + kDos0}));

    ZipBuilder small;
    small.add("a", "alpha").add("b", "beta").last().dosTime = 1 << 11 | 2 << 5 | 2;
    const Names shifted = {"valid", "a 5/5@100 " + kDos0, "b 4/4@136 dos:1980-01-01 01:02:04"};
    for (const bool bZip64 : {false, true}) {
        std::string bytes = std::string(100, 's') + small.setZip64(bZip64).build();
        EXPECT_EQ(shifted, summariesAt(m_dir.write("stub.zip", bytes))) << bZip64;
        ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
        EXPECT_EQ(shifted, summariesAt<ZIPEncryptedFileSystem>(m_dir.write("scrambled.zip", bytes))) << bZip64;
    }
}

std::string field(std::uint16_t id, const std::string& data) {
    return le16(id) + le16(static_cast<std::uint16_t>(data.size())) + data;
}

std::string ntfs(std::uint64_t seconds, std::uint16_t tagSize = 24) {
    const std::string ticks = le64((seconds + 11644473600ull) * 10000000ull);
    return field(0x000a, le32(0) + le16(7) + le16(2) + "xx" + le16(1) + le16(tagSize) + ticks + ticks + ticks);
}

// A Unicode Path field (version 1) for the stored name `stored`.
std::string unicodePath(const std::string& stored, const std::string& name) {
    return field(0x7075,
                 "\x01" + le32(crc32(0, reinterpret_cast<const Bytef*>(stored.data()), uInt(stored.size()))) + name);
}

// Extended timestamp, then NTFS, then the MS-DOS time; a Unicode Path whose CRC matches the stored name; every
// field whose length does not hold together is ignored, and so is what follows a block that runs past the end.
// A Unicode Path that names another file than a UTF-8 name (flag bit 11), or than an ASCII one where each other
// character stands for one '_' or '?' (as a writer substitutes them), and a zip64 field whose values read by
// position disagree, flag the member.
TEST_F(ArchiveIndexTest, ExtraFields) {
    const std::string omegaCrc = le32(0x4a199d3a);  // CRC-32 of "omega"
    const std::string ut = field(0x5455, "\x01" + le32(1700000000));
    const std::string omega = "\xce\xa9mega", japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt";
    const struct {
        std::string extra;
        std::string summary;
        std::string name = "omega";
        std::uint16_t flags = 0;
    } cases[] = {
        {ut, "ut:1700000000"},
        {ntfs(1600000000), "ntfs:1600000000"},
        {ntfs(1600000000) + ut, "ut:1700000000"},
        {field(0x5455, "\x01" + le32(0x80000000u)), "ut:-2147483648"},
        {field(0x5455, "\x06" + le32(1700000000)), kDos0},
        {field(0x5455, "\x01\x01\x02\x03"), kDos0},
        {ntfs(1600000000, 20), kDos0},
        {field(0x7075, "\x01" + omegaCrc + omega), kDos0 + " u:" + omega + " name-ambiguous"},
        {unicodePath("_mega/___.txt", omega + "/" + japanese), kDos0 + " u:" + omega + "/" + japanese, "_mega/___.txt"},
        {unicodePath("?mega", omega), kDos0 + " u:" + omega, "?mega"},
        {unicodePath("__mega", omega), kDos0 + " u:" + omega + " name-ambiguous", "__mega"},
        {unicodePath("_mega", omega + omega), kDos0 + " u:" + omega + omega + " name-ambiguous", "_mega"},
        {unicodePath("_mega.sh", omega + ".txt"), kDos0 + " u:" + omega + ".txt name-ambiguous", "_mega.sh"},
        {unicodePath(omega, omega), kDos0 + " u:" + omega, omega, 0x0800},
        {unicodePath(omega, "omega"), kDos0 + " u:omega name-ambiguous", omega, 0x0800},
        {unicodePath("\x8e.txt", "\xc3\x84.txt"), kDos0 + " u:\xc3\x84.txt", "\x8e.txt"},  // code page 437
        {field(0x7075, "\x01" + le32(0x4a199d3b) + "stale"), kDos0},
        {field(0x7075, "\x02" + omegaCrc + "v2"), kDos0},
        {field(0x1234, "junk") + ut, "ut:1700000000"},
        {le16(0x1234) + le16(200) + ut, kDos0},
        {field(0x0001, le64(7) + le64(7)) + "\x55", kDos0 + " zip64-disagrees"},
        {field(0x0001, le64(0)), kDos0},
        {field(0x0001, le64(0) + le64(0) + le64(5)), kDos0 + " zip64-disagrees"},
    };
    for (const auto& c : cases) {
        ZipBuilder builder;
        builder.add(c.name, "").last().extra = c.extra;
        builder.last().flags = c.flags;
        EXPECT_EQ(summariesAt(write(builder)), (Names{"valid", c.name + " 0/0@0 " + c.summary}));
    }
}

// What the index says of a member's kind and Unix details: "time kind[.ns][ owner:U/G][ dev:M,m][ -> target][ @id]",
// the time as summaryOf gives it.
std::string unixSummaryOf(const ArchiveIndex& index, MemberId id) {
    const char* const kKinds[] = {"file", "dir", "symlink", "hardlink", "fifo", "socket", "block", "char"};
    std::ostringstream out;
    out << timeOf(index.member(id)) << ' ' << kKinds[int(index.record(id).kind)];
    const MemberDetails details = index.details(id);
    EXPECT_EQ(index.record(id).bHasDetails, index.details(id).uiNanoseconds || details.bHasOwner ||
                                                details.bHasDevice || !details.linkTarget.empty());
    if (details.uiNanoseconds) out << '.' << details.uiNanoseconds;
    if (details.bHasOwner) out << " owner:" << details.uiUserId << '/' << details.uiGroupId;
    if (details.bHasDevice) out << " dev:" << details.uiDeviceMajor << ',' << details.uiDeviceMinor;
    if (!details.linkTarget.empty()) out << " -> " << details.linkTarget;
    if (details.linkedMember != kNoMember) out << " @" << details.linkedMember;
    return out.str();
}

// The Unix fields and the Unix mode: owners (Info-ZIP's new field counts over the others, which count first to
// last), PKWARE's link names (a regular file's make it a hard link) and device numbers, their times when no
// better one is there, and each kind a mode gives; NTFS times with their fraction, over an extended timestamp
// of the same second. Fields whose lengths do not hold together are ignored whole.
TEST_F(ArchiveIndexTest, UnixFieldsAndKinds) {
    const std::string ut = field(0x5455, "\x01" + le32(1700000000));
    const auto pkware = [](std::uint16_t uid, std::uint16_t gid, const std::string& data) {
        return field(0x000d, le32(1) + le32(1600000000) + le16(uid) + le16(gid) + data);
    };
    const auto ux = [](const std::string& uid, const std::string& gid) {
        return field(0x7875, "\x01" + std::string(1, char(uid.size())) + uid + std::string(1, char(gid.size())) + gid);
    };
    std::string fraction = ntfs(1700000000);
    fraction.replace(18, 8, le64((1700000000ull + 11644473600ull) * 10000000ull + 1234567));
    const struct {
        std::string extra;
        std::uint32_t mode;
        std::string summary;
    } cases[] = {
        {fraction, 0, "ntfs:1700000000 file.123456700"},
        {fraction + ut, 0, "ntfs:1700000000 file.123456700"},
        {field(0x5455, "\x01" + le32(1700000001)) + fraction, 0, "ut:1700000001 file"},
        {pkware(7, 8, ""), 0100644, "unix:1600000000 file owner:7/8"},
        {ut + pkware(7, 8, ""), 0100644, "ut:1700000000 file owner:7/8"},
        {pkware(7, 8, "target") + ux(le32(70000), le16(9)), 0100644,
         "unix:1600000000 hardlink owner:70000/9 -> target"},
        {ux(le64(5), "\x06"), 0100644, kDos0 + " file owner:5/6"},
        {ux(le64(1ull << 32), "\x06"), 0100644, kDos0 + " file"},
        {field(0x7875, "\x01\x09" + le64(5) + std::string("\x00\x01\x06", 3)), 0100644, kDos0 + " file"},
        {field(0x7875, "\x01\x04" + le32(5) + "\x04" + le16(6)), 0100644, kDos0 + " file"},
        {field(0x7875, "\x02\x01\x05\x01\x06"), 0100644, kDos0 + " file"},
        {field(0x5855, le32(0) + le32(1500000000) + le16(3) + le16(4)) + pkware(7, 8, ""), 0,
         "unix:1600000000 file owner:3/4"},
        {field(0x5855, le32(0) + le32(1500000000)), 0, "unix:1500000000 file"},
        {field(0x5855, le32(0) + le32(1500000000) + le16(3)), 0, kDos0 + " file"},
        {field(0x7855, le16(3) + le16(4)), 0, kDos0 + " file owner:3/4"},
        {field(0x7855, le16(3)), 0, kDos0 + " file"},
        {field(0x000d, le32(0) + le32(1600000000) + le16(1) + "\x02"), 0, kDos0 + " file"},
        {pkware(0, 0, "../t"), 0120777, "unix:1600000000 symlink owner:0/0 -> ../t"},
        {"", 0120777, kDos0 + " symlink"},
        {"", 010644, kDos0 + " fifo"},
        {"", 0140755, kDos0 + " socket"},
        {pkware(0, 6, le32(8) + le32(1)), 060660, "unix:1600000000 block owner:0/6 dev:8,1"},
        {pkware(0, 5, le32(1) + le32(3)), 020666, "unix:1600000000 char owner:0/5 dev:1,3"},
        {pkware(0, 5, le32(1) + "\x03"), 020666, "unix:1600000000 char owner:0/5"},
        {pkware(0, 5, "name"), 010644, "unix:1600000000 fifo owner:0/5"},
    };
    for (const auto& c : cases) {
        ZipBuilder builder;
        builder.add("m", "").last().extra = c.extra;
        builder.last().unixMode = c.mode;
        ZIPFileSystem unbound;
        const ArchiveIndex index(unbound, write(builder));
        ASSERT_TRUE(index.isValid()) << index.error();
        EXPECT_EQ(c.summary, unixSummaryOf(index, 0)) << c.summary;
    }
}

// What users' tools write: Info-ZIP zip's owner field (0x7875, beside its extended timestamp) and a symbolic link
// (-y), whose target stays its data; 7-Zip's NTFS time, to 100 ns.
TEST_F(ArchiveIndexTest, UnixFieldsOfInfoZipAnd7Zip) {
    m_dir.write("f", "data\n");
    if (!run("touch -d @1700000000.123456789 f && ln -s f l && chown -h 1234:5678 f l && zip -q -y z.zip f l"))
        GTEST_SKIP() << "zip and chown are needed";
    ZIPFileSystem unbound;
    const ArchiveIndex zipped(unbound, m_dir.file("z.zip"));
    EXPECT_EQ("ut:1700000000 file owner:1234/5678", unixSummaryOf(zipped, 0));
    EXPECT_EQ("symlink owner:1234/5678", unixSummaryOf(zipped, 1).substr(14));
    if (!run("7zz a -tzip s.zip f")) GTEST_SKIP() << "7zz is needed";
    EXPECT_EQ("ntfs:1700000000 file.123456700", unixSummaryOf(ArchiveIndex(unbound, m_dir.file("s.zip")), 0));
}

// Hard links to the first member of their target's name when it comes earlier and is no link or directory; a
// look at part of the archive keeps the details of what it keeps. Directories, implied ones and the top level
// are directories, whatever their mode says.
TEST_F(ArchiveIndexTest, HardLinksAndDirectories) {
    const auto link = [](const std::string& target) {
        return field(0x000d, le32(0) + le32(0) + le16(0) + le16(0) + target);
    };
    ZipBuilder builder;
    builder.add("a", "alpha").add("s", "a").last().unixMode = 0120777;
    for (const char* target : {"a", "/a", "s", "later", "none", "d"})
        builder.add(std::string("h-") + target, "").last().extra = link(target);
    builder.add("later", "x").addDirectory("d/").last().unixMode = 0100755;
    builder.add("i/j/k", "k").last().unixMode = 0100644;
    const std::string path = write(builder);
    ZIPFileSystem unbound;
    const ArchiveIndex index(unbound, path);
    Names summaries;
    for (MemberId id = 0; id < index.size(); ++id) summaries.push_back(unixSummaryOf(index, id));
    EXPECT_EQ(summaries, (Names{kDos0 + " file", kDos0 + " symlink", "unix:0 hardlink owner:0/0 -> a @0",
                                "unix:0 hardlink owner:0/0 -> /a @0", "unix:0 hardlink owner:0/0 -> s",
                                "unix:0 hardlink owner:0/0 -> later", "unix:0 hardlink owner:0/0 -> none",
                                "unix:0 hardlink owner:0/0 -> d", kDos0 + " file", kDos0 + " dir", kDos0 + " file",
                                "none:0 dir", "none:0 dir", "none:0 dir"}));
    EXPECT_EQ(MemberKind::Directory, index.record(index.topLevel()).kind);
    // The member reader hands out a file's bytes, never a hard link's own (empty) ones.
    EXPECT_EQ(ReadStatus::Ok, MemberReader::readability(index.member(0)));
    EXPECT_EQ(ReadStatus::NotAFile, MemberReader::readability(index.member(2)));
    IndexOptions options;
    options.keep = [](std::string_view name) { return name == "h-a" || name == "h-s"; };
    const ArchiveIndex part(unbound, path, options);
    EXPECT_EQ("unix:0 hardlink owner:0/0 -> a", unixSummaryOf(part, part.find("h-a")));
    EXPECT_EQ("unix:0 hardlink owner:0/0 -> s", unixSummaryOf(part, part.find("h-s")));
}

// Each directory's members by id ("name" of each, in order, with the directory's own name first), from the top.
std::string treeOf(const ArchiveIndex& index, MemberId directory) {
    std::string tree = "[" + std::string(index.name(directory));
    for (const MemberId id : index.children(directory)) {
        EXPECT_EQ(directory, index.record(id).parent) << index.name(id);
        tree += " " + (index.record(id).bDirectory ? treeOf(index, id) : std::string(index.name(id)));
    }
    return tree + "]";
}

// Directories list their members in id order, later members of a name included, implied directories last; a
// lookup finds the first of a name. A look at part of the archive keeps only the names asked for (with their
// implied directories), while the layout still counts every member: b.txt overlaps a member left out.
TEST_F(ArchiveIndexTest, DirectoriesOfIdsAndALookAtPartOfTheArchive) {
    ZipBuilder builder;
    for (const char* name : {"a/b/c.txt", "a/", "a/x.txt", "a/x.txt", "z.txt", "/", "d//", "b.txt", "e/f/", "z.txt/y"})
        builder.add(name, name);
    std::string bytes = builder.build();
    bytes = patched(bytes, bytes.rfind("b.txt") - 4, le32(bytes.find("z.txt") - 30));  // b.txt's entry: z.txt's
    const std::string path = m_dir.write("tree.zip", bytes);
    ZIPFileSystem unbound;
    const ArchiveIndex index(unbound, path);
    ASSERT_TRUE(index.isValid()) << index.error();
    EXPECT_EQ("[ [a/ a/x.txt a/x.txt [a/b/ a/b/c.txt]] z.txt b.txt [d/ [d//]] [e/ [e/f/]]]",
              treeOf(index, index.topLevel()));
    EXPECT_EQ(2u, index.find("a/x.txt"));
    EXPECT_TRUE(index.children(index.find("z.txt")).empty() && index.find("z.txt/") == kNoMember);
    EXPECT_EQ(bytes.find("PK\x01\x02"), index.record(index.find("z.txt/y")).uiDataLimit);  // the last one's
    const std::string inOrder = builder.build();  // laid out on the way, as the directory is read
    const ArchiveIndex plain(unbound, m_dir.write("order.zip", inOrder));
    EXPECT_EQ(inOrder.find("PK\x01\x02"), plain.record(plain.find("z.txt/y")).uiDataLimit);
    EXPECT_EQ(std::vector<MemberId>({4, 7}),
              std::vector<MemberId>({index.record(7).overlapped, index.record(4).overlapped}));
    IndexOptions options;
    options.keep = [](std::string_view name) { return name.substr(0, 2) == "a/" || name == "b.txt"; };
    const ArchiveIndex part(unbound, path, options);
    EXPECT_EQ("[ [a/ a/x.txt a/x.txt [a/b/ a/b/c.txt]] b.txt]", treeOf(part, part.topLevel()));
    EXPECT_TRUE(part.record(part.find("b.txt")).flaw == MemberFlaw::Overlaps &&
                part.record(part.find("b.txt")).overlapped == kNoMember);
    EXPECT_EQ(kNoMember, part.find("z.txt"));
}

// A damaged archive gives an invalid index that says why, having read no more than the file holds.
TEST_F(ArchiveIndexTest, DamagedArchivesAreInvalid) {
    ZipBuilder builder;
    builder.add("a.txt", "alpha").add("b.txt", makeContent(5000, 3), ZipBuilder::kDeflated).setComment("0123456789");
    const std::string good = builder.build();
    const std::size_t end = good.size() - 32, b = good.rfind("b.txt") - 46, a = good.rfind("a.txt") - 46;
    const std::string endRecord = good.substr(end, 20);  // but its comment's length
    const std::string zip64 = builder.setZip64(true).build();
    const std::size_t end64 = zip64.size() - 32 - 20 - 56;
    ZipBuilder marked;
    marked.add("a.txt", "alpha").last().extra = field(1, le64(5)) + le16(5) + le16(0) + le32(0);
    const std::string markers = patched(marked.build(), marked.build().rfind("a.txt") - 26, le32(~0u) + le32(~0u));

    const struct {
        std::string why, bytes;
    } cases[] = {
        {"is too short to be a ZIP archive", "PK\x05\x06"},
        {"has no end record", std::string(100, 'x')},
        {"ends inside its end record", good.substr(0, end + 10)},
        {"has a central directory that runs past the end of the file", patched(good, end + 16, le32(0xFFFFF0))},
        {"has a central directory that overlaps its end record", patched(good, end + 12, le32(end - a + 10))},
        {"has more entries than its central directory can hold", patched(good, end + 10, le16(3))},
        {"has a central directory that holds fewer entries than its end record says", patched(good, b, "PK\x01\x01")},
        {"has a central directory entry that runs past its end", patched(good, b + 30, le16(20))},
        {"has a member 'a.txt' whose data runs past the central directory", patched(good, a + 20, le32(0x10000))},
        {"has a member 'b.txt' whose data runs past the central directory", patched(good, b + 42, le32(0x1000))},
        // Readers that take the last signature, or the record whose comment ends the file, take another one.
        {"has several end records that readers could choose between", good + "PK\x05\x06"},
        {"has several end records that readers could choose between",
         good.substr(0, end) + endRecord + le16(26) + endRecord + le16(0) + "tail"},
        {"spans several disks", patched(good, end + 6, le16(1))},
        {"has no central directory where its end record says", patched(good, a, "PK\x01\x01")},
        {"has more entries than its central directory can hold", patched(zip64, end64 + 32, le64(1ull << 60))},
        {"has a central directory that runs past the end of the file", patched(zip64, end64 + 40, le64(1ull << 62))},
        {"spans several disks", patched(zip64, end64 + 20, le32(2))},
        {"has a zip64 end locator that leads to no zip64 end record",
         patched(patched(zip64, end64, "PK\x06\x05"), end64 + 56 + 20 + 10, le16(0xFFFF))},
        {"has a zip64 end locator that leads to no zip64 end record",
         patched(patched(zip64, end64 + 4, le64(43)), end64 + 56 + 20 + 10, le16(0xFFFF))},
        {"has a member 'a.txt' whose data runs past the central directory", markers},
    };
    for (const auto& c : cases) EXPECT_EQ(summariesAt(m_dir.write("bad.zip", c.bytes)), Names{"invalid: " + c.why});
    EXPECT_EQ(summariesAt("/dev/zero"), Names{"invalid: is not a regular file"});
    EXPECT_EQ(summariesAt(m_dir.file("none.zip")), Names{"invalid: cannot be opened"});
    ZIPFileSystem unbound;
    EXPECT_EQ(ArchiveIndex(unbound).error(), "is not bound");
}

// Whether the index of the archive at `path` is valid, then each flawed member as "name<flaw>".
Names flawsAt(const std::string& path) {
    ZIPFileSystem unbound;
    const ArchiveIndex index(unbound, path);
    Names flaws = {index.isValid() ? "valid" : "invalid: " + index.error()};
    for (MemberId id = 0; id < index.size(); ++id)
        if (index.record(id).flaw != MemberFlaw::None)
            flaws.push_back(index.member(id).name + flawOf(index.member(id)));
    return flaws;
}

// Archives that two readers, one going by the central directory and one walking the local headers, read alike
// stay valid and unflawed: Info-ZIP writing to a file and to a pipe (zip64 fields, data descriptors), Python to
// an unseekable stream (data descriptors, its directory in reverse order), bytes after the end record, a stored
// archive as the last member (an end record in its data). Two archives one after the other are invalid (also
// when the second's directory offset finds the first's directory); members that overlap (two entries of one
// local header, a zip bomb) are flagged, each with another; unzip refuses the bomb too.
TEST_F(ArchiveIndexTest, ArchivesThatReadersWouldReadDifferently) {
    m_dir.write("h.txt", "hello\n");
    if (!run("zip -q a.zip h.txt && zip -q -0 nested.zip h.txt a.zip && cat a.zip nested.zip >cat.zip "
             "&& (cat a.zip; echo trailing) >trailing.zip && printf 'x\\n' | zip -q - - >file.zip && "
             "printf 'x\\n' | zip -q - - | cat >pipe.zip && python3 -c \"import sys, zipfile\nz = "
             "zipfile.ZipFile(sys.stdout.buffer, 'w')\nfor n in 'ab': z.writestr(n, n * 100)\nz.filelist.reverse()\n"
             "z.close()\" | cat >py.zip"))
        GTEST_SKIP() << "zip and python3 are needed";
    const std::string twice = ZipBuilder().add("a.txt", "x").add("b.txt", "y").build();
    // A zip64 field with the offset its marker asks for, then the disk number (marked too), as the format lays out.
    ZipBuilder disk;
    disk.add("a.txt", "x").last().extra = field(1, le64(0) + le32(0));
    const std::string diskBytes = disk.build();
    m_dir.write("disk.zip", patched(patched(diskBytes, diskBytes.rfind("a.txt") - 12, le16(0xFFFF)),
                                    diskBytes.rfind("a.txt") - 4, le32(~0u)));
    m_dir.write("twice.zip", patched(twice, twice.rfind("b.txt") - 4, le32(0)));  // b.txt's entry: a.txt's header
    m_dir.write("bomb.zip", zipBomb(3, 1 << 20));
    // One archive after another of its size: the second's end record states where the first's directory is.
    m_dir.write("twins.zip",
                ZipBuilder().add("h.txt", "hello\n").build() + ZipBuilder().add("h.txt", "evil!\n").build());
    const struct {
        const char* file;
        Names flaws;
    } cases[] = {
        {"cat.zip", {"invalid: starts with a local header that its central directory does not list"}},
        {"twins.zip", {"invalid: has two central directories that readers could choose between"}},
        {"twice.zip", {"valid", "a.txt overlaps:1", "b.txt overlaps:0"}},
        {"bomb.zip", {"valid", "a overlaps:2", "b overlaps:0", "c overlaps:0"}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.flaws, flawsAt(m_dir.file(c.file))) << c.file;
    for (const char* file : {"file.zip", "pipe.zip", "py.zip", "trailing.zip", "nested.zip", "disk.zip"})
        EXPECT_EQ(Names{"valid"}, flawsAt(m_dir.file(file))) << file;
    if (run("command -v unzip")) {
        EXPECT_NE(std::string::npos, runCommand("cd " + quote(m_dir.path()) + " && unzip -t bomb.zip 2>&1")
                                         .find("invalid zip file with overlapped components (possible zip bomb)"));
    }
}

}  // namespace
}  // namespace Tamsor::Testing
