#include "SafeName.h"

namespace Tamsor {
namespace Tool {

namespace {

// The "/"-separated parts of `text`, empty ones included.
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = text.find('/', start);
        parts.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

}  // namespace

std::string unsafeLinkTargetReason(const std::vector<std::string>& linkComponents, const std::string& strTarget) {
    if (strTarget.empty()) return "empty link target";
    if (strTarget[0] == '/') return "absolute link target";
    if (strTarget.find('\0') != std::string::npos) return "link target holds a NUL byte";
    std::size_t climbs = 0;
    bool bDescending = false;
    for (const std::string& part : split(strTarget)) {
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            bDescending = true;
        } else if (bDescending || ++climbs >= linkComponents.size()) {
            return "link target would lead outside the extraction directory";
        }
    }
    return "";
}

}  // namespace Tool
}  // namespace Tamsor
