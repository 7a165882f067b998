#ifndef TAMSOR_TOOLS_ARCHIVEKIND_H
#define TAMSOR_TOOLS_ARCHIVEKIND_H

// Telling plain archives from scrambled ones by their first and last bytes.

#include <string>

namespace Tamsor {
namespace Tool {

enum class KindChoice { Detect, Plain, Scrambled };
enum class ArchiveKind { Plain, Scrambled, Unknown };

// Looks at the first 4 and the last 22 bytes of the file: a plain archive starts with a local header or is an
// empty archive (an end record), or ends with an end record that has no comment; a scrambled archive does so
// once those bytes are unscrambled. False, with errno set, when the file cannot be opened or read.
bool detectArchiveKind(const std::string& path, ArchiveKind& rKind);

const char* kindName(ArchiveKind kind);

}  // namespace Tool
}  // namespace Tamsor

#endif
