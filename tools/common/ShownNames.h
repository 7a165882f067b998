#ifndef TAMSOR_TOOLS_SHOWNNAMES_H
#define TAMSOR_TOOLS_SHOWNNAMES_H

// The rules by which a decoded member name becomes names a Linux file system can hold, for the mount and for
// extraction alike (ShownPaths applies them to a whole archive). Pure functions.
//
// - Components are split at "/"; empty, "." and ".." components are dropped ("../other/LICENSE" shows as
//   "other/LICENSE", "/abs.txt" as "abs.txt"): a name never leads out of the archive, and its member stays
//   reachable under what is left.
// - A name is cut at its first NUL byte: nothing after it can be handed to the kernel, and what comes before
//   is what C programs (and the library's lookups) take the name to be.
// - A component longer than NAME_MAX (255) bytes is cut at a UTF-8 character boundary and ends in "~" and
//   eight hex digits of an FNV-1a hash of the whole component, at most 255 bytes in all: two long names that differ
//   only past the cut still show apart, and the same archive shows the same names on every machine.
// - A name already taken in its directory gets a number, "name (1)", "name (2)", ..., placed before the
//   extension of a file ("report (1).txt"; no extension, or a name whose only dot leads it: at the end) and
//   at the end of a directory's name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Tamsor {
namespace Tool {

// The components of `name` that are shown, as views into it (a component still longer than NAME_MAX: see
// fittedComponent). Empty when the name has none ("/", "..", "./"). Costs one pass over the name.
void shownComponents(std::string_view name, std::vector<std::string_view>& rComponents);

// The last of shownComponents(name), or "" when there is none; costs a scan from the name's end.
std::string_view lastShownComponent(std::string_view name);

// `component` when it fits in NAME_MAX bytes; else its shortened form, as above.
std::string fittedComponent(std::string_view component);
inline bool fitsAsComponent(std::string_view component) {
    return component.size() <= 255;
}

// `name` (already fitted) with number `uiNumber` as above, cut further at a character boundary when it would
// no longer fit.
std::string numberedName(std::string_view name, std::uint32_t uiNumber, bool bDirectory);

}  // namespace Tool
}  // namespace Tamsor

#endif
