#ifndef TAMSOR_TOOLS_FORMAT_H
#define TAMSOR_TOOLS_FORMAT_H

// How zipfs shows member facts on a terminal.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "tamsor/ArchiveMember.h"

namespace Tamsor {
namespace Tool {

// This machine's local time, "YYYY-MM-DD HH:MM:SS", as ls shows times; "-" when there is none.
std::string formatTime(std::time_t time);
// The same with the zone's offset, "YYYY-MM-DD HH:MM:SS +0900", so that the instant is unambiguous.
std::string formatTimeWithZone(std::time_t time);
// The same with the nanoseconds of the second, "YYYY-MM-DD HH:MM:SS.123456700 +0900".
std::string formatTimeWithZone(std::time_t time, std::uint32_t uiNanoseconds);
// Where a time came from, for stat: "extended timestamp field (UTC)", "DOS fields (local time)", ...
const char* timeSourceName(TimeSource source);
// "-rwxr-xr-x", "drwxr-xr-x", "lrwxrwxrwx", "prw-r--r--", "srwx------", "brw-rw----", "crw-rw-rw-", with s/S and t/T
// where those bits are set.
std::string formatMode(mode_t mode);
// Eight lower-case hex digits.
std::string formatCrc(std::uint32_t uiCrc);
// A name fit for a terminal: control bytes (and backslashes) shown as \xNN escapes, everything else as is;
// with `bEscapeHigh`, bytes from 0x80 up too (stored bytes that are not UTF-8).
std::string displayName(std::string_view name, bool bEscapeHigh = false);

}  // namespace Tool
}  // namespace Tamsor

#endif
