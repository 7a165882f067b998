// Encrypted members as 7-Zip writes them (ZipCrypto and WinZip AES of each key size; deflated, stored, bzip2) and
// as Info-ZIP does (-P: ZipCrypto checked against the time, its CRC-32 after the data), and an AE-1 member (7-Zip
// writes AE-2: one is patched), read through the member reader: what the index says of each; every byte with the
// right password, random reads costing at most an interval once read in sequence; no byte with a wrong password
// or none; a flipped byte failing the whole read; encryptions and AES fields that are refused.

#include "ZipFsFixture.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"
#include "zip/decoders/Decoder.h"

namespace Tamsor::Testing {
namespace {

typedef ReadStatus S;
typedef EncryptionKind K;
const std::uint64_t kInterval = 64 << 10;
const std::string kPassword = "pass word";
const std::string kAesField("\x01\x99\x07\x00", 4);

// Each archive holds data.txt and an empty member, made in a directory that holds both.
struct Made {
    const char* name;
    const char* command;  // writes a.zip
    K kind;
    std::uint16_t method, aesVersion;  // compressionMethod(), uiAesVersion (1: patched to AE-1)
    S flipped;                         // the whole read once a byte inside the payload is flipped; Ok: any failure
};
const Made kMade[] = {
    {"ZipCrypto deflated", "7zz a -tzip -p'pass word' -mem=ZipCrypto -mm=Deflate", K::ZipCrypto, 8, 0, S::Ok},
    {"ZipCrypto stored", "7zz a -tzip -p'pass word' -mem=ZipCrypto -mm=Copy", K::ZipCrypto, 0, 0, S::CrcMismatch},
    {"AES-128 deflated", "7zz a -tzip -p'pass word' -mem=AES128 -mm=Deflate", K::Aes128, 8, 2, S::Ok},
    {"AES-128 stored", "7zz a -tzip -p'pass word' -mem=AES128 -mm=Copy", K::Aes128, 0, 2, S::AuthenticationFailed},
    {"AES-192 deflated", "7zz a -tzip -p'pass word' -mem=AES192 -mm=Deflate", K::Aes192, 8, 2, S::Ok},
    {"AES-192 stored", "7zz a -tzip -p'pass word' -mem=AES192 -mm=Copy", K::Aes192, 0, 2, S::AuthenticationFailed},
    {"AES-256 deflated", "7zz a -tzip -p'pass word' -mem=AES256 -mm=Deflate", K::Aes256, 8, 2, S::Ok},
    {"AES-256 stored", "7zz a -tzip -p'pass word' -mem=AES256 -mm=Copy", K::Aes256, 0, 2, S::AuthenticationFailed},
    {"AES-256 bzip2", "7zz a -tzip -p'pass word' -mem=AES256 -mm=BZip2", K::Aes256, 12, 2, S::Ok},
    {"AE-1 stored", "7zz a -tzip -p'pass word' -mem=AES256 -mm=Copy", K::Aes256, 0, 1, S::CrcMismatch},
    {"Info-ZIP deflated", "zip -q -P 'pass word'", K::ZipCrypto, 8, 0, S::Ok},
    {"Info-ZIP stored", "zip -q -0 -P 'pass word'", K::ZipCrypto, 0, 0, S::CrcMismatch},
};

class EncryptedMembersTest : public ::testing::Test {
  protected:
    EncryptedMembersTest() {
        m_dir.write("data.txt", m_strContent);
        m_dir.write("empty", "");
    }
    // The archive a row's command writes, patched to AE-1 when the row says so.
    std::string make(const Made& made) {
        int exitStatus = 0;
        std::remove(m_dir.file("a.zip").c_str());
        runCommand("cd '" + m_dir.path() + "' && " + made.command + " a.zip data.txt empty >/dev/null", &exitStatus);
        EXPECT_EQ(0, exitStatus);
        std::string bytes = readFile(m_dir.file("a.zip"));
        if (made.aesVersion != 1) return bytes;
        // Both AES fields of data.txt, which comes first, and the CRC-32 of both its headers (AE-2 leaves it 0).
        const std::size_t central = bytes.find("PK\x01\x02");
        for (const std::size_t header : {std::size_t(0), central}) {
            bytes[bytes.find(kAesField, header) + 4] = '\x01';
            const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(m_strContent.data()), 300000);
            bytes.replace(header + (header ? 16 : 14), 4, le32(static_cast<std::uint32_t>(crc)));
        }
        return bytes;
    }
    // Each archive the row's bytes, each reader given `password`.
    struct Opened {
        Opened(const TempDir& dir, const std::string& bytes, const std::string& password)
            : strPath(dir.write("o.zip", bytes)),
              index(fileSystem, strPath),
              reader(fileSystem, strPath, MemberReaderOptions{32 << 20, kInterval, 8, password}) {}
        ArchiveMember member(const char* name) const { return index.member(index.find(name)); }
        std::string strPath;
        ZIPFileSystem fileSystem;
        ArchiveIndex index;
        MemberReader reader;
    };
    // The bytes read, or "<failed>"; never a byte written past them.
    static std::string read(MemberReader& rReader, const ArchiveMember& member, std::uint64_t offset,
                            std::size_t length, S& rStatus) {
        std::string buffer(length + 8, '\x5a');
        const std::int64_t n = rReader.read(member, &buffer[0], length, offset, &rStatus);
        EXPECT_EQ(std::string(8, '\x5a'), buffer.substr(length));
        return n < 0 ? "<failed>" : buffer.substr(0, static_cast<std::size_t>(n));
    }
    // Where the member's data starts: after its local header's name and extra field.
    static std::size_t dataOffsetOf(const std::string& bytes, const ArchiveMember& member) {
        const std::size_t at = member.uiLocalHeaderOffset;
        return at + 30 + static_cast<unsigned char>(bytes[at + 26]) + static_cast<unsigned char>(bytes[at + 28]);
    }

    TempDir m_dir;
    std::string m_strContent = makeContent(300000, 11);
};

TEST_F(EncryptedMembersTest, ReadsWithThePasswordOnly) {
    for (const Made& made : kMade) {
        SCOPED_TRACE(made.name);
        const std::string bytes = make(made);
        Opened right(m_dir, bytes, kPassword);
        const ArchiveMember member = right.member("data.txt");
        EXPECT_EQ(made.kind, member.encryption());
        EXPECT_EQ(made.method, member.compressionMethod());
        EXPECT_EQ(made.aesVersion, member.uiAesVersion);
        EXPECT_EQ(made.aesVersion ? 99 : made.method, member.uiMethod);
        EXPECT_EQ(S::Encrypted, MemberReader::readability(member));
        S status = S::IoError;
        if (!decoderFor(made.method)) {  // a method without its decoder yet
            EXPECT_EQ(S::UnsupportedMethod, right.reader.check(member));
            continue;
        }
        ASSERT_EQ(S::Ok, right.reader.check(member));
        std::string all;
        for (std::string part = "-"; !part.empty() && part != "<failed>"; all += part)
            part = read(right.reader, member, all.size(), 4093, status);
        EXPECT_TRUE(sameBytes(m_strContent, all));
        EXPECT_EQ(m_strContent.size(), right.reader.statistics().uiInflatedBytes);
        for (const std::uint64_t offset :
             {kInterval * 3 + 17, std::uint64_t(5), kInterval - 1, std::uint64_t(299990)}) {
            const std::uint64_t before = right.reader.statistics().uiInflatedBytes;
            EXPECT_TRUE(sameBytes(m_strContent.substr(offset, 3000), read(right.reader, member, offset, 3000, status)));
            // bzip2 leaves points at its blocks' ends only: this member is one block.
            if (decoderFor(made.method)->bSavesAnywhere) {
                EXPECT_LE(right.reader.statistics().uiInflatedBytes - before, kInterval + 3000) << offset;
            }
        }
        EXPECT_EQ("", read(right.reader, right.member("empty"), 0, 10, status));
        EXPECT_EQ(S::Ok, status);
        // A wrong password passes ZipCrypto's check once in 256 times, AES's once in 65,536: the data then fails.
        int refused = 0;
        for (const char* wrong : {"pass Word", "pass word ", "x"}) {
            Opened opened(m_dir, bytes, wrong);
            const S checked = opened.reader.check(member);
            refused += checked == S::WrongPassword;
            read(opened.reader, member, 0, 1 << 20, status);
            EXPECT_TRUE(checked == S::WrongPassword
                            ? status == S::WrongPassword
                            : status == S::CrcMismatch || status == S::CorruptData || status == S::SizeMismatch ||
                                  status == S::AuthenticationFailed)
                << wrong << " " << describeReadStatus(status);
        }
        EXPECT_GE(refused, 1);
        Opened none(m_dir, bytes, "");
        EXPECT_EQ(S::Encrypted, none.reader.check(member));
        EXPECT_EQ("<failed>", read(none.reader, member, 0, 100, status));
        EXPECT_EQ(S::Encrypted, status);
    }
}

// A byte flipped inside the payload, and (AES) in the authentication code after it.
TEST_F(EncryptedMembersTest, FailsAFlippedByte) {
    for (const Made& made : kMade) {
        if (!decoderFor(made.method)) continue;
        const std::string bytes = make(made);
        const ArchiveMember member = Opened(m_dir, bytes, kPassword).member("data.txt");
        const std::size_t data = dataOffsetOf(bytes, member), end = data + member.uiCompressedSize;
        for (const std::size_t at : {data + member.uiCompressedSize / 2, end - 1}) {
            if (at == end - 1 && made.kind == K::ZipCrypto) continue;
            SCOPED_TRACE(std::string(made.name) + (at == end - 1 ? " code" : " payload"));
            std::string damaged = bytes;
            damaged[at] ^= 0x10;
            Opened opened(m_dir, damaged, kPassword);
            S status[2];
            read(opened.reader, member, 0, 1 << 20, status[0]);
            read(opened.reader, member, 299999, 1, status[1]);  // found bad, stays bad
            const S expected = at == end - 1 ? S::AuthenticationFailed : made.flipped;
            for (const S s : status)
                EXPECT_TRUE(expected == S::Ok ? s == S::CrcMismatch || s == S::CorruptData || s == S::SizeMismatch ||
                                                    s == S::AuthenticationFailed
                                              : s == expected)
                    << describeReadStatus(s);
        }
    }
}

// Refused before a byte is decrypted: AES fields that do not hold together, strong encryption (flag bit 6), a local
// AES field that tells a streaming reader another story, an encrypted stored member whose payload is not its size.
TEST_F(EncryptedMembersTest, RefusesWhatItCannotDecryptAlike) {
    typedef void (*Patch)(std::string & b, std::size_t local, std::size_t central);
    const struct {
        const Made& made;
        Patch patch;
        K kind;
        S checked;
    } rows[] = {
        {kMade[6], [](std::string& b, std::size_t, std::size_t c) { b[b.find(kAesField, c) + 8] = 4; }, K::Unsupported,
         S::UnsupportedEncryption},
        {kMade[6], [](std::string& b, std::size_t, std::size_t c) { b[b.find(kAesField, c) + 6] = 'X'; },
         K::Unsupported, S::UnsupportedEncryption},
        {kMade[0], [](std::string& b, std::size_t l, std::size_t c) { b[l + 6] |= 0x40, b[c + 8] |= 0x40; },
         K::Unsupported, S::UnsupportedEncryption},
        {kMade[6], [](std::string& b, std::size_t l, std::size_t) { b[b.find(kAesField, l) + 9] = 0; }, K::Aes256,
         S::LocalHeaderMismatch},
        {kMade[6], [](std::string& b, std::size_t l, std::size_t) { b[b.find(kAesField, l) + 8] = 1; }, K::Aes256,
         S::LocalHeaderMismatch},
        {kMade[1], [](std::string& b, std::size_t l, std::size_t c) { b[l + 22] ^= 1, b[c + 24] ^= 1; }, K::ZipCrypto,
         S::SizeMismatch},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.made.name) + " expecting " + describeReadStatus(row.checked));
        std::string bytes = make(row.made);
        row.patch(bytes, 0, bytes.find("PK\x01\x02"));
        Opened opened(m_dir, bytes, kPassword);
        const ArchiveMember member = opened.member("data.txt");
        EXPECT_EQ(row.kind, member.encryption());
        EXPECT_EQ(row.checked, opened.reader.check(member));
        S status = S::Ok;
        EXPECT_EQ("<failed>", read(opened.reader, member, 0, 100, status));
        EXPECT_EQ(row.checked, status);
    }
}

}  // namespace
}  // namespace Tamsor::Testing
