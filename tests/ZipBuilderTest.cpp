// The archive builder every other test relies on, checked once against an independent reader (Info-ZIP's
// unzip): if these pass, a test that feeds a built archive to the library is feeding it a real ZIP.

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TempDir.h"
#include "ZipBuilder.h"

namespace Tamsor {
namespace Testing {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string unzip(const std::string& arguments, int* status) {
    return runCommand("unzip " + arguments + " 2>&1", status);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string crcHex(const std::string& data) {
    const uLong crc =
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", static_cast<unsigned long>(crc));
    return text;
}

class ZipBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int status = -1;
        runCommand("command -v unzip", &status);
        ASSERT_EQ(0, status) << "these tests need Info-ZIP's unzip on the PATH";
    }

    // `unzip -p` of one name: the concatenated content of every member so named.
    std::string extracted(const std::string& archive, const std::string& name) {
        int status = -1;
        const std::string bytes = runCommand("unzip -p " + quoted(archive) + " " + quoted(name), &status);
        EXPECT_EQ(0, status) << "unzip -p " << name;
        return bytes;
    }

    TempDir m_tempDir;
};

TEST_F(ZipBuilderTest, InfoZipReadsEveryKindOfMemberBack) {
    const std::string storedText = makeContent(5000, 1);
    const std::string deflatedText = makeContent(70000, 2);
    const std::string large = makeContent((1u << 20) + 123, 3, false);
    const std::string largeText = makeContent((1u << 20) + 7, 4);
    const std::string inner = makeContent(333, 5);
    const std::string duplicateFirst = "first copy\n";
    const std::string duplicateSecond = "second copy, longer\n";

    ZipBuilder builder;
    builder.add("stored.txt", storedText)
        .add("deflated.txt", deflatedText, ZipBuilder::kDeflated)
        .add("empty-stored", "")
        .add("empty-deflated", "", ZipBuilder::kDeflated)
        .add("large.bin", large, ZipBuilder::kDeflated)
        .add("large-stored.txt", largeText)
        .addDirectory("dir/")
        .addDirectory("dir/sub/")
        .add("dir/sub/inner.txt", inner, ZipBuilder::kDeflated)
        .add("twice", duplicateFirst)
        .add("twice", duplicateSecond, ZipBuilder::kDeflated)
        .setComment("built by the tests");
    const std::string path = m_tempDir.file("all.zip");
    builder.writeTo(path);

    int status = -1;
    const std::string testOutput = unzip("-t " + quoted(path), &status);
    EXPECT_EQ(0, status) << testOutput;
    EXPECT_NE(std::string::npos, testOutput.find("No errors detected")) << testOutput;

    const std::vector<std::string> expectedNames = {
        "stored.txt", "deflated.txt", "empty-stored",      "empty-deflated", "large.bin", "large-stored.txt",
        "dir/",       "dir/sub/",     "dir/sub/inner.txt", "twice",          "twice"};
    EXPECT_EQ(expectedNames, lines(unzip("-Z1 " + quoted(path), &status)));
    EXPECT_EQ(0, status);

    EXPECT_EQ(storedText, extracted(path, "stored.txt"));
    EXPECT_EQ(deflatedText, extracted(path, "deflated.txt"));
    EXPECT_EQ("", extracted(path, "empty-stored"));
    EXPECT_EQ("", extracted(path, "empty-deflated"));
    EXPECT_TRUE(large == extracted(path, "large.bin")) << "large.bin differs";
    EXPECT_TRUE(largeText == extracted(path, "large-stored.txt")) << "large-stored.txt differs";
    EXPECT_EQ(inner, extracted(path, "dir/sub/inner.txt"));
    EXPECT_EQ(duplicateFirst + duplicateSecond, extracted(path, "twice"));

    // The end record's comment and the central directory's placement as unzip computes them.
    EXPECT_EQ("built by the tests", lines(unzip("-qz " + quoted(path), &status)).at(0));
    const std::string details = unzip("-Zv " + quoted(path), &status);
    EXPECT_NE(std::string::npos, details.find("central directory contains 11 entries")) << details;
    EXPECT_EQ(std::string::npos, details.find("error")) << details;
}

TEST_F(ZipBuilderTest, UnknownMethodIsListedButNotExtractable) {
    const std::string opaque = "bytes that are not in any known encoding";
    const std::string plain = makeContent(200, 9);
    const std::string path = m_tempDir.file("odd.zip");
    ZipBuilder().add("plain.txt", plain).add("odd.bin", opaque, 99).writeTo(path);

    int status = -1;
    EXPECT_EQ((std::vector<std::string>{"plain.txt", "odd.bin"}), lines(unzip("-Z1 " + quoted(path), &status)));
    EXPECT_EQ(0, status);

    const std::string testOutput = unzip("-t " + quoted(path), &status);
    EXPECT_NE(0, status) << testOutput;
    EXPECT_NE(std::string::npos, testOutput.find("compression method 99")) << testOutput;
    EXPECT_NE(std::string::npos, testOutput.find("plain.txt")) << testOutput;

    // The data is written as given, and the CRC and both sizes describe it.
    const std::string details = unzip("-Zv " + quoted(path), &status);
    EXPECT_NE(std::string::npos, details.find(crcHex(opaque))) << details;
    EXPECT_NE(
        std::string::npos,
        details.find("compressed size:                                " + std::to_string(opaque.size()) + " bytes"))
        << details;
    EXPECT_NE(std::string::npos, readFile(path).find(opaque));
    EXPECT_EQ(plain, extracted(path, "plain.txt"));
}

TEST_F(ZipBuilderTest, NamesAreWrittenByteForByte) {
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
    for (std::size_t size : {0u, 1u, 999u, 65537u}) {
        EXPECT_EQ(size, makeContent(size, 3).size());
        EXPECT_EQ(size, makeContent(size, 3, false).size());
    }

    const std::string text = makeContent(100000, 11);
    EXPECT_NE(std::string::npos, text.find('\n'));
    for (char c : text) ASSERT_TRUE(c == '\n' || c == ' ' || (c >= 'a' && c <= 'z')) << int(c);

    // Deflate shrinks the text a lot and the binary bytes hardly at all.
    const std::size_t textArchive = ZipBuilder().add("t", text, ZipBuilder::kDeflated).build().size();
    const std::size_t binaryArchive =
        ZipBuilder().add("b", makeContent(100000, 11, false), ZipBuilder::kDeflated).build().size();
    EXPECT_LT(textArchive, 100000u / 3);
    EXPECT_GT(binaryArchive, 99000u);
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
