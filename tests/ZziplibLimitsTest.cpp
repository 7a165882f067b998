// What zziplib itself makes of each kind of archive that binding looks at before handing it over, called
// directly (opened the way the file system opens archives), next to what binding does with it. Binding must
// refuse, with the usual ERROR line and a second one saying why, exactly what zziplib would show in part or
// wrong, or hang on; leave what zziplib fails on to zziplib (the usual line alone); and bind, listing as zziplib
// lists, whatever zziplib reads whole.

#include <fcntl.h>
#include <sys/stat.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "ZipFsFixture.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Testing {
namespace {

enum class View { Whole, Part, Wrong, Fails };

const char* const kViewNames[] = {"lists and reads all", "shows part", "shows wrong sizes or bytes", "fails"};

std::string le64(std::uint64_t value) {
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
}

// zziplib's own handle on `path`, as the file system opens archives (a table with zziplib's read callbacks).
ZZIP_DIR* zziplibOpen(const std::string& path) {
    static zzip_plugin_io_handlers io;
    zzip_init_io(&io, 0);
    return zzip_opendir_ext_io(path.c_str(), ZZIP_CASELESS | ZZIP_ONLYZIP, nullptr, &io);
}

// What zziplib shows of the archive at `path`, which holds `members`: every name, size and byte right; a
// listing that stops early or a member that will not open; other names, sizes or bytes; or no open at all.
View zziplibView(const std::string& path, const std::vector<ZipBuilder::Member>& members) {
    ZZIP_DIR* pDir = zziplibOpen(path);
    if (!pDir) return View::Fails;
    std::size_t listed = 0;
    bool bWrong = false, bMissing = false;
    for (ZZIP_DIRENT dirent; !bWrong && zzip_dir_read(pDir, &dirent); ++listed) {
        const ZipBuilder::Member* pMember = listed < members.size() ? &members[listed] : nullptr;
        bWrong = !pMember || pMember->name != dirent.d_name || dirent.st_size != static_cast<int>(pMember->data.size());
        ZZIP_FILE* pFile = bWrong ? nullptr : zzip_file_open(pDir, dirent.d_name, 0);
        std::string bytes(pMember ? pMember->data.size() + 100 : 0, '\0');
        bMissing = bMissing || !pFile;
        if (pFile)
            bWrong = zzip_read(pFile, &bytes[0], bytes.size()) != static_cast<zzip_ssize_t>(pMember->data.size()) ||
                     bytes.compare(0, pMember->data.size(), pMember->data) != 0;
        if (pFile) zzip_file_close(pFile);
    }
    zzip_dir_close(pDir);
    return bWrong ? View::Wrong : bMissing || listed < members.size() ? View::Part : View::Whole;
}

// `archive` (built without a comment) with a zip64 end record and locator before its end record, as Info-ZIP
// writes them when it writes to a pipe; the classic counts become 0xFFFF when `entries` does not fit them.
std::string withZip64(const std::string& archive, std::uint64_t entries) {
    const std::size_t end = archive.size() - 22;
    std::string classic = archive.substr(end);
    if (entries > 0xFFFF) classic.replace(8, 4, "\xff\xff\xff\xff");
    return archive.substr(0, end) + "PK\x06\x06" + le64(44) + le16(45) + le16(45) + le64(0) + le64(entries) +
           le64(entries) + archive.substr(end + 12, 4) + le32(0) + archive.substr(end + 16, 4) + le32(0) +
           "PK\x06\x07" + le32(0) + le64(end) + le32(1) + classic;
}

class ZziplibLimitsTest : public ZipFsTest {
  protected:
    // Binds `path`; the reason binding gives for its refusal, "" when it logs none, "bound" when it binds.
    std::string bindingOf(const std::string& path, ZIPFileSystem* pFs = nullptr) {
        std::unique_ptr<ZIPFileSystem> pOwned(pFs ? nullptr : new ZIPFileSystem);
        m_log.clear();
        if ((pFs ? pFs : pOwned.get())->setZIPArchive(path.c_str())) return "bound";
        const std::vector<std::string> lines = diagnosticsOf(m_log);
        EXPECT_EQ(lines.at(0), expected({zipLineAt(kErrorLogLevel, "Could not open ZIP archive " + path, 76)})[0]);
        if (lines.size() < 2) return "";
        const std::string wanted = describe(kZipLogger, kErrorLogLevel, kSourceFile, 77, "ZIP archive " + path + " ");
        EXPECT_EQ(2u, lines.size());
        EXPECT_EQ(0u, lines[1].find(wanted.substr(0, wanted.size() - 1))) << lines[1];
        return lines[1].substr(wanted.size() - 1, lines[1].size() - wanted.size());
    }
};

const char kFewer[] = "has an end record that counts fewer entries than its central directory holds";
const char kZip64Only[] = "keeps sizes or offsets in zip64 records only, which are not supported";

TEST_F(ZziplibLimitsTest, BindingRefusesWhatZziplibShowsInPartOrWrongAndNothingItReadsWhole) {
    ZipBuilder builder;
    builder.add("a.txt", "alpha").add("b.txt", makeContent(5000, 3), ZipBuilder::kDeflated).add("c.txt", "gamma");
    const std::string good = builder.build();
    const std::size_t end = good.size() - 22, cd = good.find("PK\x01\x02"), last = good.rfind("PK\x01\x02");
    const std::size_t middle = good.find("PK\x01\x02", cd + 1);
    const auto put = [&good](std::size_t at, const std::string& value) {
        return std::string(good).replace(at, value.size(), value);
    };
    const struct {
        const char* label;
        std::string bytes;
        View zziplib;
        const char* reason;  // binding's, where zziplib shows part or wrong
    } rows[] = {
        {"untouched", good, View::Whole, ""},
        {"an archive comment", ZipBuilder(builder).setComment("a comment").build(), View::Whole, ""},
        {"100 bytes before the archive (a self-extracting stub)", std::string(100, 'x') + good, View::Fails, ""},
        {"disk number 1", put(end + 4, le16(1)), View::Whole, ""},
        {"directory disk number 1", put(end + 6, le16(1)), View::Whole, ""},
        {"total count one more than on this disk", put(end + 10, le16(4)), View::Whole, ""},
        {"total count one less than on this disk", put(end + 10, le16(2)), View::Whole, ""},
        {"count on this disk one less", put(end + 8, le16(2)), View::Part, kFewer},
        {"both counts one less", put(end + 8, le16(2) + le16(2)), View::Part, kFewer},
        {"both counts one more", put(end + 8, le16(4) + le16(4)), View::Fails, ""},
        {"a record without its signature", put(middle, "PK\x09\x09"), View::Fails, ""},
        {"a name running past the directory", put(last + 28, le16(40)), View::Fails, ""},
        {"the last record's comment running past the directory", put(last + 32, le16(200)), View::Part,
         "has a central directory entry that runs past its end"},
        {"a middle record's comment running past the directory", put(middle + 32, le16(200)), View::Fails, ""},
        {"directory offset 10 too far", put(end + 16, le32(static_cast<std::uint32_t>(cd + 10))), View::Whole, ""},
        {"directory offset 10 short", put(end + 16, le32(static_cast<std::uint32_t>(cd - 10))), View::Fails, ""},
        {"directory offset past the end", put(end + 16, le32(0x00FFFFF0)), View::Fails, ""},
        {"directory size past the end", put(end + 12, le32(0x00FFFFF0)), View::Fails, ""},
        {"a member's data running into the central directory", put(cd + 20, le32(0x7FFFFFF0)), View::Whole, ""},
        {"sizes of 0xFFFFFFFF", put(cd + 20, le32(0xFFFFFFFF) + le32(0xFFFFFFFF)), View::Wrong, kZip64Only},
        {"a local header offset of 0xFFFFFFFF", put(cd + 42, le32(0xFFFFFFFF)), View::Part, kZip64Only},
        {"directory offset 0xFFFFFFFF", put(end + 16, le32(0xFFFFFFFF)), View::Fails, ""},
        {"zip64 records beside complete classic ones", withZip64(good, 3), View::Whole, ""},
        {"zip64 records and classic markers (zip -fz)", withZip64(put(end + 16, le32(0xFFFFFFFF)), 3), View::Fails, ""},
        {"cut one byte short", good.substr(0, good.size() - 1), View::Whole, ""},
        {"cut two bytes short", good.substr(0, good.size() - 2), View::Whole, ""},
        {"cut three bytes short", good.substr(0, good.size() - 3), View::Fails, ""},
        {"shorter than an end record", std::string("PK\x05\x06\0\0", 6), View::Fails, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string path = m_dir.write("row.zip", row.bytes);
        const View view = zziplibView(path, builder.members());
        EXPECT_EQ(kViewNames[static_cast<int>(row.zziplib)], kViewNames[static_cast<int>(view)]);
        EXPECT_EQ(view == View::Whole ? "bound" : row.reason, bindingOf(path));
        if (view != View::Whole) continue;
        std::unique_ptr<ZIPFileSystem> pFs = bindTo(path);
        const DirectoryHandle pTop = pFs ? pFs->opendir("/") : DirectoryHandle();
        ASSERT_FALSE(pTop.isNull());
        EXPECT_EQ((std::vector<std::string>{"file:a.txt", "file:b.txt", "file:c.txt"}), listRest(*pTop));
    }
}

// Info-ZIP writing to a pipe: zip64 records, classic ones complete, one member named "-".
TEST_F(ZziplibLimitsTest, InfoZipPipeOutputBindsAsZziplibReadsIt) {
    int status = 0;
    runCommand("cd '" + m_dir.path() + "' && printf 'streamed data\\n' | zip -q - - > s.zip", &status);
    if (status != 0) GTEST_SKIP() << "Info-ZIP zip is needed";
    ZipBuilder streamed;
    streamed.add("-", "streamed data\n");
    EXPECT_EQ(View::Whole, zziplibView(m_dir.file("s.zip"), streamed.members()));
    EXPECT_EQ("bound", bindingOf(m_dir.file("s.zip")));
}

// zziplib reads the classic 16-bit count only: of 65536 entries it would list 65535 and say nothing. Exactly
// 65535 bind (and binding checks that zziplib lists them all). Refused through the scrambling table too.
TEST_F(ZziplibLimitsTest, MoreThan65535EntriesAreRefusedWhereZziplibListsPart) {
    ZipBuilder builder;
    for (int i = 0; i < 65535; ++i) builder.add("f" + std::to_string(i), "");
    EXPECT_EQ("bound", bindingOf(m_dir.write("full.zip", builder.build())));
    const std::string many = withZip64(builder.add("f65535", "").build(), 65536);
    ZZIP_DIR* pDir = zziplibOpen(m_dir.write("many.zip", many));
    ASSERT_TRUE(pDir);
    std::size_t listed = 0;
    for (ZZIP_DIRENT dirent; zzip_dir_read(pDir, &dirent);) ++listed;
    zzip_dir_close(pDir);
    EXPECT_EQ(65535u, listed);
    EXPECT_EQ("holds 65536 entries; more than 65535 are not supported", bindingOf(m_dir.file("many.zip")));
    std::string scrambled = many;
    ZIPEncryptedFileSystem::encrypt(&scrambled[0], static_cast<unsigned int>(scrambled.size()), 0);
    ZIPEncryptedFileSystem scrambling;
    EXPECT_EQ("holds 65536 entries; more than 65535 are not supported",
              bindingOf(m_dir.write("many-scrambled.zip", scrambled), &scrambling));
}

// zziplib's open of a FIFO waits for a writer (here until the test opens one); binding refuses it at once. Other
// files that are not regular (a directory, a device) zziplib refuses on its own, at once.
TEST_F(ZziplibLimitsTest, AFifoIsRefusedWhereZziplibWouldWaitForAWriter) {
    const std::string fifo = m_dir.file("fifo.zip");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ("is not a regular file", bindingOf(fifo));
    std::atomic<bool> bReturned(false);
    std::thread opener([&] {
        EXPECT_EQ(nullptr, zziplibOpen(fifo));
        bReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(bReturned);
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // the reader is there: does not block
    EXPECT_GE(writer, 0);
    ::close(writer);
    opener.join();
    EXPECT_EQ("", bindingOf("/dev/zero"));
    EXPECT_EQ("", bindingOf(m_dir.path()));
}

// A member's local header and central record for `name`, the header appended to `fd`'s file (its data to
// follow), the record to `central`.
void addMember(int fd, std::string& central, const std::string& name, std::uint16_t method, std::uint32_t crc,
               std::uint32_t compressedSize, std::uint32_t size) {
    const off_t at = ::lseek(fd, 0, SEEK_END);
    const std::string common = le16(20) + le16(0) + le16(method) + le16(0) + le16(0x21) + le32(crc) +
                               le32(compressedSize) + le32(size) + le16(static_cast<std::uint16_t>(name.size())) +
                               le16(0);
    const std::string local = "PK\x03\x04" + common + name;
    ASSERT_EQ(static_cast<ssize_t>(local.size()), ::write(fd, local.data(), local.size()));
    central += "PK\x01\x02" + le16(20) + common + le16(0) + le16(0) + le16(0) + le32(0) +
               le32(static_cast<std::uint32_t>(at)) + name;
}

const char kHead[] = "head of the member", kTail[] = "tail of the member";

// The member's first 18 bytes, its size (a seek to its end) and its last 18 bytes, through `seek` and `read`.
std::string headSizeTail(const std::function<long(long, int)>& seek, const std::function<long(char*)>& read) {
    char head[18] = {}, tail[18] = {};
    const long headRead = read(head);
    seek(-18, SEEK_END);  // forwards: a deflated member is inflated once
    const long tailRead = read(tail);
    const long size = seek(0, SEEK_END);
    return std::string(head, headRead > 0 ? headRead : 0) + " | " + std::to_string(size) + " | " +
           std::string(tail, tailRead > 0 ? tailRead : 0);
}

// A stored member of 3 GiB (a hole between its head and tail) and a deflated one of 2.25 GiB (zeros between its
// head and tail, made of one compressed 16 MiB run repeated), then a small one beyond 3 GiB. zziplib's dirent gives
// their sizes as negative ints, yet zziplib opens, sizes, seeks and reads them right: binding refuses nothing.
TEST_F(ZziplibLimitsTest, MembersOf2GiBAndMoreReadRight) {
    const std::uint64_t kStoredSize = 3ull << 30, kRun = 16 << 20, kRuns = 144, kDeflatedSize = kRuns * kRun + 36;
    const std::string zeros(kRun, '\0');
    z_stream z = {};
    ASSERT_EQ(Z_OK, deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
    const auto deflated = [&z](const std::string& in, int flush) {
        std::string out(in.size() + 1024, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = reinterpret_cast<Bytef*>(&out[0]);
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, flush);
        return out.substr(0, out.size() - z.avail_out);
    };
    const std::string head = deflated(kHead, Z_FULL_FLUSH), run = deflated(zeros, Z_FULL_FLUSH);
    const std::string tail = deflated(kTail, Z_FINISH);  // a full flush forgets what came before: runs repeat
    deflateEnd(&z);
    const auto crcOf = [](const std::string& bytes) {
        return crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    };
    const uLong zerosCrc = crcOf(zeros);
    const auto headZerosTail = [&](std::uint64_t count) {  // the CRC of kHead, `count` zeros, kTail
        uLong crc = crcOf(kHead);
        for (; count >= kRun; count -= kRun) crc = crc32_combine(crc, zerosCrc, kRun);
        crc = crc32_combine(crc, crcOf(zeros.substr(0, count)), static_cast<z_off_t>(count));
        return static_cast<std::uint32_t>(crc32_combine(crc, crcOf(kTail), 18));
    };

    const std::string path = m_dir.file("big.zip");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string central;
    const auto append = [fd](const std::string& bytes) {
        return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    };
    addMember(fd, central, "stored.bin", 0, headZerosTail(kStoredSize - 36), kStoredSize, kStoredSize);
    ASSERT_TRUE(append(kHead));
    ASSERT_GE(::lseek(fd, static_cast<off_t>(kStoredSize - 36), SEEK_CUR), 0);
    ASSERT_TRUE(append(kTail));
    const std::uint64_t compressed = head.size() + kRuns * run.size() + tail.size();
    addMember(fd, central, "deflated.bin", 8, headZerosTail(kRuns * kRun), static_cast<std::uint32_t>(compressed),
              kDeflatedSize);
    ASSERT_TRUE(append(head));
    for (std::uint64_t i = 0; i < kRuns; ++i) ASSERT_TRUE(append(run));
    ASSERT_TRUE(append(tail));
    addMember(fd, central, "z.txt", 0, crcOf("zulu"), 4, 4);
    ASSERT_TRUE(append("zulu"));
    const off_t cdOffset = ::lseek(fd, 0, SEEK_END);
    ASSERT_TRUE(append(central + "PK\x05\x06" + le32(0) + le16(3) + le16(3) +
                       le32(static_cast<std::uint32_t>(central.size())) + le32(static_cast<std::uint32_t>(cdOffset)) +
                       le16(0)));
    ::close(fd);

    const std::map<std::string, std::uint64_t> sizes = {{"stored.bin", kStoredSize}, {"deflated.bin", kDeflatedSize}};
    ZZIP_DIR* pDir = zziplibOpen(path);
    ASSERT_TRUE(pDir);
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(path);
    ASSERT_TRUE(pFs);
    for (const auto& member : sizes) {
        SCOPED_TRACE(member.first);
        const std::string wanted = std::string(kHead) + " | " + std::to_string(member.second) + " | " + kTail;
        ZZIP_FILE* pFile = zzip_file_open(pDir, member.first.c_str(), 0);
        ASSERT_TRUE(pFile);
        EXPECT_EQ(wanted,
                  headSizeTail(
                      [pFile](long offset, int whence) { return static_cast<long>(zzip_seek(pFile, offset, whence)); },
                      [pFile](char* buffer) { return static_cast<long>(zzip_read(pFile, buffer, 18)); }));
        zzip_file_close(pFile);
        FileHandle pOurs = pFs->open(member.first.c_str(), 0);
        ASSERT_FALSE(pOurs.isNull());
        EXPECT_EQ(wanted, headSizeTail([&pOurs](long offset, int whence) { return pOurs->lseek(offset, whence); },
                                       [&pOurs](char* buffer) { return static_cast<long>(pOurs->read(buffer, 18)); }));
    }
    zzip_dir_close(pDir);
    const DirectoryHandle pTop = pFs->opendir("/");
    ASSERT_FALSE(pTop.isNull());
    EXPECT_EQ((std::vector<std::string>{"file:stored.bin", "file:deflated.bin", "file:z.txt"}), listRest(*pTop));
    FileHandle pSmall = pFs->open("z.txt", 0);
    ASSERT_FALSE(pSmall.isNull());
    EXPECT_EQ("zulu", readToEnd(*pSmall, 64));
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
