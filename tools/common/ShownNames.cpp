#include "ShownNames.h"

#include <climits>
#include <cstdio>

namespace Tamsor {
namespace Tool {

namespace {

// Room for "~" and eight hex digits.
const std::size_t kHashMark = 9;

bool isShown(std::string_view component) {
    return !component.empty() && component != "." && component != "..";
}

std::string_view beforeNul(std::string_view name) {
    return name.substr(0, name.find('\0'));
}

// The longest start of `text` of at most `limit` bytes that ends at a character boundary (a byte that is not a
// UTF-8 continuation byte follows it).
std::string_view cutAt(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::uint32_t fnv1a(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

}  // namespace

void shownComponents(std::string_view name, std::vector<std::string_view>& rComponents) {
    rComponents.clear();
    name = beforeNul(name);
    std::string_view::size_type start = 0;
    while (start <= name.size()) {
        std::string_view::size_type slash = name.find('/', start);
        if (slash == std::string_view::npos) slash = name.size();
        const std::string_view component = name.substr(start, slash - start);
        start = slash + 1;
        if (isShown(component)) rComponents.push_back(component);
    }
}

std::string_view lastShownComponent(std::string_view name) {
    name = beforeNul(name);
    for (;;) {
        const std::string_view::size_type slash = name.rfind('/');
        const std::string_view component = slash == std::string_view::npos ? name : name.substr(slash + 1);
        if (isShown(component)) return component;
        if (slash == std::string_view::npos) return std::string_view();
        name = name.substr(0, slash);
    }
}

std::string fittedComponent(std::string_view component) {
    if (fitsAsComponent(component)) return std::string(component);
    char mark[kHashMark + 1];
    std::snprintf(mark, sizeof mark, "~%08x", static_cast<unsigned>(fnv1a(component)));
    return std::string(cutAt(component, NAME_MAX - kHashMark)) + mark;
}

std::string numberedName(std::string_view name, std::uint32_t uiNumber, bool bDirectory) {
    const std::string number = " (" + std::to_string(uiNumber) + ")";
    const std::string_view::size_type dot = bDirectory ? std::string_view::npos : name.rfind('.');
    const std::string_view::size_type split = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
    std::string_view extension = name.substr(split);
    if (extension.size() + number.size() > NAME_MAX) extension = "";  // an extension that long is no extension
    const std::string_view base = cutAt(name.substr(0, split), NAME_MAX - number.size() - extension.size());
    return std::string(base) + number + std::string(extension);
}

}  // namespace Tool
}  // namespace Tamsor
