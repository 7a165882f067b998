// cat and test: member bytes through the member source (the library's member reader), checked against the index.

#include <cstdio>
#include <string>

#include "Commands.h"
#include "ExitStatus.h"
#include "Format.h"
#include "MemberSource.h"
#include "Progress.h"
#include "UnzipHabits.h"

namespace Tamsor {
namespace Tool {

namespace {

bool writeToStandardOutput(const char* data, std::size_t length) {
    return std::fwrite(data, 1, length, stdout) == length;
}

// One member to standard output; its status. Refusals known beforehand come before any byte is written; a
// CRC mismatch is known only at the end, once the bytes are out.
int catOne(const Invocation& invocation, MemberSource& rSource, const std::string& strPath) {
    const MemberId id = rSource.find(strPath);
    if (id == kNoMember) {
        invocation.fail("'" + displayName(strPath) + "': no such member in " + rSource.path());
        return kExitNotFound;
    }
    const MemberRecord& member = rSource.index().record(id);
    if (member.bDirectory || isSpecial(member)) {
        invocation.fail("'" + displayName(strPath) + "' is a " + (member.bDirectory ? "directory" : kindName(member)));
        return kExitNotFound;
    }
    const MemberId data = member.kind == MemberKind::HardLink ? rSource.index().details(id).linkedMember : id;
    if (data == kNoMember) {
        invocation.fail("'" + displayName(strPath) + "' is a hard link to '" +
                        displayName(rSource.index().details(id).linkTarget) + "', which no earlier member holds");
        return kExitDataError;
    }
    const ReadResult result = rSource.readWhole(data, &writeToStandardOutput);
    if (result.ok()) return kExitOk;
    invocation.fail("'" + displayName(rSource.facts().name(id)) + "': " + rSource.describe(result, data));
    return kExitDataError;
}

}  // namespace

int catCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    NameDecoder decoder;
    MemberSource source;
    int status = invocation.openArchive(
        source, decoder, ArchiveScope{std::vector<std::string>(operands.begin() + 1, operands.end()), false});
    if (status != kExitOk) return status;
    for (std::size_t i = 1; i < operands.size(); ++i) source.find(operands[i]);  // widens first if need be
    source.widenForLinks();
    for (std::size_t i = 1; i < operands.size(); ++i) status = worstOf(status, catOne(invocation, source, operands[i]));
    return status;
}

int testCommand(const Invocation& invocation) {
    const std::string& path = invocation.args.operands()[0];
    NameDecoder decoder;
    MemberSource source;
    const int status = invocation.openArchive(source, decoder, ArchiveScope());
    if (status != kExitOk) return status;
    std::size_t uiTested = 0, uiFailed = 0;
    const bool bQuiet = invocation.args.has("quiet");
    Progress progress("testing", bQuiet ? 0 : bytesToRead(source.facts(), std::vector<bool>()));
    const PieceSink counted = [&progress](const char*, std::size_t n) {
        progress.advance(n);
        return true;
    };
    for (MemberId id = 0; id < source.facts().storedCount(); ++id) {
        const MemberKind kind = source.index().record(id).kind;
        if (kind != MemberKind::File && kind != MemberKind::Symlink) continue;  // a hard link's bytes are another's
        const std::string shown = displayName(source.facts().name(id));
        const ReadResult result = source.readWhole(id, counted);
        ++uiTested;
        if (result.ok() && bQuiet) continue;
        progress.interrupt();  // the line goes where the bar was
        if (result.ok()) {
            std::printf("OK %s\n", shown.c_str());
        } else {
            ++uiFailed;
            std::printf("FAILED %s (%s)\n", shown.c_str(), source.describe(result, id).c_str());
        }
    }
    progress.interrupt();
    if (uiFailed == 0) {
        std::printf("No errors detected in %s (%zu file%s tested).\n", displayName(path).c_str(), uiTested,
                    uiTested == 1 ? "" : "s");
        return kExitOk;
    }
    std::printf("%zu of %zu file%s FAILED in %s.\n", uiFailed, uiTested, uiTested == 1 ? "" : "s",
                displayName(path).c_str());
    return kExitDataError;
}

}  // namespace Tool
}  // namespace Tamsor
