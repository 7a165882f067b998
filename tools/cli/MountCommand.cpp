// mount: the options and the mount point are checked, and the archive opened, here (as every command opens
// it, so the words for a bad archive are the same); the FUSE side lives in tools/mount/.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FuseMount.h"
#include "MadeMountPoint.h"
#include "MemberSource.h"
#include "MountOptions.h"
#include "MountPoint.h"
#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {

namespace {

// Encrypted members read before the mount starts: enough to tell a wrong password from members of another.
const std::size_t kPasswordTrials = 16;

// Before the mount goes to the background (where there is no terminal to ask on): the password, asked for when
// none was given and a member needs one, must open one of the encrypted members, read whole (the smallest
// first): ZipCrypto's check lets one wrong password in 256 through, and only the CRC-32 at the end of a member
// tells. False when it opens none of them.
bool passwordOpensAMember(MemberSource& rSource) {
    const ArchiveIndex& index = rSource.index();
    std::vector<MemberId> encrypted;
    for (MemberId id = 0; id < index.size(); ++id)
        if (index.record(id).isEncrypted() && !index.record(id).bDirectory) encrypted.push_back(id);
    const std::size_t trials = std::min(encrypted.size(), kPasswordTrials);
    std::partial_sort(encrypted.begin(), encrypted.begin() + static_cast<std::ptrdiff_t>(trials), encrypted.end(),
                      [&index](MemberId a, MemberId b) { return index.record(a).uiSize < index.record(b).uiSize; });
    for (std::size_t i = 0; i < trials; ++i) {
        const ReadResult result = rSource.readWhole(encrypted[i], PieceSink());
        if (result.ok() || result.status == ReadStatus::Encrypted) return true;  // opened, or no password to try
    }
    return trials == 0;
}

}  // namespace

int mountCommand(const Invocation& invocation) {
    const std::vector<std::string>& operands = invocation.args.operands();
    MountSettings settings;
    std::string error;
    if (!parseMountOptions(invocation.args.values("options"), settings, error)) {
        invocation.fail(error);
        return kExitUsage;
    }
    MadeMountPoint made;  // before anything that may fail: it goes when the command ends
    if (!invocation.args.has("no-mkdir") && !made.makeIfMissing(operands[1])) {
        invocation.fail("cannot mount at '" + operands[1] + "': cannot create it: " + errnoText(errno));
        return kExitUsage;
    }
    std::string mountPoint;
    const std::string refusal = checkMountPoint(operands.back(), settings.bNonEmpty, mountPoint);
    if (!refusal.empty()) {
        invocation.fail("cannot mount at '" + operands.back() + "': " + refusal);
        return kExitUsage;
    }
    // Every archive but the last operand, each opened (and its password tried) as one alone would be.
    NameDecoder decoder;
    std::vector<std::unique_ptr<MemberSource>> sources;
    std::vector<const MemberSource*> opened;
    for (std::size_t i = 0; i + 1 < operands.size(); ++i) {
        sources.emplace_back(new MemberSource);
        const int status = invocation.openArchive(*sources.back(), decoder, ArchiveScope(), i);
        if (status != kExitOk) return status;
        if (!passwordOpensAMember(*sources.back())) {
            invocation.fail("the password opens none of the encrypted members of '" + operands[i] + "'");
            return kExitDataError;
        }
        opened.push_back(sources.back().get());
    }
    return runMount(opened, mountPoint, settings, invocation.args.has("foreground"), invocation.args.has("verbose"));
}

}  // namespace Tool
}  // namespace Tamsor
