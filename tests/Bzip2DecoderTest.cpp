// The bzip2 decoder through the member reader: members of 7-Zip, Info-ZIP and Python read whole; members made
// with libbz2 (many level-1 blocks, each also holding the block magic's pattern in its header; two streams of two
// levels) read whole, then at random offsets from the points left at block starts, with room for every point and
// for few; damaged members fail.

#include <bzlib.h>

#include <random>
#include <tuple>

#include "ZipFsFixture.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor::Testing {
namespace {

const std::uint16_t kBzip2 = 12;
const std::size_t kLevelOneBlock = 99981;  // bytes of output in a level-1 block of data without runs

std::string bzip2(const std::string& data, int level) {
    unsigned int size = static_cast<unsigned int>(data.size() + data.size() / 100 + 600);
    std::string out(size, '\0');
    EXPECT_EQ(BZ_OK, BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(data.data()),
                                              static_cast<unsigned int>(data.size()), level, 0, 0));
    return out.substr(0, size);
}

// Text in bytes of the ranges 0x20, 0x30, 0x70, 0x90 and 0xf0, those of the first two chosen so that the map of
// bytes in use in each block's header reads as the block magic (0x3141 ranges, 0x5926 and 0x5359 in the two).
std::string magicText(std::size_t size) {
    std::string text = makeContent(size, 7);
    for (char& c : text) c = c == ' ' ? '\x90' : c == '\n' ? '\xf0' : "!#$'*-p.1q3679;<r?stuvwxyz"[c - 'a'];
    return text;
}

// Bit positions where the block magic's pattern begins.
std::vector<std::size_t> magicPatterns(const std::string& stream) {
    std::vector<std::size_t> found;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        bits = bits << 8 | static_cast<unsigned char>(stream[i]);
        for (int shift = 7; shift >= 0 && i >= 6; --shift)
            if ((bits >> shift & 0xffffffffffff) == 0x314159265359) found.push_back(8 * i + 8 - 48 - shift);
    }
    return found;
}

// An archive of one member of `content` whose payload is `stream` (the builder describes other methods' members
// by the bytes given: the CRC-32 and size of `content` are set in both headers).
std::string archiveOf(const std::string& content, const std::string& stream) {
    std::string archive = ZipBuilder().add("m", stream, kBzip2).build();
    const std::string fields = le32(crc32(0, reinterpret_cast<const Bytef*>(content.data()), uInt(content.size()))) +
                               le32(uint32_t(stream.size())) + le32(uint32_t(content.size()));
    archive.replace(14, 12, fields);
    return archive.replace(archive.rfind("PK\x01\x02") + 16, 12, fields);
}

// The bytes read, or why the read failed.
std::string read(MemberReader& rReader, const ArchiveMember& member, std::uint64_t offset, std::size_t length) {
    std::string buffer(length, '\0');
    ReadStatus status = ReadStatus::IoError;
    const std::int64_t n = rReader.read(member, &buffer[0], length, offset, &status);
    return n < 0 ? std::string("<") + describeReadStatus(status) + ">" : buffer.substr(0, std::size_t(n));
}

TEST(Bzip2DecoderTest, ReadsMembersOfArchivers) {
    TempDir dir;
    const std::string text = makeContent(1500000, 3);
    dir.write("plain.txt", text), dir.write("empty.txt", "");
    int status = -1;
    runCommand("cd '" + dir.path() +
                   "' && 7zz a -tzip -mm=BZip2 -bso0 7z.zip plain.txt empty.txt && zip -q -Z bzip2 z.zip plain.txt "
                   "empty.txt && python3 -c \"import zipfile\nwith zipfile.ZipFile('py.zip', 'w', "
                   "zipfile.ZIP_BZIP2) as z: z.write('plain.txt'); z.write('empty.txt')\"",
               &status);
    ASSERT_EQ(0, status);
    for (const char* name : {"7z.zip", "z.zip", "py.zip"}) {
        ZIPFileSystem fileSystem;
        const ArchiveIndex index(fileSystem, dir.file(name));
        MemberReader reader(fileSystem, dir.file(name));
        ASSERT_TRUE(index.find("plain.txt") != kNoMember && index.find("empty.txt") != kNoMember) << name;
        const ArchiveMember plain = index.member(index.find("plain.txt"));
        EXPECT_EQ(kBzip2, plain.uiMethod) << name;
        EXPECT_TRUE(sameBytes(text, read(reader, plain, 0, text.size() + 1))) << name;
        EXPECT_EQ("", read(reader, index.member(index.find("empty.txt")), 0, 10))
            << name;  // Python's is a stream of no block
    }
}

// Read first in pieces of a level-1 block's output, each going on with the decoder that the last one left where a
// block ends; then each read goes from a point (or from the start, once evicted), or from that decoder.
TEST(Bzip2DecoderTest, ReadsAtRandomFromBlockStarts) {
    const std::string text = magicText(3 << 20), stream = bzip2(text, 1), first = makeContent(300000, 4),
                      second = makeContent(250000, 5);
    EXPECT_EQ(2 * ((text.size() + kLevelOneBlock - 1) / kLevelOneBlock), magicPatterns(stream).size());
    // The content, its payload, the most output in one block.
    const std::tuple<std::string, std::string, std::size_t> members[] = {
        {text, stream, kLevelOneBlock}, {first + second, bzip2(first, 9) + bzip2(second, 1), first.size()}};
    TempDir dir;
    std::mt19937 random(9);
    for (const auto& m : members) {
        const std::string& content = std::get<0>(m);
        const std::string path = dir.write("b.zip", archiveOf(content, std::get<1>(m)));
        for (const std::size_t budget : {std::size_t(32) << 20, std::size_t(1) << 10}) {
            SCOPED_TRACE(std::to_string(content.size()) + " bytes, budget " + std::to_string(budget));
            ZIPFileSystem fileSystem;
            const ArchiveIndex index(fileSystem, path);
            const ArchiveMember member = index.member(index.find("m"));
            MemberReader reader(fileSystem, path, MemberReaderOptions{budget, 64 << 10, 1, ""});
            std::string all, piece;
            do all += piece = read(reader, member, all.size(), kLevelOneBlock);
            while (piece.size() == kLevelOneBlock);
            EXPECT_TRUE(sameBytes(content, all));
            EXPECT_EQ(content.size(), reader.statistics().uiInflatedBytes);
            for (int i = 0; i < 30; ++i) {
                const std::uint64_t offset = i == 0 ? content.size() - 1 : random() % content.size();
                const std::uint64_t before = reader.statistics().uiInflatedBytes;
                const std::string part = content.substr(offset, random() % 5000);
                EXPECT_TRUE(sameBytes(part, read(reader, member, offset, part.size()))) << offset;
                if (budget > (1 << 20)) {
                    EXPECT_LE(reader.statistics().uiInflatedBytes - before, std::get<2>(m) + part.size()) << offset;
                }
            }
        }
    }
}

TEST(Bzip2DecoderTest, FailsDamagedMembers) {
    const std::string text = magicText(450000), stream = bzip2(text, 1);
    const std::size_t crcBit = magicPatterns(stream)[2] + 48 + 7;  // in the second block's CRC
    std::string damaged[] = {stream, stream, stream, stream, stream.substr(0, stream.size() - 9), stream + '\0', ""};
    damaged[0][2] = 'i';                                 // "BZh" no more
    damaged[1][stream.size() / 2] ^= 0x10;               // in a block's data
    damaged[2][crcBit / 8] ^= char(0x80 >> crcBit % 8);  // a block's CRC
    damaged[3][stream.size() - 2] ^= 1;                  // the stream's combined CRC
    TempDir dir;
    for (const std::string& payload : damaged) {
        SCOPED_TRACE(&payload - damaged);
        const std::string path = dir.write("d.zip", archiveOf(payload.empty() ? "" : text, payload));
        ZIPFileSystem fileSystem;
        const ArchiveIndex index(fileSystem, path);
        const ArchiveMember member = index.member(index.find("m"));
        MemberReader reader(fileSystem, path);
        EXPECT_EQ("<" + std::string(describeReadStatus(ReadStatus::CorruptData)) + ">",
                  read(reader, member, 0, member.uiSize + 1));
    }
}

}  // namespace
}  // namespace Tamsor::Testing
