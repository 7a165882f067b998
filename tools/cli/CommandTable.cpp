// The commands' names, help texts and options.

#include "Commands.h"
#include "Diagnostics.h"

namespace Tamsor {
namespace Tool {

void Invocation::fail(const std::string& message) const {
    reportError(std::string(commandName) + ": " + message);
}

const std::vector<OptionSpec>& commonOptions() {
    static const std::vector<OptionSpec> options = {
        {0, "plain", nullptr, "read ARCHIVE as a plain ZIP archive (no detection)"},
        {0, "scrambled", nullptr, "read ARCHIVE as a scrambled ZIP archive (no detection)"},
        {'v', "verbose", nullptr, "log the library's DEBUG messages on standard error"},
        {0, "trace", nullptr, "log the library's TRACE messages (every call) on standard error"},
        {'h', "help", nullptr, "show this help"},
    };
    return options;
}

namespace {

const std::size_t kAny = static_cast<std::size_t>(-1);

const char kLsDetails[] =
    "Lists the entries of DIR (the top level when omitted), in stored order, as the file system's directory\n"
    "walk gives them, followed by the directories that only member names imply. Names are shown as stored\n"
    "(full paths), directories with a trailing '/'. With -R, each directory's entries follow it.\n"
    "With -l: size, compressed size, method, modification time and name ('-' for implied directories).";
const char kTreeDetails[] = "Shows the whole archive as a tree, directories implied by member names included.";
const char kStatDetails[] =
    "Shows what the archive says about PATH: kind (file, directory or implied directory), size, compressed\n"
    "size, method, CRC-32 and modification time.";
const char kCatDetails[] =
    "Writes the bytes of each member PATH to standard output, read in 64 KiB pieces, and checks each one's\n"
    "CRC-32 once it has been written. A mismatch is reported on standard error (exit status 5).";
const char kTestDetails[] =
    "Reads every file member and checks its length and CRC-32; prints 'OK name' or 'FAILED name (why)' for\n"
    "each, then a summary. A member that the file system cannot reach by its own name (a later duplicate of a\n"
    "name, or a name with a NUL byte) is shown as SKIPPED. Exit status 0 when nothing failed, 5 otherwise.";
const char kExtractDetails[] =
    "Writes the members (all of them, or those named; a directory brings everything under it) under DIR.\n"
    "Names that would land outside DIR (absolute names, '..' components, backslashes, NUL bytes) are refused\n"
    "with a message and the rest is extracted. An existing file is never overwritten without --force, and\n"
    "symbolic links in the way are never followed. Each file's CRC-32 is checked; a file that fails is\n"
    "removed. Later duplicates of a name are skipped. Exit status 5 when anything was refused, skipped or\n"
    "failed.";
const char kScrambleDetails[] =
    "Writes the scrambled form of IN to OUT (same length; any file can be scrambled, a plain ZIP archive is\n"
    "what makes sense). OUT is written to a temporary file beside it and renamed into place only when\n"
    "complete; an interrupted run leaves OUT as it was.";
const char kUnscrambleDetails[] = "Writes the plain form of the scrambled file IN to OUT; otherwise as 'scramble'.";
const char kMountDetails[] =
    "Mounts ARCHIVE read-only at MOUNTPOINT with FUSE and serves it until it is unmounted\n"
    "(fusermount3 -u MOUNTPOINT). Without -f the mount runs in the background. Each -o value is handed to\n"
    "FUSE as given (comma-separated options, as mount -o takes them).\n"
    "The mount runs single-threaded: the library's file systems and their entries are used from one thread\n"
    "at a time.";

}  // namespace

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        {"ls",
         "ARCHIVE [DIR]",
         "list a directory's entries",
         kLsDetails,
         {{'l', "long", nullptr, "show size, compressed size, method and time"},
          {'R', "recursive", nullptr, "list directories recursively"}},
         1,
         2,
         &lsCommand},
        {"tree", "ARCHIVE", "show the whole archive as a tree", kTreeDetails, {}, 1, 1, &treeCommand},
        {"stat", "ARCHIVE PATH", "show one member's details", kStatDetails, {}, 2, 2, &statCommand},
        {"cat", "ARCHIVE PATH...", "write members to standard output", kCatDetails, {}, 2, kAny, &catCommand},
        {"test", "ARCHIVE", "check every member's CRC-32", kTestDetails, {}, 1, 1, &testCommand},
        {"extract",
         "ARCHIVE [PATH...]",
         "extract members to a directory",
         kExtractDetails,
         {{'C', "directory", "DIR", "extract under DIR (default: the current directory)"},
          {0, "force", nullptr, "overwrite existing files"}},
         1,
         kAny,
         &extractCommand},
        {"scramble", "IN OUT", "write the scrambled form of an archive", kScrambleDetails, {}, 2, 2, &scrambleCommand},
        {"unscramble",
         "IN OUT",
         "write the plain form of a scrambled archive",
         kUnscrambleDetails,
         {},
         2,
         2,
         &unscrambleCommand},
        {"mount",
         "ARCHIVE MOUNTPOINT",
         "mount an archive read-only (FUSE)",
         kMountDetails,
         {{'f', "foreground", nullptr, "stay in the foreground"},
          {'o', "options", "OPTIONS", "FUSE mount options (may be repeated)"}},
         2,
         2,
         &mountCommand},
    };
    return table;
}

}  // namespace Tool
}  // namespace Tamsor
