// Writes the fuzzer's seed archives into the directory named by its one argument: small archives that each take
// the file system down a different road (stored and deflated members, nested and implied directories, duplicate
// and odd names, a member zziplib cannot decode, an archive comment), so that fuzzing starts from inputs that
// already bind and list rather than from noise.
//
//   tamsor-make-seeds OUTPUT_DIRECTORY

#include <cstdio>
#include <exception>
#include <string>

#include "ZipBuilder.h"

namespace {

using Tamsor::Testing::makeContent;
using Tamsor::Testing::ZipBuilder;

const std::uint16_t kDeflated = ZipBuilder::kDeflated;

ZipBuilder storedFiles() {
    ZipBuilder zip;
    zip.add("a.txt", "alpha\n").add("b.bin", makeContent(300, 1, false)).add("empty", "");
    return zip;
}

ZipBuilder deflatedFiles() {
    ZipBuilder zip;
    zip.add("text.txt", makeContent(2000, 2), kDeflated)
        .add("binary.bin", makeContent(200, 3, false), kDeflated)
        .add("empty.txt", "", kDeflated);
    return zip;
}

// Stored directory members, and members whose parents the archive never names.
ZipBuilder nestedDirectories() {
    ZipBuilder zip;
    zip.addDirectory("docs/")
        .add("docs/readme.txt", "read me\n")
        .addDirectory("docs/img/")
        .add("docs/img/dot.png", makeContent(64, 4, false))
        .add("implied/deeper/leaf.txt", "leaf\n", kDeflated)
        .add("top.txt", "top\n");
    return zip;
}

// One name twice with different bytes, and names that differ only in case (lookups ignore case).
ZipBuilder duplicates() {
    ZipBuilder zip;
    zip.add("same.txt", "first\n").add("same.txt", "second copy\n", kDeflated).add("Same.TXT", "upper\n");
    zip.addDirectory("d/").addDirectory("d/");
    return zip;
}

ZipBuilder emptyName() {
    ZipBuilder zip;
    zip.add("", "nameless\n").add("after.txt", "after\n");
    return zip;
}

// Method 99 is written as given: zziplib refuses to open such a member, and listings skip it.
ZipBuilder unknownMethod() {
    ZipBuilder zip;
    zip.add("odd.dat", "not really compressed", 99).add("plain.txt", "plain\n");
    return zip;
}

// The comment holds an end-record signature of its own, which a search from the file's end meets first.
ZipBuilder withComment() {
    ZipBuilder zip;
    zip.add("c.txt", "commented\n", kDeflated).setComment(std::string("a comment PK\x05\x06 inside", 22));
    return zip;
}

ZipBuilder oddNames() {
    ZipBuilder zip;
    zip.add("/absolute.txt", "abs\n")
        .add("../escape.txt", "up\n")
        .add("./dot.txt", "dot\n")
        .add("a//b.txt", "double slash\n")
        .addDirectory("/")
        .addDirectory("x//");
    return zip;
}

ZipBuilder noMembers() {
    return ZipBuilder();
}

// A mebibyte of zeros deflates to about a kilobyte: a small input that inflates a thousandfold.
ZipBuilder zeros() {
    ZipBuilder zip;
    zip.add("zeros.bin", std::string(1u << 20, '\0'), kDeflated);
    return zip;
}

// Zip64 end records, and the extra fields the member index reads: extended timestamp, NTFS times, Unicode Path
// (whose CRC is that of the stored name "u.txt"), and a zip64 field for sizes the record leaves to it.
ZipBuilder zip64Extras() {
    using Tamsor::Testing::le16;
    using Tamsor::Testing::le32;
    using Tamsor::Testing::le64;
    ZipBuilder zip;
    zip.setZip64(true).add("t.txt", "times\n").last().extra = le16(0x5455) + le16(5) + "\x01" + le32(1000000000) +
                                                              le16(0x000a) + le16(32) + le32(0) + le16(1) + le16(24) +
                                                              le64(1) + le64(2) + le64(3);
    zip.add("u.txt", "unicode\n").last().extra = le16(0x7075) + le16(8) + "\x01" + le32(0x548bc6f8) + "\xce\xa9t";
    zip.add("z.txt", "sixty-four\n").last().extra = le16(0x0001) + le16(16) + le64(11) + le64(11);
    return zip;
}

struct Seed {
    const char* name;
    ZipBuilder (*make)();
};

const Seed kSeeds[] = {
    {"stored.zip", storedFiles},    {"deflated.zip", deflatedFiles},   {"nested.zip", nestedDirectories},
    {"duplicates.zip", duplicates}, {"empty-name.zip", emptyName},     {"method-99.zip", unknownMethod},
    {"comment.zip", withComment},   {"odd-names.zip", oddNames},       {"no-members.zip", noMembers},
    {"zeros-1mib.zip", zeros},      {"zip64-extras.zip", zip64Extras},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    try {
        for (const Seed& seed : kSeeds) seed.make().writeTo(directory + "/" + seed.name);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
    return 0;
}
