// cat and test: member bytes through File handles, CRC-checked.

#include <cstdio>
#include <set>
#include <string>

#include "Commands.h"
#include "ExitStatus.h"
#include "Format.h"
#include "MemberReader.h"
#include "OpenedArchive.h"

namespace Tamsor {
namespace Tool {

namespace {

bool writeToStandardOutput(const char* data, std::size_t length) {
    return std::fwrite(data, 1, length, stdout) == length;
}

// One member to standard output; its status.
int catOne(const Invocation& invocation, OpenedArchive& rArchive, const std::string& strPath) {
    const ArchiveMember* pMember = rArchive.index().find(strPath);
    if (!pMember) {
        invocation.fail("'" + displayName(strPath) + "': no such member in " + rArchive.path());
        return kExitNotFound;
    }
    if (pMember->bDirectory) {
        invocation.fail("'" + displayName(strPath) + "' is a directory");
        return kExitNotFound;
    }
    const ReadOutcome outcome = readMember(rArchive.fileSystem(), *pMember, &writeToStandardOutput);
    if (outcome == ReadOutcome::Ok) return kExitOk;
    invocation.fail("'" + displayName(pMember->name) + "': " + describeOutcome(outcome, *pMember));
    return kExitDataError;
}

}  // namespace

int catCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    OpenedArchive archive;
    int status = archive.open(operands[0], invocation.kind, invocation.commandName);
    if (status != kExitOk) return status;
    for (std::size_t i = 1; i < operands.size(); ++i)
        status = worstOf(status, catOne(invocation, archive, operands[i]));
    return status;
}

int testCommand(const Invocation& invocation) {
    const std::string& path = invocation.args.operands()[0];
    OpenedArchive archive;
    const int status = archive.open(path, invocation.kind, invocation.commandName);
    if (status != kExitOk) return status;
    std::size_t uiTested = 0, uiFailed = 0, uiSkipped = 0;
    std::set<std::string> seenNames;
    for (const ArchiveMember& member : archive.index().members()) {
        if (member.bImplied) break;  // implied directories come last
        const std::string reason = unreachableReason(member, seenNames);
        if (member.bDirectory) continue;
        const std::string shown = displayName(member.name);
        if (!reason.empty()) {
            ++uiSkipped;
            std::printf("SKIPPED %s (%s)\n", shown.c_str(), reason.c_str());
            continue;
        }
        ++uiTested;
        const ReadOutcome outcome = readMember(archive.fileSystem(), member, PieceSink());
        if (outcome == ReadOutcome::Ok) {
            std::printf("OK %s\n", shown.c_str());
        } else {
            ++uiFailed;
            std::printf("FAILED %s (%s)\n", shown.c_str(), describeOutcome(outcome, member).c_str());
        }
    }
    const std::string skipped = uiSkipped ? ", " + std::to_string(uiSkipped) + " skipped" : std::string();
    if (uiFailed == 0) {
        std::printf("No errors detected in %s (%zu file%s tested%s).\n", displayName(path).c_str(), uiTested,
                    uiTested == 1 ? "" : "s", skipped.c_str());
        return kExitOk;
    }
    std::printf("%zu of %zu file%s FAILED in %s%s.\n", uiFailed, uiTested, uiTested == 1 ? "" : "s",
                displayName(path).c_str(), skipped.c_str());
    return kExitDataError;
}

}  // namespace Tool
}  // namespace Tamsor
