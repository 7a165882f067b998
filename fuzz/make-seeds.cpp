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
        // Shapes that readers would read differently: the second central entry pointing at the first member (the
        // offset field of the last central record, 22 + 4 + 46 + 5 bytes from the end, after "b.txt"); a local header
        // that names another file than its central entry; a local header saying stored where the entry says deflated.
        ZipBuilder two;
        two.add("a.txt", "alpha\n").add("b.txt", makeContent(400, 3), kDeflated);
        patched("overlap.zip", two, -(22 + 5 + 4), le32(0));
        patched("two-faced-name.zip", two, 30, "e");
        patched("two-faced-method.zip", two, 30 + 5 + 6 + 8, le16(0));
    } catch (const std::exception& error) { return std::fprintf(stderr, "%s: %s\n", argv[0], error.what()), 1; }
    return 0;
}
