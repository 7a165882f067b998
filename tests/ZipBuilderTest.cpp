// The archive builder every other test relies on, checked once against an independent reader (Info-ZIP's
// unzip): if these pass, a test that feeds a built archive to the library is feeding it a real ZIP.

#include <string>
#include <vector>

#include "ZipFsFixture.h"

namespace Tamsor {
namespace Testing {
namespace {

class ZipBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int status = -1;
        runCommand("command -v unzip", &status);
        ASSERT_EQ(0, status) << "these tests need Info-ZIP's unzip on the PATH";
    }

    std::string unzip(const std::string& arguments, bool bSucceeds = true) {
        int status = -1;
        const std::string output = runCommand("unzip " + arguments + " 2>&1", &status);
        EXPECT_EQ(bSucceeds, status == 0) << "unzip " << arguments << "\n" << output;
        return output;
    }

    TempDir m_tempDir;
};

TEST_F(ZipBuilderTest, InfoZipReadsEveryKindOfMemberBack) {
    ZipBuilder builder;
    builder.add("stored.txt", makeContent(5000, 1))
        .add("deflated.txt", makeContent(70000, 2), ZipBuilder::kDeflated)
        .add("empty-stored", "")
        .add("empty-deflated", "", ZipBuilder::kDeflated)
        .add("large.bin", makeContent((1u << 20) + 123, 3, false), ZipBuilder::kDeflated)
        .add("large-stored.txt", makeContent((1u << 20) + 7, 4))
        .addDirectory("dir/")
        .addDirectory("dir/sub/")
        .add("dir/sub/inner.txt", makeContent(333, 5), ZipBuilder::kDeflated)
        .add("twice", "first copy\n")
        .add("twice", "second copy, longer\n", ZipBuilder::kDeflated)
        .setComment("built by the tests");
    const std::string path = m_tempDir.file("all.zip");
    builder.writeTo(path);

    EXPECT_NE(std::string::npos, unzip("-t " + quote(path)).find("No errors detected"));
    std::vector<std::string> names;
    for (const ZipBuilder::Member& member : builder.members()) names.push_back(member.name);
    EXPECT_EQ(names, lines(unzip("-Z1 " + quote(path))));
    for (const ZipBuilder::Member& member : builder.members()) {
        if (member.name == "twice" || member.name.back() == '/') continue;
        EXPECT_TRUE(sameBytes(member.data, runCommand("unzip -p " + quote(path) + " " + quote(member.name))))
            << member.name;
    }
    // `unzip -p` gives both members of a doubled name, in order.
    EXPECT_EQ("first copy\nsecond copy, longer\n", runCommand("unzip -p " + quote(path) + " twice"));

    // The end record's comment and the central directory's placement as unzip computes them.
    EXPECT_EQ("built by the tests", lines(unzip("-qz " + quote(path))).at(0));
    const std::string details = unzip("-Zv " + quote(path));
    EXPECT_NE(std::string::npos, details.find("central directory contains 11 entries")) << details;
    EXPECT_EQ(std::string::npos, details.find("error")) << details;
}

// Data of an unknown method is written as given, and the CRC and both sizes describe it.
TEST_F(ZipBuilderTest, UnknownMethodIsListedButNotExtractable) {
    const std::string opaque = "bytes that are not in any known encoding";
    const std::string path = m_tempDir.file("odd.zip");
    ZipBuilder().add("plain.txt", "plain").add("odd.bin", opaque, 99).writeTo(path);

    EXPECT_EQ((std::vector<std::string>{"plain.txt", "odd.bin"}), lines(unzip("-Z1 " + quote(path))));
    const std::string testOutput = unzip("-t " + quote(path), false);
    EXPECT_NE(std::string::npos, testOutput.find("compression method 99")) << testOutput;
    const std::string details = unzip("-Zv " + quote(path));
    EXPECT_NE(std::string::npos, details.find(crcHex(opaque))) << details;
    EXPECT_NE(
        std::string::npos,
        details.find("compressed size:                                " + std::to_string(opaque.size()) + " bytes"))
        << details;
    EXPECT_NE(std::string::npos, readFile(path).find(opaque));
}

TEST(ZipBuilderBytesTest, NamesAreWrittenByteForByte) {
    const std::string name("a\0b/../c", 8);
    const std::string archive = ZipBuilder().add(name, "x").build();
    // Once in the local header and once in the central directory.
    const std::string::size_type first = archive.find(name);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, archive.find(name, first + 1));
    // Local header 30 + name + data, central header 46 + name, end record 22.
    EXPECT_EQ(30 + 8 + 1 + 46 + 8 + 22u, archive.size());
}

TEST(MakeContentTest, IsDeterministicSizedAndCompressibleWhenText) {
    EXPECT_EQ(makeContent(4096, 7), makeContent(4096, 7));
    EXPECT_EQ(makeContent(4096, 7, false), makeContent(4096, 7, false));
    EXPECT_NE(makeContent(4096, 7), makeContent(4096, 8));
    EXPECT_NE(makeContent(4096, 0, false), makeContent(4096, 1, false));
    for (std::size_t size : {0u, 1u, 65537u}) {
        EXPECT_EQ(size, makeContent(size, 3).size());
        EXPECT_EQ(size, makeContent(size, 3, false).size());
    }
    const std::string text = makeContent(100000, 11);
    for (char c : text) ASSERT_TRUE(c == '\n' || c == ' ' || (c >= 'a' && c <= 'z')) << int(c);
    // Deflate shrinks the text a lot and the binary bytes hardly at all.
    EXPECT_LT(ZipBuilder().add("t", text, ZipBuilder::kDeflated).build().size(), 100000u / 3);
    EXPECT_GT(ZipBuilder().add("b", makeContent(100000, 11, false), ZipBuilder::kDeflated).build().size(), 99000u);
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
