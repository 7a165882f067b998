#include "SafeName.h"

namespace Tamsor {
namespace Tool {

std::string unsafeNameReason(const std::string& strName) {
    if (strName.empty()) return "empty name";
    if (strName.find('\0') != std::string::npos) return "name holds a NUL byte";
    if (strName.find('\\') != std::string::npos) return "name holds a backslash";
    if (strName[0] == '/') return "absolute name";
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = strName.find('/', start);
        if (strName.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0)
            return "'..' component would leave the directory";
        if (slash == std::string::npos) return "";
        start = slash + 1;
    }
}

std::vector<std::string> pathComponents(const std::string& strName) {
    std::vector<std::string> components;
    std::string::size_type start = 0;
    while (start <= strName.size()) {
        std::string::size_type slash = strName.find('/', start);
        if (slash == std::string::npos) slash = strName.size();
        const std::string component = strName.substr(start, slash - start);
        if (!component.empty() && component != ".") components.push_back(component);
        start = slash + 1;
    }
    return components;
}

}  // namespace Tool
}  // namespace Tamsor
