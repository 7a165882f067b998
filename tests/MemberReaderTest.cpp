// The member reader against the members' own bytes: reads in pieces and at every kind of offset in plain and
// scrambled archives (with restart points kept, or evicted by a small budget), what reads cost in inflating,
// threads reading the same and different members, least recently used eviction, refusals and damaged members.
// MemberReaderSlow inflates past 4 GiB (a few seconds; leave it out of valgrind runs).

#include <random>

#include "ZipFsFixture.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor::Testing {
namespace {

const std::uint64_t kInterval = 64 << 10;
const std::uint16_t kDeflated = ZipBuilder::kDeflated, kStored = ZipBuilder::kStored;  // by value, not by reference

// An archive on disk with its file system and index.
struct Archive {
    Archive(const TempDir& dir, const std::string& name, const std::string& bytes, bool bScrambled)
        : strPath(dir.write(name, bScrambled ? scrambled(bytes) : bytes)),
          pFileSystem(bScrambled ? new ZIPEncryptedFileSystem : new ZIPFileSystem),
          pIndex(new ArchiveIndex(*pFileSystem, strPath)) {}
    ArchiveMember member(const std::string& name) const { return pIndex->member(pIndex->find(name)); }
    // The file system may go before the reader.
    std::unique_ptr<MemberReader> reader(std::size_t budget = 32 << 20, std::size_t idle = 8) const {
        return std::unique_ptr<MemberReader>(
            new MemberReader(*pFileSystem, strPath, MemberReaderOptions{budget, kInterval, idle, ""}));
    }

    std::string strPath;
    std::unique_ptr<ZIPFileSystemImpl> pFileSystem;
    std::unique_ptr<ArchiveIndex> pIndex;
};

class MemberReaderTest : public ::testing::Test {
  protected:
    MemberReaderTest() {
        ZipBuilder builder;
        for (const auto& m : m_members) {
            builder.add(m.first, m.second.first, m.second.second);
            builder.last().descriptor = m.first == "signed" ? ZipBuilder::Descriptor::Signed
                                        : m.first == "bare" ? ZipBuilder::Descriptor::Bare
                                                            : ZipBuilder::Descriptor::None;
        }
        builder.addDirectory("dir/");
        m_strBytes = builder.build();
    }
    const std::string& content(const std::string& name) const { return m_members.at(name).first; }
    std::string read(MemberReader& rReader, const ArchiveMember& member, std::uint64_t offset, std::size_t length,
                     ReadStatus& rStatus) {
        std::string buffer(length + 8, '\x5a');  // 8 bytes past the end that no read may touch
        const std::int64_t n = rReader.read(member, &buffer[0], length, offset, &rStatus);
        EXPECT_EQ(std::string(8, '\x5a'), buffer.substr(length)) << "written past the buffer";
        buffer.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return n < 0 ? "<failed>" : buffer;
    }

    TempDir m_dir;
    std::map<std::string, std::pair<std::string, std::uint16_t>> m_members = {
        {"text", {makeContent(700000, 1), kDeflated}},
        {"noise", {makeContent(300000, 2, false), kDeflated}},  // deflate's stored blocks
        {"stored", {makeContent(200000, 3, false), kStored}},
        {"empty", {"", kDeflated}},
        {"empty-stored", {"", kStored}},
        {"signed", {makeContent(5000, 4), kDeflated}},  // with data descriptors
        {"bare", {makeContent(3000, 5, false), kStored}}};
    std::string m_strBytes;
};

// Offsets as anchor + delta: the start, the first restart point, the middle, the end.
struct Probe {
    int anchor;
    std::int64_t delta;
    std::size_t length;
};
const Probe kProbes[] = {{3, -1, 10}, {0, 0, 1000}, {1, -100, 200},        {2, 0, 3000}, {1, 0, 10},
                         {3, -7, 7},  {3, 0, 10},   {1, 5, 3 * kInterval}, {3, 5, 10},   {2, 0, 0}};

// Each member read in pieces from its start inflates every byte once and leaves a point every interval; then
// reads at every kind of offset cost at most an interval more than they read (unless points were evicted).
TEST_F(MemberReaderTest, ReadsEveryKindOfOffsetInflatingOnce) {
    for (const bool bScrambled : {false, true}) {
        const Archive archive(m_dir, bScrambled ? "s.zip" : "p.zip", m_strBytes, bScrambled);
        for (const std::size_t budget : {std::size_t(32) << 20, std::size_t(100) << 10}) {
            for (const std::string name : {"text", "noise", "stored", "empty", "empty-stored"}) {
                SCOPED_TRACE(name + (bScrambled ? " scrambled" : " plain") + " budget " + std::to_string(budget));
                const std::unique_ptr<MemberReader> pReader = archive.reader(budget);
                const ArchiveMember member = archive.member(name);
                const std::string& bytes = content(name);
                ReadStatus status = ReadStatus::Ok;
                std::string all;
                for (std::string part = "-"; !part.empty() && status == ReadStatus::Ok; all += part)
                    part = read(*pReader, member, all.size(), 4093, status);
                EXPECT_TRUE(sameBytes(bytes, all));
                EXPECT_EQ(member.uiMethod ? bytes.size() : 0, pReader->statistics().uiInflatedBytes);
                const bool bRoomy = budget > (1 << 20);
                if (bRoomy) {
                    EXPECT_EQ(member.uiMethod ? bytes.size() / kInterval : 0, pReader->statistics().uiRestartPoints);
                }
                const std::uint64_t anchors[] = {0, kInterval, bytes.size() / 2, bytes.size()};
                for (const Probe& probe : kProbes) {
                    const std::uint64_t offset = std::max<std::int64_t>(0, anchors[probe.anchor] + probe.delta);
                    const std::uint64_t before = pReader->statistics().uiInflatedBytes;
                    EXPECT_TRUE(sameBytes(offset < bytes.size() ? bytes.substr(offset, probe.length) : "",
                                          read(*pReader, member, offset, probe.length, status)));
                    EXPECT_EQ(ReadStatus::Ok, status) << offset;
                    if (bRoomy) { EXPECT_LE(pReader->statistics().uiInflatedBytes - before, kInterval + probe.length); }
                }
                EXPECT_LE(pReader->statistics().uiRestartBytes, budget);
            }
        }
    }
}

TEST_F(MemberReaderTest, ThreadsReadTheSameAndDifferentMembers) {
    for (const bool bScrambled : {false, true}) {
        const Archive archive(m_dir, "t.zip", m_strBytes, bScrambled);
        const std::unique_ptr<MemberReader> pReader = archive.reader(200 << 10, 3);
        std::atomic<int> wrong(0);
        std::vector<std::thread> threads;
        for (unsigned int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 random(t);
                for (int i = 0; i < 60; ++i) {
                    const std::string name = t % 2 ? "text" : (i % 2 ? "noise" : "stored");
                    const std::uint64_t offset = random() % content(name).size(), length = random() % (2 * kInterval);
                    ReadStatus status = ReadStatus::IoError;
                    wrong += read(*pReader, archive.member(name), offset, length, status) !=
                             content(name).substr(offset, length);
                }
            });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(0, wrong.load()) << (bScrambled ? "scrambled" : "plain");
    }
}

// A damage to a member's directory entry (m) or to the archive's bytes (b, where the member's data starts at d),
// and what reads then say: readability(), check() before any read, a read of the first 1000 bytes (no bytes when
// it fails), of the whole member, and of its last byte after that (a member found bad stays bad). Damage to the
// CRC-32 or sizes is made in both headers (local(), as a writer would have made it); in one of them only, it is a
// local header that tells another story. The index's flaws and the data limit are the directory entry's.
struct Damage {
    typedef void (*Maker)(ArchiveMember& m, std::string& b, std::size_t d);
    Damage(const char* m, Maker f, ReadStatus r, ReadStatus c, ReadStatus p, ReadStatus w)
        : member(m), damage(f), readable(r), checked(c), partial(p), whole(w) {}
    // What check() says before any read, every read says too.
    Damage(const char* m, Maker f, ReadStatus r, ReadStatus c) : Damage(m, f, r, c, c, c) {}
    const char* member;
    Maker damage;
    ReadStatus readable, checked, partial, whole;
};
#define DAMAGE(body)                                      \
    [](ArchiveMember& m, std::string& b, std::size_t d) { \
        (void)m, (void)b, (void)d;                        \
        body;                                             \
    }

void local(const ArchiveMember& m, std::string& b) {
    b.replace(m.uiLocalHeaderOffset + 14, 12,
              le32(m.uiCrc32) + le32(std::uint32_t(m.uiCompressedSize)) + le32(std::uint32_t(m.uiSize)));
}

TEST_F(MemberReaderTest, RefusesAndFailsDamagedMembers) {
    typedef ReadStatus S;
    const Damage damages[] = {
        {"text", DAMAGE(m.uiCrc32 ^= 1; local(m, b)), S::Ok, S::Ok, S::Ok, S::CrcMismatch},
        {"stored", DAMAGE(b[d + 5000] ^= 1), S::Ok, S::Ok, S::Ok, S::CrcMismatch},
        {"noise", DAMAGE(b[d + 90000] ^= 1), S::Ok, S::Ok, S::Ok, S::CrcMismatch},  // inside a stored block
        {"text", DAMAGE(++m.uiSize; local(m, b)), S::Ok, S::Ok, S::Ok, S::SizeMismatch},
        {"text", DAMAGE(--m.uiSize; local(m, b)), S::Ok, S::Ok, S::Ok, S::SizeMismatch},
        {"text", DAMAGE(m.uiCompressedSize /= 2; local(m, b)), S::Ok, S::Ok, S::Ok, S::CorruptData},
        {"text", DAMAGE(b[d] = '\xff'), S::Ok, S::Ok, S::CorruptData, S::CorruptData},
        {"stored", DAMAGE(--m.uiCompressedSize; local(m, b)), S::Ok, S::SizeMismatch},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset] ^= 1), S::Ok, S::BadLocalHeader},
        {"text", DAMAGE(m.uiLocalHeaderOffset = b.size() - 20), S::Ok, S::BadLocalHeader},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 6] |= 1), S::Ok, S::LocalHeaderMismatch},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 6] |= 1; m.uiFlags |= 1), S::Encrypted, S::Encrypted},
        {"text", DAMAGE(m.uiFlags |= 1), S::Encrypted, S::Encrypted},
        {"text", DAMAGE(m.uiMethod = 99), S::UnsupportedEncryption, S::UnsupportedEncryption},
        {"text", DAMAGE(m.uiMethod = 98), S::UnsupportedMethod, S::UnsupportedMethod},
        {"dir/", DAMAGE(), S::NotAFile, S::NotAFile},
        // Another story in the local records: name, method, CRC-32, size (the data descriptor's when one is
        // announced, the local header's then counting for nothing), a longer extra field, an unlisted member.
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 30] ^= 1), S::Ok, S::LocalNameMismatch},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 8] = 0), S::Ok, S::LocalHeaderMismatch},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 14] ^= 1), S::Ok, S::LocalHeaderMismatch},
        {"stored", DAMAGE(b[m.uiLocalHeaderOffset + 22] ^= 1), S::Ok, S::LocalHeaderMismatch},
        {"signed", DAMAGE(b[m.uiLocalHeaderOffset + 14] ^= 1; b[m.uiLocalHeaderOffset + 22] ^= 1), S::Ok, S::Ok},
        {"signed", DAMAGE(b[d + m.uiCompressedSize + 4] ^= 1), S::Ok, S::DescriptorMismatch},
        {"bare", DAMAGE(b[d + m.uiCompressedSize + 4] ^= 1), S::Ok, S::DescriptorMismatch},
        {"text", DAMAGE(b[m.uiLocalHeaderOffset + 28] = 4), S::Ok, S::Overlapping},
        {"signed", DAMAGE(--m.uiDataLimit), S::Ok, S::Overlapping},
        {"text", DAMAGE(m.uiDataLimit += 4), S::Ok, S::UnlistedMember},
        {"text", DAMAGE(m.flaw = MemberFlaw::Overlaps), S::Overlapping, S::Overlapping},
        {"text", DAMAGE(m.flaw = MemberFlaw::NameAmbiguous), S::AmbiguousName, S::AmbiguousName},
        {"text", DAMAGE(m.flaw = MemberFlaw::Zip64Disagrees), S::Zip64Mismatch, S::Zip64Mismatch},
    };
    const Archive pristine(m_dir, "p.zip", m_strBytes, false);
    for (const Damage& damage : damages) {
        ArchiveMember member = pristine.member(damage.member);
        std::string bytes = m_strBytes;
        damage.damage(member, bytes, member.uiLocalHeaderOffset + 30 + member.name.size());
        const std::unique_ptr<MemberReader> pReader = Archive(m_dir, "d.zip", bytes, false).reader();
        SCOPED_TRACE(std::string(damage.member) + " expecting " + describeReadStatus(damage.whole));
        EXPECT_EQ(damage.readable, MemberReader::readability(member));
        EXPECT_EQ(damage.checked, pReader->check(member));
        ReadStatus status[3];
        EXPECT_EQ(damage.partial != S::Ok, read(*pReader, member, 0, 1000, status[0]) == "<failed>");
        read(*pReader, member, 0, 1 << 20, status[1]);
        read(*pReader, member, std::max<std::uint64_t>(member.uiSize, 1) - 1, 1, status[2]);
        EXPECT_EQ(damage.partial, status[0]);
        EXPECT_EQ(damage.whole, status[1]);
        EXPECT_EQ(damage.whole, status[2]);
    }
    MemberReader missing(*pristine.pFileSystem, m_dir.file("missing.zip"));
    ReadStatus status = ReadStatus::Ok;
    EXPECT_EQ("<failed>", read(missing, pristine.member("text"), 0, 10, status));
    EXPECT_EQ(ReadStatus::IoError, status);
}

// Info-ZIP writes extra fields into local headers (the data starts after them) and encrypts with -P.
TEST_F(MemberReaderTest, ReadsInfoZipMembersAndRefusesItsEncryptedOnes) {
    int exitStatus = 0;
    m_dir.write("plain.txt", content("text"));
    m_dir.write("secret.txt", "hidden words\n");
    runCommand("cd '" + m_dir.path() + "' && zip -q e.zip plain.txt && zip -q -P pw e.zip secret.txt", &exitStatus);
    ASSERT_EQ(0, exitStatus);
    const Archive archive(m_dir, "e.zip", readFile(m_dir.file("e.zip")), false);
    ReadStatus status[2];
    EXPECT_TRUE(
        sameBytes(content("text"), read(*archive.reader(), archive.member("plain.txt"), 0, 1 << 20, status[0])));
    EXPECT_EQ("<failed>", read(*archive.reader(), archive.member("secret.txt"), 0, 10, status[1]));
    EXPECT_TRUE(status[0] == ReadStatus::Ok && status[1] == ReadStatus::Encrypted);
}

// Members whose local headers leave their CRC-32 and sizes to a data descriptor after the data (Info-ZIP writing
// to a pipe, in zip64 form; Python to an unseekable stream, its directory in reverse order; the builder's, with
// and without a signature), or give them in a zip64 field (Info-ZIP writing standard input to a file).
TEST_F(MemberReaderTest, ReadsMembersOfStreamingWriters) {
    int exitStatus = 0;
    m_dir.write("plain.txt", content("text"));
    runCommand(
        "cd '" + m_dir.path() +
            "' && zip -q - - <plain.txt >file.zip && zip -q - - <plain.txt | cat >pipe.zip && python3 -c "
            "\"import sys, zipfile\nz = zipfile.ZipFile(sys.stdout.buffer, 'w')\nfor n, m in ('a', 8), ('b', 0): "
            "z.write('plain.txt', n, m)\nz.filelist.reverse()\nz.close()\" | cat >py.zip",
        &exitStatus);
    ASSERT_EQ(0, exitStatus);
    m_dir.write("p.zip", m_strBytes);
    const std::pair<const char*, const char*> reads[] = {{"file.zip", "-"}, {"pipe.zip", "-"},   {"py.zip", "a"},
                                                         {"py.zip", "b"},   {"p.zip", "signed"}, {"p.zip", "bare"}};
    for (const auto& r : reads) {
        SCOPED_TRACE(std::string(r.first) + " " + r.second);
        const Archive archive(m_dir, r.first, readFile(m_dir.file(r.first)), false);
        ASSERT_NE(kNoMember, archive.pIndex->find(r.second));
        const ArchiveMember member = archive.member(r.second);
        const std::unique_ptr<MemberReader> pReader = archive.reader();
        ReadStatus status = ReadStatus::IoError;
        EXPECT_EQ(ReadStatus::Ok, pReader->check(member));
        EXPECT_TRUE(sameBytes(content(std::string(r.first) == "p.zip" ? r.second : "text"),
                              read(*pReader, member, 0, 1 << 20, status)));
        EXPECT_EQ(ReadStatus::Ok, status);
    }
}

// With room for two points (about 54 KiB each), the one restored from last stays when a third one comes.
TEST_F(MemberReaderTest, EvictsTheLeastRecentlyUsedPoint) {
    const Archive archive(m_dir, "a.zip", m_strBytes, false);
    const std::unique_ptr<MemberReader> pReader = archive.reader(120 << 10, 0);
    ReadStatus status = ReadStatus::IoError;
    const std::pair<const char*, std::uint64_t> reads[] = {
        {"text", kInterval}, {"noise", kInterval}, {"text", 2 * kInterval}};
    for (const auto& r : reads) read(*pReader, archive.member(r.first), r.second, 1, status);
    const std::uint64_t before = pReader->statistics().uiInflatedBytes;
    read(*pReader, archive.member("text"), kInterval + 20, 1, status);
    EXPECT_EQ(21u, pReader->statistics().uiInflatedBytes - before);
    EXPECT_EQ(2u, pReader->statistics().uiRestartPoints);
}

// With room for the records of four members, five read in turn a piece at a time: each read goes on from a record
// dropped since its last piece, whose decoders are still idle under its old name and must not be taken for
// another member's; a stored member found bad, dropped, and read whole again is found bad again.
TEST_F(MemberReaderTest, KeepsTheRecordsOfTheMembersReadLast) {
    std::string bytes = m_strBytes;
    const Archive pristine(m_dir, "p.zip", m_strBytes, false);
    const ArchiveMember stored = pristine.member("stored");
    bytes[stored.uiLocalHeaderOffset + 30 + stored.name.size() + 190000] ^= 1;
    const Archive archive(m_dir, "k.zip", bytes, false);
    MemberReaderOptions options{32 << 20, kInterval, 8, ""};
    options.uiKeptMembers = 4;
    MemberReader reader(*archive.pFileSystem, archive.strPath, options);
    ReadStatus status = ReadStatus::IoError;
    const char* const names[] = {"text", "noise", "signed", "bare", "empty"};
    std::map<std::string, std::uint64_t> next;
    for (int round = 0; round < 6; ++round) {
        for (const char* name : names) {
            const std::uint64_t offset = next[name] % (content(name).size() + 1);
            EXPECT_EQ(content(name).substr(offset, 1500), read(reader, archive.member(name), offset, 1500, status))
                << name << " at " << offset;
            next[name] = offset + 1500;
            EXPECT_GE(4u, reader.statistics().uiKeptMembers);
        }
        EXPECT_EQ("<failed>", read(reader, archive.member("stored"), 0, 1 << 20, status));
        EXPECT_EQ(ReadStatus::CrcMismatch, status);
    }
    EXPECT_LE(2u, reader.statistics().uiKeptMembers);
}

// 4 GiB + 1 MiB of zero bytes in a 4 MiB deflate stream: a flushed segment that stands for 1 MiB of zeros, 4097
// times, then an empty last block. Reads on both sides of 4 GiB and at the end (CRC-32 of the whole checked).
TEST(MemberReaderSlow, InflatesPastFourGiB) {
    std::string zeros(1 << 20, '\0'), piece(64 << 10, '\0'), last(64, '\0'), stream;
    z_stream z{};
    ASSERT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY));
    z.next_in = reinterpret_cast<Bytef*>(&zeros[0]), z.avail_in = 1 << 20;
    z.next_out = reinterpret_cast<Bytef*>(&piece[0]), z.avail_out = 64 << 10;
    deflate(&z, Z_SYNC_FLUSH);
    piece.resize((64 << 10) - z.avail_out);
    z.next_out = reinterpret_cast<Bytef*>(&last[0]), z.avail_out = 64;
    deflate(&z, Z_FINISH);
    last.resize(64 - z.avail_out);
    deflateEnd(&z);
    const uLong crcOfMiB = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), 1 << 20);
    uLong crc = 0;
    for (int i = 0; i < 4097; ++i) stream += piece, crc = crc32_combine(crc, crcOfMiB, 1 << 20);
    stream += last;
    ArchiveMember member;
    member.name = "zeros";
    member.uiMethod = 8;
    member.uiCrc32 = static_cast<std::uint32_t>(crc);
    member.uiSize = std::uint64_t(4097) << 20;
    member.uiCompressedSize = stream.size();
    TempDir dir;
    // Sizes and CRC-32 left to a data descriptor (flag bit 3), which the file does not hold.
    dir.write("big.zip", le32(0x04034b50) + le16(20) + le16(8) + le16(8) + std::string(16, '\0') + le16(5) + le16(0) +
                             "zeros" + stream);
    ZIPFileSystem fileSystem;
    MemberReader reader(fileSystem, dir.file("big.zip"));
    for (const std::uint64_t offset : {member.uiSize - 3, (std::uint64_t(1) << 32) - 2, std::uint64_t(1) << 32}) {
        char buffer[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        ReadStatus status = ReadStatus::IoError;
        EXPECT_EQ(std::min<std::uint64_t>(10, member.uiSize - offset),
                  reader.read(member, buffer, sizeof(buffer), offset, &status));
        EXPECT_EQ(ReadStatus::Ok, status) << offset;
        EXPECT_EQ(0, buffer[0] | buffer[1] | buffer[2]);
    }
}

}  // namespace
}  // namespace Tamsor::Testing
