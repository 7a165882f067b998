// The zipfs tool's pure functions, one table per family of facts: how names are decoded (code page 437 against
// iconv's table, UTF-8 validity, the order of the rules), which modes members get, what methods are called,
// and which names and link targets stay inside an extraction directory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "Format.h"
#include "MemberFacts.h"
#include "SafeName.h"
#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {
namespace {

TEST(ZipfsMetadata, Cp437MatchesIconv) {
    NameDecoder iconvCp437;
    ASSERT_TRUE(iconvCp437.open("CP437"));
    for (int byte = 0x20; byte < 0x100; ++byte) {
        std::string fromIconv;
        ASSERT_TRUE(iconvCp437.decode(std::string(1, static_cast<char>(byte)), fromIconv)) << byte;
        EXPECT_EQ(fromIconv, cp437ToUtf8(std::string(1, static_cast<char>(byte)))) << std::hex << byte;
    }
    EXPECT_EQ("\u00c4\u00d6.txt", cp437ToUtf8("\x8e\x99.txt"));
    EXPECT_EQ("dir/a\x01\x7f", cp437ToUtf8("dir/a\x01\x7f"));  // control bytes stay bytes, escaped when shown
    NameDecoder unknown;
    EXPECT_FALSE(unknown.open("NO-SUCH-CODE-SET"));
}

TEST(ZipfsMetadata, Utf8Validity) {
    const struct {
        const char* bytes;
        bool bValid;
    } rows[] = {
        {"", true},
        {"plain/ascii.txt", true},
        {"\u03a9mega/\u65e5\u672c.txt", true},
        {"\xf0\x9f\x98\x80", true},
        {"\x80", false},
        {"\xc0\xaf", false},  // stray, overlong "/"
        {"\xe0\x80\xaf", false},
        {"\xed\xa0\x80", false},  // overlong, surrogate
        {"\xf4\x90\x80\x80", false},
        {"\xe2\x82", false},
        {"\x8e\x99.txt", false},
        {"\xf5\x80\x80\x80", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.bValid, isValidUtf8(row.bytes)) << row.bytes;
}

ArchiveMember makeMember(const std::string& name, std::uint16_t uiFlags = 0, const std::string& unicodeName = "") {
    ArchiveMember member;
    member.name = name;
    member.uiFlags = uiFlags;
    member.unicodeName = unicodeName;
    member.bDirectory = !name.empty() && name.back() == '/';
    return member;
}

TEST(ZipfsMetadata, NameRulesInOrder) {
    NameDecoder shiftJis;
    ASSERT_TRUE(shiftJis.open("SHIFT_JIS"));
    const std::string kSjis = "\x93\xfa\x96\x7b.txt";  // 日本.txt in Shift_JIS
    const struct {
        ArchiveMember member;
        const NameDecoder* pDecoder;
        std::string text;
    } rows[] = {
        {makeMember("\x8e.txt", 0x0800), nullptr, "\x8e.txt"},            // flag 11: as stored
        {makeMember("_mega/", 0, "\u03a9mega"), nullptr, "\u03a9mega/"},  // Unicode Path field
        {makeMember("\u00e9t\u00e9.txt"), nullptr, "\u00e9t\u00e9.txt"},  // valid UTF-8: as stored
        {makeMember("\x82t\x82.txt"), nullptr, "\u00e9t\u00e9.txt"},      // else code page 437
        {makeMember(kSjis), &shiftJis, "\u65e5\u672c.txt"},               // --encoding
        {makeMember("\x80\xff"), &shiftJis, "\u00c7\u00a0"},              // not Shift_JIS: CP437
    };
    for (const auto& row : rows) EXPECT_EQ(row.text, decodeName(row.member, row.pDecoder)) << row.member.name;
}

TEST(ZipfsMetadata, ModesKindsAndMethods) {
    const std::uint16_t kUnix = 3 << 8, kDos = 0;
    const struct {
        const char* name;
        std::uint16_t uiMadeBy;
        std::uint32_t uiMode;  // the high 16 bits of the external attributes
        mode_t expected;
        const char* shown;
        const char* kind;
    } rows[] = {
        {"run.sh", kUnix, 0100755, S_IFREG | 0755, "-rwxr-xr-x", "file"},
        {"secret", kUnix, 0100600, S_IFREG | 0600, "-rw-------", "file"},
        {"link", kUnix, 0120777, S_IFLNK | 0777, "lrwxrwxrwx", "symlink"},
        {"dir/", kUnix, 040700, S_IFDIR | 0700, "drwx------", "directory"},
        {"tmp/", kUnix, 041777, S_IFDIR | 01777, "drwxrwxrwt", "directory"},
        {"suid", kUnix, 0104755, S_IFREG | 04755, "-rwsr-xr-x", "file"},
        {"sgid", kUnix, 0102644, S_IFREG | 02644, "-rw-r-Sr--", "file"},
        {"no-mode", kUnix, 0, S_IFREG | 0644, "-rw-r--r--", "file"},
        {"dos.txt", kDos, 0120777, S_IFREG | 0644, "-rw-r--r--", "file"},
        {"dos/", kDos, 0, S_IFDIR | 0755, "drwxr-xr-x", "directory"},
    };
    for (const auto& row : rows) {
        ArchiveMember member = makeMember(row.name);
        member.uiVersionMadeBy = row.uiMadeBy | 20;
        member.uiExternalAttributes = row.uiMode << 16;
        EXPECT_EQ(row.expected, memberMode(member)) << row.name;
        EXPECT_EQ(row.shown, formatMode(memberMode(member))) << row.name;
        EXPECT_STREQ(row.kind, kindName(member)) << row.name;
    }
    const struct {
        std::uint16_t uiMethod;
        const char* name;
    } methods[] = {{0, "stored"}, {8, "deflated"}, {9, "deflate64"}, {12, "bzip2"}, {14, "lzma"},
                   {93, "zstd"},  {95, "xz"},      {98, "ppmd"},     {99, "aes"},   {7, "method 7"}};
    for (const auto& row : methods) EXPECT_EQ(row.name, methodName(row.uiMethod));
}

TEST(ZipfsMetadata, SafePathsAndLinkTargets) {
    // The components joined by "/", or "!" when refused (with no components left).
    const struct {
        const char* name;
        const char* path;
    } names[] = {{"/abs.txt", "abs.txt"}, {"//a/./b//c", "a/b/c"}, {"./", ""},    {"...", "..."}, {"../x", "!"},
                 {"a/../b", "!"},         {"a/..", "!"},           {"w\\x", "!"}, {"", ""}};
    for (const auto& row : names) {
        std::vector<std::string> components{"stale"};
        const bool bRefused = !safeRelativePath(row.name, components).empty();
        std::string path = bRefused ? "!" : "";
        for (const std::string& component : components) path += (path.empty() ? "" : "/") + component;
        EXPECT_EQ(row.path, path) << row.name;
    }
    std::vector<std::string> unused;
    EXPECT_FALSE(safeRelativePath(std::string("a\0b", 3), unused).empty());
    const struct {
        std::vector<std::string> link;
        const char* target;
        bool bInside;
    } targets[] = {
        {{"link"}, "bin/run.sh", true}, {{"a", "link"}, "../x", true},  {{"a", "b", "l"}, "../../x/y", true},
        {{"link"}, "../x", false},      {{"a", "l"}, "../../x", false}, {{"l"}, "/etc/passwd", false},
        {{"a", "l"}, "x/../..", false}, {{"a", "l"}, "x/../y", false},  {{"l"}, "", false},
        {{"l"}, "./.", true},
    };
    for (const auto& row : targets)
        EXPECT_EQ(row.bInside, unsafeLinkTargetReason(row.link, row.target).empty()) << row.target;
}

}  // namespace
}  // namespace Tool
}  // namespace Tamsor
