// Writes the fuzzer's seed archives into the directory named by its one argument: small archives that each take
// the file system down a road of its own, so that fuzzing starts from inputs that bind and list.
//
//   tamsor-make-seeds OUTPUT_DIRECTORY

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "ZipBuilder.h"

int main(int argc, char** argv) {
    using namespace Tamsor::Testing;
    if (argc != 2) return std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]), 2;
    const std::string out = argv[1];
    const auto seed = [&out](const char* name, const ZipBuilder& zip) { zip.writeTo(out + "/" + name); };
    // An archive of `zip` with `value` written over its bytes at `at` (from the end when negative).
    const auto patched = [&out](const char* name, const ZipBuilder& zip, long at, const std::string& value) {
        std::string bytes = zip.build();
        bytes.replace(at < 0 ? bytes.size() - std::size_t(-at) : std::size_t(at), value.size(), value);
        FILE* pFile = std::fopen((out + "/" + name).c_str(), "wb");
        if (!pFile || std::fwrite(bytes.data(), 1, bytes.size(), pFile) != bytes.size() || std::fclose(pFile) != 0)
            throw std::runtime_error("cannot write " + out + "/" + name);
    };
    // An archive given as its bytes in hex.
    const auto fromHex = [&out](const char* name, const std::string& hex) {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
        FILE* pFile = std::fopen((out + "/" + name).c_str(), "wb");
        if (!pFile || std::fwrite(bytes.data(), 1, bytes.size(), pFile) != bytes.size() || std::fclose(pFile) != 0)
            throw std::runtime_error("cannot write " + out + "/" + name);
    };
    const std::uint16_t kDeflated = ZipBuilder::kDeflated;
    try {
        seed("stored.zip",
             ZipBuilder().add("a.txt", "alpha\n").add("b.bin", makeContent(300, 1, false)).add("empty", ""));
        seed("deflated.zip", ZipBuilder().add("text.txt", makeContent(2000, 2), kDeflated).add("e", "", kDeflated));
        // Directory members, and members whose parents the archive never names.
        ZipBuilder nested, duplicates, odd;
        nested.addDirectory("docs/").add("docs/r.txt", "read me\n").addDirectory("docs/img/");
        seed("nested.zip", nested.add("implied/deeper/leaf.txt", "leaf\n", kDeflated).add("top.txt", "top\n"));
        // One name twice, names that differ in case only, a nameless member, a method zziplib cannot decode.
        duplicates.add("same.txt", "first\n").add("same.txt", "second\n", kDeflated).add("Same.TXT", "upper\n");
        seed("duplicates.zip", duplicates.addDirectory("d/").addDirectory("d/"));
        odd.add("", "nameless\n").add("odd.dat", "not compressed", 99).add("/abs.txt", "abs\n");
        odd.add("../escape.txt", "up\n").add("./dot.txt", "dot\n").addDirectory("/").addDirectory("x//");
        seed("odd.zip", odd);
        // Names in Shift_JIS without the UTF-8 flag, enough of them for the guess of their code page.
        seed("shift-jis.zip", ZipBuilder()
                                  .add("\x8b\x63\x8e\x96\x98\x5e/\x8c\xa9\x90\xcf\x8f\x91.xlsx", "a")
                                  .add("\x8e\xca\x90\x5e/\x89\x5e\x93\xae\x89\xef.jpg", "b")
                                  .add("\x8a\xe9\x89\xe6\x8f\x91_\x90\x56\x90\xbb\x95\x69.pptx", "c"));
        // A comment holding an end-record signature, which a search from the end meets first.
        seed("comment.zip",
             ZipBuilder().add("c.txt", "commented\n", kDeflated).setComment(std::string("a PK\x05\x06 b", 8)));
        seed("no-members.zip", ZipBuilder());
        seed("zeros.zip", ZipBuilder().add("zeros.bin", std::string(1 << 20, '\0'), kDeflated));  // inflates 1000-fold
        // Zip64 end records, and the extra fields the index reads: extended timestamp, NTFS time, Unicode Path (with
        // the CRC of "u.txt"), a zip64 field for sizes the record leaves to it.
        ZipBuilder zip64;
        zip64.setZip64(true).add("t.txt", "times\n").last().extra = le16(0x5455) + le16(5) + "\x01" + le32(1000000000) +
                                                                    le16(0x000a) + le16(32) + le32(0) + le16(1) +
                                                                    le16(24) + le64(1) + le64(2) + le64(3);
        zip64.add("u.txt", "unicode\n").last().extra = le16(0x7075) + le16(8) + "\x01" + le32(0x548bc6f8) + "\xce\xa9t";
        zip64.add("z.txt", "sixty-four\n").last().extra = le16(0x0001) + le16(16) + le64(11) + le64(11);
        seed("zip64-extras.zip", zip64);
        // The Unix fields and kinds: PKWARE's with a hard link's name and a device's numbers, Info-ZIP's three
        // owner fields, an NTFS time with its fraction beside an extended timestamp, a symbolic link and a FIFO.
        ZipBuilder unixKinds;
        const std::string owner = le16(0x7875) + le16(11) + "\x01\x04" + le32(1000) + "\x04" + le32(100);
        unixKinds.add("f", "file\n").last().extra = owner + le16(0x7855) + le16(4) + le16(1) + le16(2);
        unixKinds.last().unixMode = 0100644;
        unixKinds.add("h", "").last().extra = le16(0x000d) + le16(13) + le32(1) + le32(2) + le16(3) + le16(4) + "f";
        unixKinds.add("dev", "").last().extra = le16(0x000d) + le16(20) + le32(1) + le32(2) + le16(0) + le16(6) +
                                                le32(8) + le32(1) + le16(0x5855) + le16(12) + le32(1) + le32(2) +
                                                le16(3) + le16(4);
        unixKinds.last().unixMode = 060660;
        unixKinds.add("t", "").last().extra = le16(0x5455) + le16(5) + "\x01" + le32(1000000000) + le16(0x000a) +
                                              le16(32) + le32(0) + le16(1) + le16(24) + le64(126444736001234567ull) +
                                              le64(2) + le64(3);
        unixKinds.add("l", "f").last().unixMode = 0120777;
        unixKinds.add("p", "").last().unixMode = 010644;
        seed("unix-fields.zip", unixKinds);
        // Shapes that readers would read differently: the second central entry pointing at the first member (the
        // offset field of the last central record, 22 + 4 + 46 + 5 bytes from the end, after "b.txt"); a local header
        // that names another file than its central entry; a local header saying stored where the entry says deflated.
        ZipBuilder two;
        two.add("a.txt", "alpha\n").add("b.txt", makeContent(400, 3), kDeflated);
        patched("overlap.zip", two, -(22 + 5 + 4), le32(0));
        patched("two-faced-name.zip", two, 30, "e");
        patched("two-faced-method.zip", two, 30 + 5 + 6 + 8, le16(0));
        // Python's zipfile, bzip2 at level 1: "ab" 100,000 times, in three blocks.
        fromHex("bzip2-blocks.zip",
                "504b03042e0000000c0000002100a584639a61000000400d03000600000061622e62696e425a6831314159265359f14b8b27"
                "0061a30100300020003080291942505aa1282e6282b24ca6b2037dbcf800c3460200600040006100523542505942505cc505"
                "64994d660827edbc0000240400c0008000c2013518ac57177245385090445a6b08504b01022e032e0000000c0000002100a5"
                "84639a61000000400d030006000000000000000000000080010000000061622e62696e504b05060000000001000100340000"
                "00850000000000");
        // "fuzz seed\n" encrypted with the fuzzer's password "fuzz" by 7-Zip: ZipCrypto, then AES-256 (AE-2).
        fromHex("zipcrypto.zip",
                "504b030414000100000000002100884eb1ea160000000a0000000100000073acfc46abb8325cb4bc386c44713487a3e93ed9"
                "113bb5504b01023f0314000100000000002100884eb1ea160000000a000000010000000000000000002080a4810000000073"
                "504b050600000000010001002f000000350000000000");
        fromHex("aes256.zip",
                "504b03043300010063000000210000000000260000000a00000001000b007301990700020041450300002ef8cba5d4cd9992"
                "9f34025c897499c6091e28bb6752334716839a02ee69ad1ed8d6335453b9504b01023f033300010063000000210000000000"
                "260000000a00000001000b000000000000002080a48100000000730199070002004145030000504b05060000000001000100"
                "3a000000500000000000");
        // Members of the other methods, their data written by the xz tool (a stream of two blocks), the zstd tool
        // (two frames) and Python's zipfile (LZMA with an end marker).
        fromHex("xz-blocks.zip",
                "504b0304140000005f0000002100c3b7d643640000001800000005000000782e747874fd377a585a0000016922de36020021"
                "0116000000742fe5a301000b787a2073656564206f6e650a00841f1f090200210116000000742fe5a301000b787a20736565"
                "642074776f0a006fbf1f670002200c200c00002d70c9993e300d8b020000000001595a504b01021400140000005f00000021"
                "00c3b7d6436400000018000000050000000000000000000000800100000000782e747874504b050600000000010001003300"
                "0000870000000000");
        fromHex("zstd-frames.zip",
                "504b0304140000005d000000210055286ae12400000012000000050000007a2e74787428b52ffd00584900007a737464206f"
                "6e650a28b52ffd00584900007a7374642074776f0a504b01021400140000005d000000210055286ae1240000001200000005"
                "00000000000000000000008001000000007a2e747874504b0506000000000100010033000000470000000000");
        fromHex("lzma.zip",
                "504b03043f0002000e00000021002e656c722000000014000000050000006c2e747874090405005d0000800000361e89dd7d"
                "49721585ea30a6e0426133fffff704c000504b01023f003f0002000e00000021002e656c7220000000140000000500000000"
                "000000000000008001000000006c2e747874504b0506000000000100010033000000430000000000");
    } catch (const std::exception& error) { return std::fprintf(stderr, "%s: %s\n", argv[0], error.what()), 1; }
    return 0;
}
