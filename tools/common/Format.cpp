#include "Format.h"

#include <cinttypes>
#include <cstdio>

namespace Tamsor {
namespace Tool {

std::string methodName(std::uint16_t uiMethod) {
    if (uiMethod == 0) return "stored";
    if (uiMethod == 8) return "deflated";
    return std::to_string(uiMethod);
}

std::string formatTime(std::time_t time) {
    std::tm parts{};
    if (!localtime_r(&time, &parts)) return "-";
    char text[32];
    if (std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts) == 0) return "-";
    return text;
}

std::string formatCrc(std::uint32_t uiCrc) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08" PRIx32, uiCrc);
    return text;
}

// Backslashes are escaped too, so that an escape in the output always stands for a byte of the name.
std::string displayName(const std::string& strName) {
    std::string shown;
    shown.reserve(strName.size());
    for (const char c : strName) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string longListingLine(const ArchiveMember& member, const std::string& strShownName) {
    char line[128];
    if (member.bImplied) {
        std::snprintf(line, sizeof(line), "%12s %12s  %-8s  %-19s  ", "-", "-", "-", "-");
    } else {
        std::snprintf(line, sizeof(line), "%12" PRIu64 " %12" PRIu64 "  %-8s  %-19s  ", member.uiSize,
                      member.uiCompressedSize, methodName(member.uiMethod).c_str(),
                      formatTime(member.modificationTime).c_str());
    }
    return line + strShownName;
}

const char* kindOf(const ArchiveMember& member) {
    if (!member.bDirectory) return "file";
    return member.bImplied ? "implied directory" : "directory";
}

}  // namespace Tool
}  // namespace Tamsor
