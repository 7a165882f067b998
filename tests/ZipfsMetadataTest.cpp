// The zipfs tool's pure functions, where the command line cannot reach every case: code page 437 against
// iconv's table, UTF-8 validity, name rules and modes the archives made at test time cannot show, and which
// link targets stay inside an extraction directory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "Format.h"
#include "MemberFacts.h"
#include "SafeName.h"
#include "ShownNames.h"
#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {
namespace {

TEST(ZipfsMetadata, Cp437MatchesIconvAndUtf8IsChecked) {
    NameDecoder iconvCp437;
    ASSERT_TRUE(iconvCp437.open("CP437"));
    for (int byte = 0x20; byte < 0x100; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        std::string fromIconv;
        ASSERT_TRUE(iconvCp437.decode(one, fromIconv)) << byte;
        EXPECT_EQ(fromIconv, cp437ToUtf8(one)) << std::hex << byte;
    }
    // Valid: ASCII, 2-4 byte forms; not: stray, overlong, surrogate, past U+10FFFF, cut short, past F4.
    for (const char* valid : {"", "plain/ascii.txt", "\u03a9mega/\u65e5\u672c.txt", "\xf0\x9f\x98\x80"})
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
    for (const char* invalid : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82",
                                "\x8e\x99.txt", "\xf5\x80\x80\x80"})
        EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
}

ArchiveMember makeMember(const std::string& name, std::uint16_t uiMadeBy = 20, std::uint32_t uiMode = 0) {
    ArchiveMember member;
    member.name = name;
    member.uiVersionMadeBy = uiMadeBy;
    member.uiExternalAttributes = uiMode << 16;  // where Unix keeps st_mode
    member.bDirectory = !name.empty() && name.back() == '/';
    return member;
}

// What the command line cannot show from archives Info-ZIP makes on this machine: the UTF-8 flag on bytes
// that are not UTF-8, a code set that does not take the bytes, and modes of every kind from every host.
TEST(ZipfsMetadata, NameRulesAndModes) {
    NameDecoder shiftJis;
    ASSERT_TRUE(shiftJis.open("SHIFT_JIS"));
    ArchiveMember flagged = makeMember("\x8e.txt");
    flagged.uiFlags = 0x0800;
    EXPECT_EQ("\x8e.txt", decodeName(flagged, nullptr));                       // flag 11: as stored
    EXPECT_EQ("\u00c7\u00a0", decodeName(makeMember("\x80\xff"), &shiftJis));  // not Shift_JIS: CP437
    const std::uint16_t kUnix = (3 << 8) | 20, kDos = 20;
    const struct {
        const char* name;
        std::uint16_t uiMadeBy;
        std::uint32_t uiMode;
        const char* shown;
    } modes[] = {{"tmp/", kUnix, 041777, "drwxrwxrwt"},    {"dir/", kUnix, 040700, "drwx------"},
                 {"sgid", kUnix, 0102644, "-rw-r-Sr--"},   {"no-mode", kUnix, 0, "-rw-r--r--"},
                 {"dos.txt", kDos, 0120777, "-rw-r--r--"}, {"dos/", kDos, 0, "drwxr-xr-x"}};
    for (const auto& row : modes)
        EXPECT_EQ(row.shown, formatMode(memberMode(makeMember(row.name, row.uiMadeBy, row.uiMode)))) << row.name;
}

// Which link targets stay inside: the command line meets only one that climbs out.
TEST(ZipfsMetadata, LinkTargets) {
    const struct {
        std::vector<std::string> link;
        const char* target;
        bool bInside;
    } targets[] = {{{"a", "link"}, "../x", true}, {{"a", "b", "l"}, "../../x/y", true},
                   {{"l"}, "./.", true},          {{"link"}, "../x", false},
                   {{"l"}, "/etc/passwd", false}, {{"a", "l"}, "x/../..", false},
                   {{"a", "l"}, "x/../y", false}, {{"l"}, "", false}};
    for (const auto& row : targets)
        EXPECT_EQ(row.bInside, unsafeLinkTargetReason(row.link, row.target).empty()) << row.target;
}

// The names the mount and extraction show: components kept, a long one cut at a character and marked with its
// hash, a taken one numbered before its extension.
TEST(ZipfsMetadata, ShownNames) {
    const std::pair<std::string, std::string> components[] = {{"//a/./b//c", "a/b/c"},
                                                              {"...", "..."},
                                                              {"../other/LICENSE", "other/LICENSE"},
                                                              {"a\\b/..", "a\\b"},
                                                              {"/", ""},
                                                              {"x/../..", "x"},
                                                              {std::string("a\0b/c", 5), "a"}};
    for (const auto& row : components) {
        std::vector<std::string_view> parts;
        shownComponents(row.first, parts);
        std::string joined;
        for (const std::string_view part : parts) joined += (joined.empty() ? "" : "/") + std::string(part);
        EXPECT_EQ(row.second, joined) << row.first;
        EXPECT_EQ(parts.empty() ? "" : parts.back(), lastShownComponent(row.first)) << row.first;
    }
    const std::string plain(255, 'x'), twoByte = "\u00e9";  // two bytes
    std::string longName;
    while (longName.size() < 300) longName += twoByte;
    const std::string fitted = fittedComponent("a" + longName);
    EXPECT_EQ(245u, fitted.find('~'));  // "a" and 122 whole characters (not 246 bytes), then "~" and 8 digits
    EXPECT_EQ(254u, fitted.size());
    EXPECT_NE(fitted, fittedComponent("a" + longName + "x"));
    EXPECT_EQ(plain, fittedComponent(plain));
    const struct {
        std::string name;
        std::uint32_t uiNumber;
        bool bDirectory;
        std::string shown;
    } numbered[] = {{"report.txt", 1, false, "report (1).txt"},
                    {".bashrc", 2, false, ".bashrc (2)"},
                    {"README", 12, false, "README (12)"},
                    {"v1.2", 1, true, "v1.2 (1)"},
                    {fitted, 3, false, fitted.substr(0, 251) + " (3)"}};
    for (const auto& row : numbered)
        EXPECT_EQ(row.shown, numberedName(row.name, row.uiNumber, row.bDirectory)) << row.name;
}

}  // namespace
}  // namespace Tool
}  // namespace Tamsor
