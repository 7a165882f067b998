// The member reader against the members' own bytes: reads at every kind of offset in plain and scrambled
// archives (from a fresh reader, from kept restart points, and with points evicted by a small budget), what a
// read costs in inflating, threads reading the same and different members, refusals and damaged members.
// MemberReaderSlow inflates past 4 GiB (a few seconds; leave it out of valgrind runs).

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/SameBytes.h"
#include "support/TempDir.h"
#include "support/ZipBuilder.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Testing {
namespace {

const std::uint64_t kInterval = 64 << 10;
const std::uint16_t kDeflated = ZipBuilder::kDeflated, kStored = ZipBuilder::kStored;  // by value, not by reference

// An archive on disk with its file system and index.
struct Archive {
    Archive(const TempDir& dir, const std::string& name, std::string bytes, bool bScrambled) {
        if (bScrambled) ZIPEncryptedFileSystem::encrypt(&bytes[0], static_cast<unsigned int>(bytes.size()), 0);
        strPath = dir.write(name, bytes);
        pFileSystem.reset(bScrambled ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
        pIndex.reset(new ArchiveIndex(*pFileSystem, strPath));
    }
    ArchiveMember member(const std::string& name) const { return *pIndex->find(name); }
    MemberReader* reader(std::size_t budget = 32 << 20, std::size_t idle = 8) const {
        MemberReaderOptions options;
        options.uiRestartBudget = budget;
        options.uiRestartInterval = kInterval;
        options.uiIdleCursors = idle;
        return new MemberReader(*pFileSystem, strPath, options);
    }

    std::string strPath;
    std::unique_ptr<ZIPFileSystemImpl> pFileSystem;
    std::unique_ptr<ArchiveIndex> pIndex;
};

class MemberReaderTest : public ::testing::Test {
  protected:
    MemberReaderTest() {
        ZipBuilder builder;
        for (const auto& m : m_members) builder.add(m.first, m.second.first, m.second.second);
        builder.addDirectory("dir/");
        m_strBytes = builder.build();
    }
    const std::string& content(const std::string& name) { return m_members[name].first; }
    std::string read(MemberReader& rReader, const ArchiveMember& member, std::uint64_t offset, std::size_t length,
                     ReadStatus& rStatus) {
        std::string buffer(length, '\0');
        const std::int64_t n = rReader.read(member, &buffer[0], length, offset, &rStatus);
        buffer.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return n < 0 ? "<failed>" : buffer;
    }

    TempDir m_dir;
    std::map<std::string, std::pair<std::string, std::uint16_t>> m_members = {
        {"text", {makeContent(700000, 1), kDeflated}},
        {"noise", {makeContent(300000, 2, false), kDeflated}},  // deflate's stored blocks
        {"stored", {makeContent(200000, 3, false), kStored}},
        {"empty", {"", kDeflated}},
        {"empty-stored", {"", kStored}}};
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

TEST_F(MemberReaderTest, ReadsEveryKindOfOffsetFromPointsKeptOrEvicted) {
    for (const bool bScrambled : {false, true}) {
        const Archive archive(m_dir, bScrambled ? "s.zip" : "p.zip", m_strBytes, bScrambled);
        for (const std::size_t budget : {std::size_t(32) << 20, std::size_t(100) << 10}) {
            for (const std::string name : {"text", "noise", "stored", "empty", "empty-stored"}) {
                SCOPED_TRACE(name + (bScrambled ? " scrambled" : " plain") + " budget " + std::to_string(budget));
                const std::unique_ptr<MemberReader> pReader(archive.reader(budget));
                const std::string& bytes = content(name);
                const std::uint64_t anchors[] = {0, kInterval, bytes.size() / 2, bytes.size()};
                for (const Probe& probe : kProbes) {
                    const std::uint64_t offset = std::max<std::int64_t>(0, anchors[probe.anchor] + probe.delta);
                    const std::uint64_t before = pReader->statistics().uiInflatedBytes;
                    ReadStatus status = ReadStatus::IoError;
                    EXPECT_TRUE(sameBytes(read(*pReader, archive.member(name), offset, probe.length, status),
                                          offset < bytes.size() ? bytes.substr(offset, probe.length) : ""));
                    EXPECT_EQ(ReadStatus::Ok, status) << offset;
                    // Once the member was read to its end, a read costs at most one interval more than it reads.
                    if (budget > (1 << 20) && &probe != kProbes) {
                        EXPECT_LE(pReader->statistics().uiInflatedBytes - before, kInterval + probe.length);
                    }
                }
                EXPECT_LE(pReader->statistics().uiRestartBytes, budget);
            }
        }
    }
}

TEST_F(MemberReaderTest, SequentialReadsInflateOnceAndLeaveAPointEveryInterval) {
    const Archive archive(m_dir, "a.zip", m_strBytes, false);
    for (const std::size_t piece : {std::size_t(4093), std::size_t(kInterval), std::size_t(1) << 20}) {
        const std::unique_ptr<MemberReader> pReader(archive.reader());
        std::string all;
        ReadStatus status = ReadStatus::Ok;
        while (status == ReadStatus::Ok) {
            const std::string part = read(*pReader, archive.member("text"), all.size(), piece, status);
            if (part.empty()) break;
            all += part;
        }
        EXPECT_EQ(ReadStatus::Ok, status);
        EXPECT_TRUE(sameBytes(all, content("text")));
        EXPECT_EQ(content("text").size(), pReader->statistics().uiInflatedBytes);
        EXPECT_EQ(content("text").size() / kInterval, pReader->statistics().uiRestartPoints);
    }
}

TEST_F(MemberReaderTest, ThreadsReadTheSameAndDifferentMembers) {
    for (const bool bScrambled : {false, true}) {
        const Archive archive(m_dir, "t.zip", m_strBytes, bScrambled);
        const std::unique_ptr<MemberReader> pReader(archive.reader(200 << 10, 3));
        std::atomic<int> wrong(0);
        std::vector<std::thread> threads;
        for (unsigned int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 random(t);
                for (int i = 0; i < 60; ++i) {
                    const std::string name = t % 2 ? "text" : (i % 2 ? "noise" : "stored");
                    const std::string& bytes = content(name);
                    const std::uint64_t offset = random() % bytes.size();
                    const std::size_t length = random() % (2 * kInterval);
                    ReadStatus status = ReadStatus::IoError;
                    if (read(*pReader, archive.member(name), offset, length, status) != bytes.substr(offset, length))
                        ++wrong;
                }
            });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(0, wrong.load()) << (bScrambled ? "scrambled" : "plain");
    }
}

std::size_t dataStart(const ArchiveMember& m) {
    return static_cast<std::size_t>(m.uiLocalHeaderOffset) + 30 + m.name.size();
}

// A damage to a member's directory entry or to the archive's bytes, and what reads then say: readability(),
// a read of the whole member, a read of its first 1000 bytes, and a read of its last byte after that.
struct Damage {
    const char* member;
    std::function<void(ArchiveMember&, std::string&)> damage;
    ReadStatus readable, whole, partial;
};

TEST_F(MemberReaderTest, RefusesAndFailsDamagedMembers) {
    typedef ReadStatus S;
    const Damage damages[] = {
        {"text", [](ArchiveMember& m, std::string&) { m.uiCrc32 ^= 1; }, S::Ok, S::CrcMismatch, S::Ok},
        {"stored", [](ArchiveMember& m, std::string& b) { b[dataStart(m) + 5000] ^= 1; }, S::Ok, S::CrcMismatch, S::Ok},
        {"noise", [](ArchiveMember& m, std::string& b) { b[dataStart(m) + 90000] ^= 1; }, S::Ok, S::CrcMismatch, S::Ok},
        {"text", [](ArchiveMember& m, std::string&) { ++m.uiSize; }, S::Ok, S::SizeMismatch, S::Ok},
        {"text", [](ArchiveMember& m, std::string&) { --m.uiSize; }, S::Ok, S::SizeMismatch, S::Ok},
        {"text", [](ArchiveMember& m, std::string&) { m.uiCompressedSize /= 2; }, S::Ok, S::CorruptData, S::Ok},
        {"text", [](ArchiveMember& m, std::string& b) { b[dataStart(m)] = '\xff'; }, S::Ok, S::CorruptData,
         S::CorruptData},
        {"stored", [](ArchiveMember& m, std::string&) { --m.uiCompressedSize; }, S::Ok, S::SizeMismatch,
         S::SizeMismatch},
        {"text", [](ArchiveMember& m, std::string&) { ++m.uiLocalHeaderOffset; }, S::Ok, S::BadLocalHeader,
         S::BadLocalHeader},
        {"text", [](ArchiveMember& m, std::string& b) { m.uiLocalHeaderOffset = b.size() - 20; }, S::Ok,
         S::BadLocalHeader, S::BadLocalHeader},
        {"text", [](ArchiveMember& m, std::string& b) { b[m.uiLocalHeaderOffset + 6] |= 1; }, S::Ok, S::Encrypted,
         S::Encrypted},
        {"text", [](ArchiveMember& m, std::string&) { m.uiFlags |= 1; }, S::Encrypted, S::Encrypted, S::Encrypted},
        {"text", [](ArchiveMember& m, std::string&) { m.uiMethod = 99; }, S::Encrypted, S::Encrypted, S::Encrypted},
        {"text", [](ArchiveMember& m, std::string&) { m.uiMethod = 12; }, S::UnsupportedMethod, S::UnsupportedMethod,
         S::UnsupportedMethod},
        {"dir/", [](ArchiveMember&, std::string&) {}, S::NotAFile, S::NotAFile, S::NotAFile},
    };
    const Archive pristine(m_dir, "p.zip", m_strBytes, false);
    for (const Damage& d : damages) {
        ArchiveMember member = pristine.member(d.member);
        std::string bytes = m_strBytes;
        d.damage(member, bytes);
        const Archive archive(m_dir, "d.zip", bytes, false);
        const std::unique_ptr<MemberReader> pReader(archive.reader());
        SCOPED_TRACE(std::string(d.member) + " expecting " + describeReadStatus(d.whole));
        EXPECT_EQ(d.readable, MemberReader::readability(member));
        ReadStatus status = ReadStatus::Ok;
        read(*pReader, member, 0, 1000, status);
        EXPECT_EQ(d.partial, status);
        read(*pReader, member, 0, 1 << 20, status);
        EXPECT_EQ(d.whole, status);
        read(*pReader, member, std::max<std::uint64_t>(member.uiSize, 1) - 1, 1,
             status);  // a member found bad stays so
        EXPECT_EQ(d.whole, status);
    }
    ReadStatus status = ReadStatus::Ok;
    const Archive archive(m_dir, "a.zip", m_strBytes, false);
    MemberReader missing(*archive.pFileSystem, m_dir.file("missing.zip"));
    EXPECT_EQ("<failed>", read(missing, archive.member("text"), 0, 10, status));
    EXPECT_EQ(ReadStatus::IoError, status);
}

// Info-ZIP writes extra fields into local headers (the data starts after them) and encrypts with -P.
TEST_F(MemberReaderTest, ReadsInfoZipMembersAndRefusesItsEncryptedOnes) {
    int exitStatus = 0;
    m_dir.write("plain.txt", content("text"));
    m_dir.write("secret.txt", "hidden words\n");
    runCommand("cd '" + m_dir.path() + "' && zip -q e.zip plain.txt && zip -q -P pw e.zip secret.txt 2>&1",
               &exitStatus);
    ASSERT_EQ(0, exitStatus);
    ZIPFileSystem fileSystem;
    const ArchiveIndex index(fileSystem, m_dir.file("e.zip"));
    MemberReader reader(fileSystem, m_dir.file("e.zip"));
    ReadStatus status = ReadStatus::IoError;
    EXPECT_TRUE(sameBytes(content("text"), read(reader, *index.find("plain.txt"), 0, 1 << 20, status)));
    EXPECT_EQ(ReadStatus::Ok, status);
    EXPECT_EQ(ReadStatus::Encrypted, MemberReader::readability(*index.find("secret.txt")));
    EXPECT_EQ("<failed>", read(reader, *index.find("secret.txt"), 0, 10, status));
    EXPECT_EQ(ReadStatus::Encrypted, status);
}

// With room for two points (about 54 KiB each), the one restored from last stays when a third one comes.
TEST_F(MemberReaderTest, EvictsTheLeastRecentlyUsedPoint) {
    const Archive archive(m_dir, "a.zip", m_strBytes, false);
    const std::unique_ptr<MemberReader> pReader(archive.reader(120 << 10, 0));
    ReadStatus status = ReadStatus::IoError;
    const std::pair<const char*, std::uint64_t> reads[] = {
        {"text", kInterval}, {"noise", kInterval}, {"text", 2 * kInterval}};
    for (const auto& r : reads) read(*pReader, archive.member(r.first), r.second, 1, status);
    const std::uint64_t before = pReader->statistics().uiInflatedBytes;
    read(*pReader, archive.member("text"), kInterval + 20, 1, status);
    EXPECT_EQ(21u, pReader->statistics().uiInflatedBytes - before);
    EXPECT_EQ(2u, pReader->statistics().uiRestartPoints);
}

// 4 GiB + 1 MiB + 7 zero bytes in a 4 MiB deflate stream: one segment that stands for 1 MiB of zeros after
// 32 KiB of zeros, repeated. Reads on both sides of 4 GiB and at the end (CRC-32 of the whole checked).
TEST(MemberReaderSlow, InflatesPastFourGiB) {
    z_stream z{};
    ASSERT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY));
    std::string zeros(1 << 20, '\0');
    const auto deflateZeros = [&](std::size_t size, int flush) {
        std::string out(size / 8 + 1024, '\0');
        z.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
        z.avail_in = static_cast<uInt>(size);
        z.next_out = reinterpret_cast<Bytef*>(&out[0]);
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        return out;
    };
    std::string stream = deflateZeros(zeros.size(), Z_SYNC_FLUSH);
    const std::string segment = deflateZeros(zeros.size(), Z_SYNC_FLUSH);
    for (int i = 2; i <= 4097; ++i) stream += segment;
    stream += deflateZeros(7, Z_FINISH);
    deflateEnd(&z);
    const uLong crcOfMiB = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), 1 << 20);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), 7);
    for (z_off_t i = 0; i < 4097; ++i) crc = crc32_combine(crcOfMiB, crc, (i << 20) + 7);

    ArchiveMember member;
    member.name = "zeros";
    member.uiMethod = 8;
    member.uiCrc32 = static_cast<std::uint32_t>(crc);
    member.uiSize = (std::uint64_t(4097) << 20) + 7;
    member.uiCompressedSize = stream.size();
    TempDir dir;
    dir.write("big.zip", le32(0x04034b50) + std::string(22, '\0') + le16(5) + le16(0) + "zeros" + stream);
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
}  // namespace Testing
}  // namespace Tamsor
