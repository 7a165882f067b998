// The LZMA, xz and zstd decoders through the member reader, on data that the formats' own tools wrote: Python's
// zipfile and 7-Zip (LZMA with and without an end marker), the xz tool and Python's lzma (one block; blocks of
// 64 KiB; two streams with padding), the zstd tool (one frame; frames of 64 KiB after a skippable one). Every
// member reads whole and byte-exact; random reads then cost at most a block or frame more than they return where
// the data has several, and decode from the member's start where it has not; damaged members fail.

#include <random>

#include "ZipFsFixture.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor::Testing {
namespace {

const std::uint64_t kPart = 64 << 10;  // the blocks and frames of the members made of parts
const std::uint16_t kLzma = 14, kZstd = 93, kXz = 95;

// Run in a directory holding `content`; two.xz holds its two halves in two streams.
const char* const kScript =
    "set -e; python3 -c \"import zipfile, lzma\n"
    "z = zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_LZMA); z.write('content', 'lzma'); z.writestr('empty', b'')\n"
    "open('py.xz', 'wb').write(lzma.compress(open('content', 'rb').read(), lzma.FORMAT_XZ, lzma.CHECK_SHA256))\"\n"
    "7zz a -tzip -mm=LZMA:eos=off 7z.zip content >/dev/null; 7zz a -tzip -mm=LZMA eos.zip content >/dev/null\n"
    "xz -c content >one.xz; xz -T2 --block-size=65536 -c content >blocks.xz; xz -c </dev/null >empty.xz\n"
    "cp one.xz odd.xz; printf '\\0\\0\\0' >>odd.xz\n"
    "head -c 300000 content | xz -T2 --block-size=65536 -c >two.xz; printf '\\0\\0\\0\\0\\0\\0\\0\\0' >>two.xz\n"
    "tail -c +300001 content | xz --check=crc32 --block-size=65536 -c >>two.xz; printf '\\0\\0\\0\\0' >>two.xz\n"
    "zstd -q -c content >one.zst; zstd -q -c </dev/null >empty.zst; split -b 65536 content part.\n"
    "printf 'P*M\\030\\004\\0\\0\\0skip' >parts.zst; for p in part.*; do zstd -q -c $p >>parts.zst; done\n";

std::uint32_t crcOf(const std::string& bytes) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
}

std::uint32_t le32At(const std::string& bytes, std::size_t at) {
    return std::uint32_t(std::uint8_t(bytes[at])) | std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 | std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

// The builder describes a member of another method by the bytes it is given; a real one is described by its
// content, in the local header and in the central directory.
std::string described(std::string archive, const std::string& data, const std::string& content) {
    const std::string given = le32(crcOf(data)) + le32(uint32_t(data.size())) + le32(uint32_t(data.size()));
    const std::string real = le32(crcOf(content)) + le32(uint32_t(data.size())) + le32(uint32_t(content.size()));
    int count = 0;
    for (std::size_t at; (at = archive.find(given)) != std::string::npos; ++count) archive.replace(at, 12, real);
    EXPECT_EQ(2, count);
    return archive;
}

std::string read(MemberReader& rReader, const ArchiveMember& member, std::uint64_t offset, std::size_t length,
                 ReadStatus* pStatus = nullptr) {
    std::string buffer(length, '\0');
    ReadStatus status = ReadStatus::IoError;
    const std::int64_t n = rReader.read(member, &buffer[0], length, offset, &status);
    if (pStatus) *pStatus = status;
    buffer.resize(n < 0 ? 0 : std::size_t(n));
    return n < 0 ? std::string("<") + describeReadStatus(status) + ">" : buffer;
}

class LzmaXzZstdDecodersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_pDir = new TempDir;
        s_pContent = new std::string(makeContent(600000, 7));
        s_pDir->write("content", *s_pContent);
        int status = 0;
        runCommand("cd '" + s_pDir->path() + "' && " + kScript, &status);
        ASSERT_EQ(0, status);
        ZipBuilder builder;
        const char* const names[] = {"one.xz", "py.xz",   "blocks.xz", "two.xz",   "empty.xz",
                                     "odd.xz", "one.zst", "parts.zst", "empty.zst"};
        for (const std::string name : names)
            builder.add(name, readFile(s_pDir->file(name)), name.find(".xz") != std::string::npos ? kXz : kZstd);
        std::string archive = builder.build();
        for (const std::string name : names)
            archive = described(archive, readFile(s_pDir->file(name)), name.compare(0, 5, "empty") ? *s_pContent : "");
        s_pDir->write("tools.zip", archive);
    }
    static void TearDownTestSuite() { delete s_pDir, delete s_pContent; }

    static TempDir* s_pDir;
    static std::string* s_pContent;
};
TempDir* LzmaXzZstdDecodersTest::s_pDir = nullptr;
std::string* LzmaXzZstdDecodersTest::s_pContent = nullptr;

struct Made {
    const char* archive;
    const char* member;
    std::uint16_t method;
    std::uint16_t marker;  // flag bit 1: the LZMA stream ends with a marker
    bool bEmpty;
    bool bParts;  // of blocks or frames of kPart
};
const Made kMade[] = {
    {"py.zip", "lzma", kLzma, 2, false, false},        {"py.zip", "empty", kLzma, 2, true, false},
    {"7z.zip", "content", kLzma, 0, false, false},     {"eos.zip", "content", kLzma, 2, false, false},
    {"tools.zip", "one.xz", kXz, 0, false, false},     {"tools.zip", "py.xz", kXz, 0, false, false},
    {"tools.zip", "blocks.xz", kXz, 0, false, true},   {"tools.zip", "two.xz", kXz, 0, false, true},
    {"tools.zip", "empty.xz", kXz, 0, true, false},    {"tools.zip", "one.zst", kZstd, 0, false, false},
    {"tools.zip", "parts.zst", kZstd, 0, false, true}, {"tools.zip", "empty.zst", kZstd, 0, true, false},
};

// Without idle decoders, each read goes from a restart point or from the start.
TEST_F(LzmaXzZstdDecodersTest, ReadsWholeThenAtRandomFromTheBlockOrFrameStart) {
    std::mt19937 random(5);
    for (const Made& made : kMade) {
        SCOPED_TRACE(std::string(made.archive) + " " + made.member);
        ZIPFileSystem fileSystem;
        const ArchiveIndex index(fileSystem, s_pDir->file(made.archive));
        const ArchiveMember member = index.member(index.find(made.member));
        EXPECT_EQ(made.method, member.uiMethod);
        EXPECT_EQ(made.marker, member.uiFlags & 2);
        MemberReader reader(fileSystem, s_pDir->file(made.archive), MemberReaderOptions{32 << 20, 4 << 10, 0, ""});
        const std::string content = made.bEmpty ? "" : *s_pContent;
        EXPECT_TRUE(sameBytes(content, read(reader, member, 0, content.size() + 1)));
        EXPECT_EQ(content.size(), reader.statistics().uiInflatedBytes);
        for (int i = 0; i < 8 && !content.empty(); ++i) {
            const std::uint64_t offset = i == 0 ? content.size() - 1 : random() % content.size();
            const std::uint64_t before = reader.statistics().uiInflatedBytes;
            const std::string part = content.substr(offset, 1000);
            EXPECT_TRUE(sameBytes(part, read(reader, member, offset, 1000))) << offset;
            const std::uint64_t cost = reader.statistics().uiInflatedBytes - before;
            if (made.bParts) {
                EXPECT_LE(cost, kPart + part.size()) << offset;
            } else {
                EXPECT_EQ(offset + part.size(), cost) << offset;
            }
        }
    }
}

void flipMiddle(std::string& data) {
    data[data.size() / 2] ^= 0x10;
}
void flipLast(std::string& data) {  // a zstd frame's checksum; the last byte of xz padding
    data.back() ^= 1;
}
void flipIndexCrc(std::string& data) {  // before the footer's 12 bytes
    data[data.size() - 13] ^= 1;
}
// The xz footer's check type changed (CRC-32 for CRC-64) and its CRC-32 made right: the header says otherwise.
void changeFooterCheck(std::string& data) {
    data[data.size() - 3] = 1;
    data.replace(data.size() - 12, 4, le32(crcOf(data.substr(data.size() - 8, 6))));
}
// An xz index changed by `edit` (given where the index starts), its CRC-32 made right again.
template <class Edit>
void editIndex(std::string& data, Edit edit) {
    const std::size_t indexSize = (le32At(data, data.size() - 8) + 1) * 4, start = data.size() - 12 - indexSize;
    edit(start);
    data.replace(data.size() - 16, 4, le32(crcOf(data.substr(start, indexSize - 4))));
}
// The first two records swapped: the index still sums up the blocks, in another order.
void swapRecords(std::string& data) {
    editIndex(data, [&data](std::size_t start) {
        const auto end = [&data](std::size_t at) {  // of the number at `at`
            while (data[at] & 0x80) ++at;
            return at + 1;
        };
        const std::size_t first = end(start + 1), second = end(end(first)), third = end(end(second));
        data.replace(first, third - first, data.substr(second, third - second) + data.substr(first, second - first));
    });
}
// One record more counted than listed.
void raiseCount(std::string& data) {
    editIndex(data, [&data](std::size_t start) { ++data[start + 1]; });
}

struct Damage {
    const char* archive;
    const char* member;
    void (*damage)(std::string& data);
    bool bCrcMayCatch;  // LZMA has no check of its own: wrong bytes may come out, and the CRC-32 catch them
};
const Damage kDamages[] = {
    {"py.zip", "lzma", &flipMiddle, true},           {"7z.zip", "content", &flipMiddle, true},
    {"tools.zip", "blocks.xz", &flipMiddle, false},  {"tools.zip", "blocks.xz", &flipIndexCrc, false},
    {"tools.zip", "blocks.xz", &swapRecords, false}, {"tools.zip", "blocks.xz", &changeFooterCheck, false},
    {"tools.zip", "blocks.xz", &raiseCount, false},  {"tools.zip", "two.xz", &flipLast, false},
    {"tools.zip", "odd.xz", nullptr, false},  // 3 bytes of padding
    {"tools.zip", "parts.zst", &flipMiddle, false},  {"tools.zip", "one.zst", &flipLast, false},
};

TEST_F(LzmaXzZstdDecodersTest, FailsDamagedMembers) {
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(std::string(damage.archive) + " " + damage.member);
        std::string archive = readFile(s_pDir->file(damage.archive));
        ZIPFileSystem fileSystem;
        const ArchiveIndex index(fileSystem, s_pDir->file(damage.archive));
        const ArchiveMember member = index.member(index.find(damage.member));
        const std::size_t local = member.uiLocalHeaderOffset;
        const std::size_t at =
            local + 30 + (le32At(archive, local + 26) & 0xffff) + (le32At(archive, local + 28) & 0xffff);
        std::string data = archive.substr(at, member.uiCompressedSize);
        if (damage.damage) damage.damage(data);
        MemberReader reader(fileSystem, s_pDir->write("damaged.zip", archive.replace(at, data.size(), data)));
        ReadStatus status = ReadStatus::Ok;
        read(reader, member, 0, member.uiSize, &status);
        EXPECT_TRUE(status == ReadStatus::CorruptData || (damage.bCrcMayCatch && status == ReadStatus::CrcMismatch))
            << describeReadStatus(status);
    }
}

}  // namespace
}  // namespace Tamsor::Testing
