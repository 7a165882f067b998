#include "Format.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

namespace Tamsor {
namespace Tool {

namespace {

std::string formatLocal(std::time_t time, const char* format) {
    std::tm parts{};
    char text[48];
    if (!localtime_r(&time, &parts) || std::strftime(text, sizeof(text), format, &parts) == 0) return "-";
    return text;
}

}  // namespace

std::string formatTime(std::time_t time) {
    return formatLocal(time, "%Y-%m-%d %H:%M:%S");
}

std::string formatTimeWithZone(std::time_t time) {
    return formatLocal(time, "%Y-%m-%d %H:%M:%S %z");
}

std::string formatTimeWithZone(std::time_t time, std::uint32_t uiNanoseconds) {
    char fraction[16];
    std::snprintf(fraction, sizeof(fraction), ".%09" PRIu32 " ", uiNanoseconds);
    return formatLocal(time, (std::string("%Y-%m-%d %H:%M:%S") + fraction + "%z").c_str());
}

const char* timeSourceName(TimeSource source) {
    switch (source) {
        case TimeSource::ExtendedTimestamp:
            return "extended timestamp field (UTC)";
        case TimeSource::Ntfs:
            return "NTFS field (UTC)";
        case TimeSource::UnixField:
            return "Unix field (UTC)";
        case TimeSource::Dos:
            return "DOS fields (local time)";
        case TimeSource::None:
            break;
    }
    return "none";
}

std::string formatMode(mode_t mode) {
    std::string text = S_ISDIR(mode)    ? "d"
                       : S_ISLNK(mode)  ? "l"
                       : S_ISFIFO(mode) ? "p"
                       : S_ISSOCK(mode) ? "s"
                       : S_ISBLK(mode)  ? "b"
                       : S_ISCHR(mode)  ? "c"
                                        : "-";
    const char* const kLetters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? kLetters[bit] : '-';
    // setuid, setgid and sticky take the place of the execute letters, upper case without execute.
    const struct {
        mode_t bit;
        std::size_t at;
        char withExecute;
    } kSpecial[] = {{S_ISUID, 3, 's'}, {S_ISGID, 6, 's'}, {S_ISVTX, 9, 't'}};
    for (const auto& special : kSpecial)
        if (mode & special.bit)
            text[special.at] = text[special.at] == '-' ? special.withExecute - 32 : special.withExecute;
    return text;
}

std::string formatCrc(std::uint32_t uiCrc) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08" PRIx32, uiCrc);
    return text;
}

// Backslashes are escaped too, so that an escape in the output always stands for a byte of the name.
std::string displayName(std::string_view name, bool bEscapeHigh) {
    std::string shown;
    shown.reserve(name.size());
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\' || (bEscapeHigh && byte >= 0x80)) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace Tool
}  // namespace Tamsor
