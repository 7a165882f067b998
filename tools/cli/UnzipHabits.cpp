#include "UnzipHabits.h"

namespace Tamsor {
namespace Tool {

bool extractDirectory(const CommandLine& args, std::string& rDirectory, std::string& rError) {
    if (args.has("directory") && args.has("exdir")) {
        rError = "-C and -d both name the directory: give one";
        return false;
    }
    rDirectory = args.value("directory", args.value("exdir", "."));
    return true;
}

std::uint64_t bytesToRead(const ArchiveFacts& facts, const std::vector<bool>& selected) {
    std::uint64_t uiTotal = 0;
    for (MemberId id = 0; id < facts.storedCount(); ++id) {
        const MemberRecord& record = facts.record(id);
        if (!record.bDirectory && (selected.empty() || selected[id])) uiTotal += record.uiSize;
    }
    return uiTotal;
}

}  // namespace Tool
}  // namespace Tamsor
