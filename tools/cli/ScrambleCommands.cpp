// scramble and unscramble: the whole file streamed through the key at its running offset.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "ArchiveKind.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "Progress.h"
#include "TempOutput.h"
#include "WriteAll.h"
#include "tamsor/ZIPEncryptedFileSystem.h"

namespace Tamsor {
namespace Tool {

namespace {

const std::size_t kChunkSize = 1024 * 1024;  // a multiple of the key length, though nothing depends on it

typedef void (*Transform)(char* buf, unsigned int len, unsigned int offset);

// Copies `inFd` to `outFd` through `transform`. The offset handed to the key is the running file offset
// modulo 2^32, whose key phase is the true one (2^32 is a multiple of the key length).
bool transformStream(int inFd, int outFd, Transform transform, Progress& rProgress, std::string& rError) {
    std::vector<char> buffer(kChunkSize);
    std::uint64_t uiOffset = 0;
    for (;;) {
        const ssize_t n = ::read(inFd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            rError = "read error: " + errnoText(errno);
            return false;
        }
        if (n == 0) return true;
        transform(buffer.data(), static_cast<unsigned int>(n), static_cast<unsigned int>(uiOffset));
        if (!writeAll(outFd, buffer.data(), static_cast<std::size_t>(n))) {
            rError = "write error: " + errnoText(errno);
            return false;
        }
        uiOffset += static_cast<std::uint64_t>(n);
        rProgress.update(uiOffset);
    }
}

// A plain archive being scrambled, or a scrambled one being unscrambled, is what makes sense. Scrambling
// anything else goes through with a warning; unscrambling something that is not scrambled would write
// garbage, so it is refused unless forced. False when the command must stop.
bool checkInput(const Invocation& invocation, const std::string& strIn, bool bScrambling) {
    ArchiveKind kind = ArchiveKind::Unknown;
    if (!detectArchiveKind(strIn, kind)) return true;  // the read that follows says why
    const ArchiveKind expected = bScrambling ? ArchiveKind::Plain : ArchiveKind::Scrambled;
    if (kind == expected) return true;
    const std::string what = "'" + strIn + "' does not look like a " + (bScrambling ? "plain" : "scrambled") +
                             " ZIP archive (it looks " + kindName(kind) + ")";
    if (bScrambling || invocation.args.has("force")) {
        invocation.fail("warning: " + what);
        return true;
    }
    invocation.fail(what + "; nothing written (--force unscrambles it anyway)");
    return false;
}

// True when `strOut` exists and is the file open at `inFd` (the same path, another path to it, a hard link).
bool isSameFile(int inFd, const std::string& strOut) {
    struct stat in, out;
    return ::fstat(inFd, &in) == 0 && ::stat(strOut.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

int convert(const Invocation& invocation, Transform transform, bool bScrambling) {
    const std::string& in = invocation.args.operands()[0];
    const std::string& out = invocation.args.operands()[1];
    const int inFd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (inFd < 0 || ::fstat(inFd, &status) != 0 || S_ISDIR(status.st_mode)) {
        invocation.fail("cannot read '" + in + "': " + errnoText(inFd < 0 ? errno : EISDIR));
        if (inFd >= 0) ::close(inFd);
        return kExitArchive;
    }
    if (isSameFile(inFd, out)) {
        invocation.fail("'" + out + "' is the input itself; refusing to overwrite it");
        ::close(inFd);
        return kExitUsage;
    }
    if (!checkInput(invocation, in, bScrambling)) {
        ::close(inFd);
        return kExitArchive;
    }
    TempOutput output;
    if (!output.create(out)) {
        invocation.fail("cannot create a temporary file beside '" + out + "': " + errnoText(errno));
        ::close(inFd);
        return kExitDataError;
    }
    std::string error;
    bool bOk;
    {
        Progress progress(bScrambling ? "scrambling" : "unscrambling", static_cast<std::uint64_t>(status.st_size));
        bOk = transformStream(inFd, output.fd(), transform, progress, error);
    }
    ::close(inFd);
    if (bOk && !output.commit()) {
        error = "cannot complete '" + out + "': " + errnoText(errno);
        bOk = false;
    }
    if (bOk) return kExitOk;
    invocation.fail(error + " ('" + out + "' left as it was)");
    return kExitDataError;
}

}  // namespace

int scrambleCommand(const Invocation& invocation) {
    return convert(invocation, &ZIPEncryptedFileSystem::encrypt, true);
}

int unscrambleCommand(const Invocation& invocation) {
    return convert(invocation, &ZIPEncryptedFileSystem::decrypt, false);
}

}  // namespace Tool
}  // namespace Tamsor
