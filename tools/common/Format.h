#ifndef TAMSOR_TOOLS_FORMAT_H
#define TAMSOR_TOOLS_FORMAT_H

// How zipfs shows member facts.

#include <cstdint>
#include <ctime>
#include <string>

#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace Tool {

// "stored", "deflated", or the method's number.
std::string methodName(std::uint16_t uiMethod);
// Local time, "YYYY-MM-DD HH:MM:SS".
std::string formatTime(std::time_t time);
// Eight lower-case hex digits.
std::string formatCrc(std::uint32_t uiCrc);
// A name fit for a terminal: control bytes (and backslashes) shown as \xNN escapes, everything else as is.
std::string displayName(const std::string& strName);
// The long listing line of one member: size, compressed size, method, time, name; "-" for what an implied
// directory does not have.
std::string longListingLine(const ArchiveMember& member, const std::string& strShownName);
// "file", "directory" or "implied directory".
const char* kindOf(const ArchiveMember& member);

}  // namespace Tool
}  // namespace Tamsor

#endif
