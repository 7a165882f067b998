// What zziplib itself makes of each kind of archive (called directly, opened the way the file system opens
// archives), next to what a host sees of it through plain and scrambled file systems alike: the bind, each entry
// of the walk and what it reads, and the lines logged. Binding refuses, with the usual
// ERROR line and a second one saying why, exactly what zziplib would show in part or wrong at the level of the
// central directory, or hang on; leaves what zziplib fails on to zziplib (the usual line alone); and binds whatever
// zziplib reads whole. Members that zziplib reads wrong (local headers, sizes, data) are zziplib's, as it reads
// them. Then FIFOs and devices, and 65,535 entries and more.

#include <sys/stat.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include "Residue.h"
#include "ZipFsFixture.h"

namespace Tamsor::Testing {
namespace {

enum View { Whole, Part, Wrong, Fails };
const char* const kViews[] = {"lists and reads all", "shows part", "shows wrong names, sizes or bytes", "fails"};

// zziplib's own handle on `path`, as the file system opens archives (a table with zziplib's read callbacks).
ZZIP_DIR* zziplibOpen(const std::string& path) {
    static zzip_plugin_io_handlers io;
    zzip_init_io(&io, 0);
    return zzip_opendir_ext_io(path.c_str(), ZZIP_CASELESS | ZZIP_ONLYZIP, nullptr, &io);
}

// What zziplib shows of the archive at `path`, which holds `members`.
View zziplibView(const std::string& path, const std::vector<ZipBuilder::Member>& members) {
    ZZIP_DIR* pDir = zziplibOpen(path);
    if (!pDir) return Fails;
    std::size_t listed = 0;
    bool bWrong = false, bMissing = false;
    for (ZZIP_DIRENT dirent; !bWrong && zzip_dir_read(pDir, &dirent); ++listed) {
        const ZipBuilder::Member* pMember = listed < members.size() ? &members[listed] : nullptr;
        bWrong = !pMember || pMember->name != dirent.d_name || dirent.st_size != int(pMember->data.size());
        ZZIP_FILE* pFile = bWrong ? nullptr : zzip_file_open(pDir, dirent.d_name, 0);
        bMissing = bMissing || !pFile;
        std::string bytes(pFile ? pMember->data.size() + 100 : 0, '\0');
        bWrong = bWrong || (pFile && zzip_read(pFile, &bytes[0], bytes.size()) != zzip_ssize_t(pMember->data.size()));
        bWrong = bWrong || (pFile && bytes.compare(0, pMember->data.size(), pMember->data) != 0);
        if (pFile) zzip_file_close(pFile);
    }
    zzip_dir_close(pDir);
    return bWrong ? Wrong : bMissing || listed < members.size() ? Part : Whole;
}

class ArchivesTest : public ::testing::Test {
  protected:
    ArchivesTest() : m_errors(40000) {}

    // "as stored", "N other bytes" or "nothing", then " then -1" when the last read failed; "cannot open".
    std::string readingOf(VirtualFileSystem::File& rFile, const std::string& path) const {
        if (rFile.open(path.c_str(), O_RDONLY) != 0) return "cannot open";
        int last = 0;
        const std::string bytes = readToEnd(rFile, 4093, &last);
        const std::string reading = bytes.empty() ? "nothing"
                                    : m_members.count(path) && bytes == m_members.at(path)
                                        ? "as stored"
                                        : std::to_string(bytes.size()) + " other bytes";
        return last < 0 ? reading + " then -1" : reading;
    }

    // What a host sees of `bytes` through a FileSystem, the archive's path written as <archive>.
    template <class FileSystem>
    Names seenThrough(const std::string& bytes) {
        const std::string path = m_dir.write("archive.zip", formFor<FileSystem>(bytes));
        m_errors.clear();
        const Residue before;
        Names seen;
        {
            FileSystem fileSystem;
            seen.push_back(fileSystem.setZIPArchive(path.c_str()) ? "bind: yes" : "bind: no");
            if (!fileSystem.getBindingRefusal().empty()) seen.push_back("refusal: " + fileSystem.getBindingRefusal());
            const DirectoryHandle pRoot = fileSystem.opendir("/");
            for (EntryHandle pEntry; !pRoot.isNull() && !(pEntry = pRoot->read()).isNull();)
                seen.push_back("file " + std::string(pEntry->getPath()) + ": " +
                               readingOf(*FileHandle(pEntry), pEntry->getPath()));
        }
        for (const CapturedEvent& event : m_errors.events()) {
            std::string line = event.message;
            for (std::size_t at; (at = line.find(path)) != std::string::npos;)
                line.replace(at, path.size(), "<archive>");
            if (event.logger != kEncryptedLogger) seen.push_back("log: " + line);
        }
        EXPECT_TRUE(before.isBackAsItWas());
        return seen;
    }

    // The same through both kinds of file system, with `builder`'s members to tell what each file should read.
    Names seenBy(const std::string& bytes, const ZipBuilder& builder) {
        m_members.clear();
        for (const ZipBuilder::Member& member : builder.members()) m_members.emplace(member.name, member.data);
        const Names plain = seenThrough<ZIPFileSystem>(bytes);
        EXPECT_EQ(plain, seenThrough<ZIPEncryptedFileSystem>(bytes)) << "scrambled differs from plain";
        return plain;
    }

    // Binds `path`: "bound", or the reason binding gives beside the usual line ("" when it gives none), which
    // getBindingRefusal() gives too.
    std::string bindingOf(ZIPFileSystem& rFs, const std::string& path) {
        m_errors.clear();
        const bool bBound = rFs.setZIPArchive(path.c_str());
        const Names lines = m_errors.messagesOf(kZipLogger);
        const std::string reason = lines.size() < 2 ? "" : lines.at(1).substr(13 + path.size());
        EXPECT_EQ(reason, rFs.getBindingRefusal());
        if (bBound) return "bound";
        EXPECT_EQ("Could not open ZIP archive " + path, lines.at(0));
        return reason;
    }

    LogCapture m_errors;  // ERROR lines only
    TempDir m_dir;
    std::map<std::string, std::string> m_members;
};

// Three members, one deflated between two stored, to be damaged in the table below.
ZipBuilder threeMembers() {
    ZipBuilder builder;
    builder.add("a.txt", "alpha alpha alpha")
        .add("b.txt", makeContent(5000, 3), ZipBuilder::kDeflated)
        .add("c.txt", "gamma");
    return builder;
}

// What a host sees of threeMembers() when it binds ...
Names bound(const std::string& a = "as stored", const std::string& b = "as stored") {
    return {"bind: yes", "file a.txt: " + a, "file b.txt: " + b, "file c.txt: as stored"};
}

// ... and when binding refuses it, with the reason line if there is one.
Names refused(const std::string& reason = "") {
    Names seen = {"bind: no"};
    if (!reason.empty()) seen.push_back("refusal: " + reason);
    seen.push_back("log: Could not open ZIP archive <archive>");
    if (!reason.empty()) seen.push_back("log: ZIP archive <archive> " + reason);
    return seen;
}

const char kFewer[] = "has an end record that counts fewer entries than its central directory holds";
const char kZip64Only[] = "keeps sizes or offsets in zip64 records only, which are not supported";

TEST_F(ArchivesTest, EachArchiveAsZziplibShowsItAndAsAHostSeesIt) {
    const ZipBuilder builder = threeMembers();
    const std::string good = builder.build();
    const std::size_t end = good.size() - 22, cd = good.find("PK\x01\x02"), last = good.rfind("PK\x01\x02");
    const std::size_t middle = good.find("PK\x01\x02", cd + 1), a = good.find("a.txt") - 30,
                      b = good.find("b.txt") - 30;
    const std::string zip64 = ZipBuilder(builder).setZip64(true).build();  // as Info-ZIP writes to a pipe
    const auto put = [&good](std::size_t at, const std::string& value, std::string bytes = std::string()) {
        return (bytes.empty() ? bytes = good : bytes).replace(at, value.size(), value);
    };
    const std::string fakeEnd = good.substr(end, 16) + le32(1) + le16(0);
    // clang-format off
    const struct {
        const char* label;
        std::string bytes;
        View zziplib;
        Names seen;
    } rows[] = {
        {"untouched", good, Whole, bound()},
        {"an archive comment", ZipBuilder(builder).setComment("a comment").build(), Whole, bound()},
        {"a comment length past the file", put(end + 20, le16(200)), Whole, bound()},
        {"a comment of the largest length", put(end + 20, le16(0xFFFF)) + std::string(0xFFFF, 'c'), Whole, bound()},
        {"a comment holding an end record", put(end + 20, le16(22)) + fakeEnd, Fails, refused()},
        {"100 bytes before the archive (a self-extracting stub)", std::string(100, 'x') + good, Fails, refused()},
        {"disk number 1", put(end + 4, le16(1)), Whole, bound()},
        {"directory disk number 1", put(end + 6, le16(1)), Whole, bound()},
        {"total count one more than on this disk", put(end + 10, le16(4)), Whole, bound()},
        {"total count one less than on this disk", put(end + 10, le16(2)), Whole, bound()},
        {"count on this disk one less", put(end + 8, le16(2)), Part, refused(kFewer)},
        {"both counts one less", put(end + 8, le16(2) + le16(2)), Part, refused(kFewer)},
        {"both counts one more", put(end + 8, le16(4) + le16(4)), Fails, refused()},
        {"a record without its signature", put(middle, "PK\x09\x09"), Fails, refused()},
        {"a name running past the directory", put(last + 28, le16(40)), Fails, refused()},
        {"the last record's comment running past the directory", put(last + 32, le16(200)), Part,
            refused("has a central directory entry that runs past its end")},
        {"a middle record's comment running past the directory", put(middle + 32, le16(200)), Fails, refused()},
        {"directory offset 10 too far", put(end + 16, le32(uint32_t(cd + 10))), Whole, bound()},
        {"directory offset 10 short", put(end + 16, le32(uint32_t(cd - 10))), Fails, refused()},
        {"directory offset past the end", put(end + 16, le32(0x00FFFFF0)), Fails, refused()},
        {"directory size past the end", put(end + 12, le32(0x00FFFFF0)), Fails, refused()},
        {"directory offset 0xFFFFFFFF", put(end + 16, le32(0xFFFFFFFF)), Fails, refused()},
        {"a member's data running into the central directory", put(cd + 20, le32(0x7FFFFFF0)), Whole, bound()},
        {"sizes of 0xFFFFFFFF", put(cd + 20, le32(0xFFFFFFFF) + le32(0xFFFFFFFF)), Wrong, refused(kZip64Only)},
        {"a local header offset of 0xFFFFFFFF", put(cd + 42, le32(0xFFFFFFFF)), Part, refused(kZip64Only)},
        {"zip64 records beside complete classic ones", zip64, Whole, bound()},
        {"zip64 records and classic markers (zip -fz)", put(zip64.size() - 6, le32(0xFFFFFFFF), zip64), Fails,
            refused()},
        {"cut one byte short", good.substr(0, good.size() - 1), Whole, bound()},
        {"cut two bytes short", good.substr(0, good.size() - 2), Whole, bound()},
        {"cut three bytes short", good.substr(0, good.size() - 3), Fails, refused()},
        {"shorter than an end record", std::string("PK\x05\x06\0\0", 6), Fails, refused()},
        // zziplib takes names, sizes and method from the central record, and from the local header only its
        // signature and the lengths that say where the data starts.
        {"a local header with another name", put(a + 30, "x.txt"), Whole, bound()},
        {"a local header with a longer name length", put(a + 26, le16(9)), Wrong, bound("17 other bytes")},
        {"a local header with an extra field past the data", put(b + 28, le16(0xFFFF)), Wrong,
            bound("as stored", "nothing then -1")},
        {"a local header without its signature", put(b, "PK\x09\x09"), Part, {"bind: yes", "file a.txt: as stored",
            "file c.txt: as stored", "log: Current entry b.txt is neither a file nor a directory. NOT SUPPORTED YET"}},
        {"a local header that says stored", put(b + 8, le16(0)), Whole, bound()},
        {"a local header whose sizes lie", put(a + 18, le32(3) + le32(3)), Whole, bound()},
        // zziplib reads as many bytes as the central record says, keeps the low byte of the method, checks no CRC
        // and ignores the encryption flag; deflate data that does not inflate ends the read with -1.
        {"a stored size larger than the data", put(cd + 20, le32(40) + le32(40)), Wrong, bound("40 other bytes")},
        {"a stored size smaller than the data", put(cd + 20, le32(5) + le32(5)), Wrong, bound("5 other bytes")},
        {"a deflated member of size 0", put(middle + 24, le32(0)), Wrong, bound("as stored", "nothing")},
        {"a CRC that does not match", put(cd + 16, le32(0x12345678)), Whole, bound()},
        {"method 0x0100", put(cd + 10, le16(0x0100)), Whole, bound()},
        {"the encryption flag", put(cd + 8, le16(1)), Whole, bound()},
        {"corrupt deflate data", put(b + 45, std::string(20, '\xff')), Wrong, bound("as stored", "nothing then -1")},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(kViews[row.zziplib], kViews[zziplibView(m_dir.write("row.zip", row.bytes), builder.members())]);
        EXPECT_EQ(row.seen, seenBy(row.bytes, builder));
    }
    // Cut after every byte, zziplib refuses each on its own, but for the last two cuts.
    for (std::size_t cut = 0; cut + 3 <= good.size(); ++cut)
        ASSERT_EQ(refused(), seenBy(good.substr(0, cut), builder)) << cut;
}

// zziplib's open of a FIFO waits for a writer (here until the test opens one); binding refuses it at once. A
// directory or a device zziplib refuses on its own, at once.
TEST_F(ArchivesTest, AFifoIsRefusedWhereZziplibWouldWaitForAWriter) {
    const std::string fifo = m_dir.file("fifo.zip");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ZIPFileSystem fs;
    EXPECT_EQ("is not a regular file", bindingOf(fs, fifo));
    std::atomic<bool> bReturned(false);
    std::thread opener([&] { EXPECT_EQ(nullptr, zziplibOpen(fifo)), bReturned = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(bReturned);
    ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // the reader is there: does not block
    opener.join();
    EXPECT_EQ("", bindingOf(fs, "/dev/zero"));
    EXPECT_EQ("", bindingOf(fs, m_dir.path()));
}

// zziplib reads the classic 16-bit count only: of 65536 entries it would list 65535 and say nothing. Exactly 65535
// bind (and binding checks that zziplib lists them all); more are refused, through the scrambling table too.
TEST_F(ArchivesTest, MoreThan65535EntriesAreRefusedWhereZziplibListsPart) {
    ZipBuilder builder;
    for (int i = 0; i < 65535; ++i) builder.add("f" + std::to_string(i), "");
    ZIPFileSystem plain;
    ZIPEncryptedFileSystem scrambling;
    EXPECT_EQ("bound", bindingOf(plain, m_dir.write("full.zip", builder.build())));
    const std::string many = builder.add("f65535", "").build();  // zip64 records, 0xFFFF in the classic counts
    ZZIP_DIR* pDir = zziplibOpen(m_dir.write("many.zip", many));
    std::size_t listed = 0;
    for (ZZIP_DIRENT dirent; pDir && zzip_dir_read(pDir, &dirent);) ++listed;
    if (pDir) zzip_dir_close(pDir);
    EXPECT_EQ(65535u, listed);
    EXPECT_EQ("holds 65536 entries; more than 65535 are not supported", bindingOf(plain, m_dir.file("many.zip")));
    EXPECT_EQ("holds 65536 entries; more than 65535 are not supported",
              bindingOf(scrambling, m_dir.write("many.scrambled", scrambled(many))));
}

// A stored member of 3 GiB (a hole), then a small one: zziplib's dirent gives the big one's size as a negative int,
// yet it sizes, seeks and reads both right, so the archive binds.
TEST_F(ArchivesTest, MembersOf2GiBAndMoreReadRight) {
    ZipBuilder builder;
    builder.add("big.bin", "").last().zeros = 3ull << 30;
    builder.add("z.txt", "zulu").writeTo(m_dir.file("big.zip"));
    ZIPFileSystem fs;
    ASSERT_EQ("bound", bindingOf(fs, m_dir.file("big.zip")));
    for (const long size : {3l << 30, 4l}) {
        const FileHandle pFile = fs.open(size > 4 ? "big.bin" : "z.txt", 0);
        std::string bytes(8, 'x');
        EXPECT_EQ(size - 4, pFile->lseek(-4, SEEK_END));
        bytes.resize(static_cast<std::size_t>(pFile->read(&bytes[0], 8)));
        EXPECT_EQ(size > 4 ? std::string(4, '\0') : "zulu", bytes);
    }
}

}  // namespace
}  // namespace Tamsor::Testing
