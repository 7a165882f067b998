// The commands' names, help texts and options.

#include "Commands.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "MemberSource.h"
#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {

void Invocation::fail(const std::string& message) const {
    reportError(std::string(commandName) + ": " + message);
}

int Invocation::openArchive(MemberSource& rSource, NameDecoder& rDecoder, const ArchiveScope& scope,
                            std::size_t uiOperand) const {
    const std::string encoding = args.value("encoding", "");
    if (!encoding.empty() && uiOperand == 0 && !rDecoder.open(encoding)) {
        fail("unknown encoding '" + encoding + "' (iconv -l lists them)");
        return kExitUsage;
    }
    std::string error;
    if (!rSource.passwords().open(args.value("password-file", ""), error)) {
        fail(error);
        return kExitUsage;
    }
    return rSource.open(args.operands()[uiOperand], kind, commandName, encoding.empty() ? nullptr : &rDecoder, scope);
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
const OptionSpec kEncodingOption = {
    0, "encoding", "NAME", "decode names without a UTF-8 mark from code set NAME (iconv -l), not a guessed one"};
const OptionSpec kPasswordOption = {0, "password-file", "FILE",
                                    "the password of encrypted members: FILE's first line ('-': standard input)"};
// unzip's -q: what goes well is not reported; what fails still is.
const OptionSpec kQuietOption = {'q', "quiet", nullptr, "report failures only: no OK lines, summary or progress"};

#define ZIPFS_METADATA_RULES                                                                                     \
    "Names: UTF-8 when the member says so (flag bit 11); else the Unicode Path field when it matches the\n"      \
    "stored name; else, with --encoding, the stored bytes decoded from that code set; else the stored bytes\n"   \
    "when they are valid UTF-8; else, without --encoding, the code page guessed from all such names of the\n"    \
    "archive together (Japanese, Chinese, Korean or Cyrillic, when they hold enough to go on); else code page\n" \
    "437. Control bytes are shown as \\xNN.\n"                                                                   \
    "Modes: members made on Unix keep their stored mode (links, FIFOs, sockets and devices included); others\n"  \
    "are 0644 (files) and 0755 (directories).\n"                                                                 \
    "Times: the extended timestamp or NTFS field (the latter to 100 ns), else a Unix field, when present\n"      \
    "(UTC); else the DOS fields, which hold the local time of the machine that made the archive and are\n"       \
    "read as this machine's local time."

#define ZIPFS_PROGRESS_RULE                                                                                  \
    "Progress: a bar on standard error while more than 64 MiB are read, when standard error is a terminal\n" \
    "(never with -q).\n"

#define ZIPFS_PASSWORD_RULES                                                                                    \
    "Passwords: encrypted members (ZipCrypto, WinZip AES-128/192/256) are read with the password given by\n"    \
    "--password-file (its first line; '-' for standard input), else asked for on the terminal, without echo,\n" \
    "when the first one is met. A wrong password gives no bytes and exit status 5."

const char kLsDetails[] =
    "Lists every member below DIR (the top level when omitted) from the archive's central directory, in\n"
    "stored order, each directory that member names only imply just before the first member it holds; without\n"
    "-R only what is directly inside DIR. Names are full paths, directories end in '/'. A member zipfs will\n"
    "not hand out (or not by its name) is marked '[refused: WHY]': a compression method or encryption no\n"
    "decoder here reads (ppmd, deflate64, ...), data that readers of the format would read differently\n"
    "(ambiguous: overlapping members, a local header that tells another story), a later duplicate of a name,\n"
    "a NUL byte in its name.\n"
    "With -l: mode, size, compressed size, method and encryption ('deflated+aes256'), modification time\n"
    "(local) and name; the first letter gives the kind as ls shows it (- file or hard link, d, l, p FIFO,\n"
    "s socket, b and c devices, whose numbers stand in the size column as 'major, minor'); symbolic links\n"
    "show their targets ('name -> target'), hard links the member they are another name of ('name link to\n"
    "target', as tar shows them).\n"
    "With --walk: the library's own directory walk instead, as a host of the library sees it: names as\n"
    "stored, refused members missing, and an archive it will not bind reported with the "
    "reason.\n\n" ZIPFS_METADATA_RULES;
const char kTreeDetails[] =
    "Shows the whole archive as a tree: every member, directories that member names only imply included,\n"
    "links with their targets as 'ls -l' shows them, FIFOs, sockets and devices marked with their kind\n"
    "('pipe [fifo]'), refused members marked as 'ls' marks them.\n\n" ZIPFS_METADATA_RULES;
const char kStatDetails[] =
    "Shows what the archive says about PATH: name (and the stored bytes when they differ), kind (file,\n"
    "symlink, hard link, fifo, socket, block device, character device, directory or implied directory), mode,\n"
    "a link's target, a device's numbers, the owner's user and group ids when the Unix fields give them,\n"
    "size, compressed size, method, encryption, CRC-32, modification time with its zone (and its nanoseconds\n"
    "when the NTFS field gives them) and where it came from, and why the library refuses the member, if it\n"
    "does.\n\n" ZIPFS_METADATA_RULES;
const char kCatDetails[] =
    "Writes the bytes of each member PATH to standard output, streamed in 1 MiB pieces; their length and\n"
    "CRC-32 are checked as the end is reached, and on a mismatch the piece that reaches the end is not\n"
    "written and the error is reported (exit status 5). Members refused as 'ls' marks them, and encrypted\n"
    "members without their password (or with a wrong one), are refused before any byte is written (exit\n"
    "status 5); a directory, FIFO, socket or device is refused (exit status 4). A hard link gives the bytes\n"
    "of the earlier member it names, and is refused when there is none (exit status 5). PATH is a stored or\n"
    "a decoded name: a name stored with a leading '/' is found by that very name, as unzip -p finds it;\n"
    "otherwise one leading '/' or './' is ignored.\n" ZIPFS_PASSWORD_RULES;
const char kTestDetails[] =
    "Reads every file member by its place in the archive (later duplicates of a name and names the library\n"
    "cannot take included) and checks its length and CRC-32; prints 'OK name' or 'FAILED name (why)' for\n"
    "each, then a summary (with -q, failures and the summary only). Refused members, and encrypted members\n"
    "without their password, fail without being read. Exit status 0 when nothing failed, 5 "
    "otherwise.\n" ZIPFS_PROGRESS_RULE ZIPFS_PASSWORD_RULES;
const char kExtractDetails[] =
    "Writes the members (all of them, or those named; a directory brings everything under it) under DIR by\n"
    "the paths the mount shows them under: a leading '/' and '..' components dropped, a name cut at a NUL\n"
    "byte, a component past 255 bytes shortened, a name an earlier member holds numbered ('report (1).txt'),\n"
    "each such member named on standard error. Members made on Unix get their permission bits\n"
    "(never setuid, setgid or sticky), others the mode new files get; files, links and directories get their\n"
    "modification times. Symbolic links are made, except those whose target is absolute or would climb out\n"
    "of DIR (skipped with a message). Refused members, and encrypted members without their password, are\n"
    "refused before their file is created. An existing file is never overwritten without --force (-o), and\n"
    "symbolic links in the way are never followed. Each file's CRC-32 is checked; a file that fails is removed.\n"
    "A hard link is made as a hard link to the file extracted for the member it names in the same run; when\n"
    "that member was not extracted, the link becomes a file of its own with that member's bytes; when no\n"
    "earlier member of that name holds a file, it is skipped. FIFOs are made; sockets are skipped with a note\n"
    "(status unchanged); block and character devices are made only with --specials and as root, else skipped.\n"
    "--same-owner (as root) gives each member the owner and group the archive records.\n"
    "Exit status 5 when anything was refused, skipped or failed. A summary line follows, unless -q.\n"
    "-d DIR is -C DIR as unzip spells it (give one of them).\n" ZIPFS_PROGRESS_RULE ZIPFS_PASSWORD_RULES;
const char kScrambleDetails[] =
    "Writes the scrambled form of IN to OUT (same length; any file can be scrambled, a plain ZIP archive is\n"
    "what makes sense). OUT is written to a temporary file beside it and renamed into place only when\n"
    "complete; an interrupted run leaves OUT as it was. OUT may not be IN itself, under any name (exit\n"
    "status 2).";
const char kUnscrambleDetails[] =
    "Writes the plain form of the scrambled archive IN to OUT; otherwise as 'scramble'. A file that does not\n"
    "look like a scrambled archive is refused (exit status 3, nothing written) unless --force is given.";
const char kMountDetails[] =
    "Mounts ARCHIVE read-only at MOUNTPOINT with FUSE and serves it until it is unmounted\n"
    "(fusermount3 -u MOUNTPOINT). Several archives merge into one tree, in the order given: a later\n"
    "archive's member of a name an earlier one holds is numbered, directories of one path merge; with\n"
    "-o subdirs each archive goes in a directory named after its file instead.\n"
    "Without -f the mount runs in the background. MOUNTPOINT must be an empty\n"
    "directory that is not a FUSE mount point already (-o nonempty lifts both). A MOUNTPOINT that does not\n"
    "exist is made (its parent must exist) and removed again after the unmount, unless --no-mkdir.\n"
    "mount(8) and /etc/fstab: 'zipfs ARCHIVE MOUNTPOINT -o OPTIONS', the form mount.fuse3 runs, mounts too, so\n"
    "'mount -t fuse.zipfs ARCHIVE MOUNTPOINT' and an fstab line such as\n"
    "    /srv/data.zip  /mnt/data  fuse.zipfs  ro,allow_other,nofail  0  0\n"
    "work with zipfs on the PATH; mount.fuse3 takes its own options (nofail, _netdev, setuid=USER, ...) out.\n"
    "The mount shows every member, each under the path 'extract' gives it: a leading '/' and '..'\n"
    "components dropped, a name cut at a NUL byte, a component past 255 bytes shortened (with a hash of\n"
    "it), a name an earlier member holds numbered ('report (1).txt'); each such member is named in the log.\n"
    "Each kind is itself: directories, files, symbolic links, hard links (one inode), FIFOs, sockets and\n"
    "devices (never read through the mount). Owners are the mounting user's unless -o owners; times to the\n"
    "nanosecond where the archive has them. Encrypted members cannot be opened without their password\n"
    "(EACCES), nor members of a method or encryption no decoder here reads (EOPNOTSUPP), nor members that\n"
    "readers of the format would read differently (EIO); a read of damaged data fails with EIO, and so does\n"
    "the read that reaches a member's end when its CRC-32 or authentication code does not match.\n"
    "The password is asked for before the mount goes to the background, when an encrypted member needs one\n"
    "and --password-file gives none; the mount does not start when it opens none of the first encrypted\n"
    "members (exit status 5).\n"
    "Several threads serve reads at once; a compressed member is read at any offset without decoding it from\n"
    "its start again, through restart points kept within a memory budget (deflate: every 1 MiB; bzip2, xz,\n"
    "zstd: at their blocks and frames; lzma: none).\n"
    "Options of zipfs's own in -o (the others go to FUSE as given; comma-separated, as mount -o takes them):\n"
    "  restart_budget=SIZE  memory for restart points, shared by all members (default 32M; K, M, G)\n"
    "  nonempty             mount over a non-empty directory or a FUSE mount point\n"
    "  logfile=FILE         append the log to FILE\n"
    "  nosymlinks           leave symbolic links out\n"
    "  nohardlinks          show each hard link as a file of its own (its own inode, the linked bytes)\n"
    "  nospecials           leave FIFOs, sockets and devices out\n"
    "  owners               the user and group ids the archive gives, not the mounting user's\n"
    "  fmask=OCTAL          permission bits cleared from everything but directories (fmask=022)\n"
    "  dmask=OCTAL          permission bits cleared from directories\n"
    "  subdirs              each archive in a directory named after its file, not merged\n"
    "Log: members renamed or not shown, refusals and read failures, each once per member; on standard error in the\n"
    "foreground, in the background to syslog (facility daemon, tag zipfs) or FILE. With -v, the reader's\n"
    "figures at the end.\n"
    "Exit status: 0 after the unmount, 2 for a bad option or mount point, 3 for an archive that cannot be\n"
    "read, 5 when FUSE cannot mount or serve or the password opens no member.";

}  // namespace

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        {"ls",
         "ARCHIVE [DIR]",
         "list the members in a directory",
         kLsDetails,
         {{'l', "long", nullptr, "show mode, sizes, method, time and link targets"},
          {'R', "recursive", nullptr, "list everything below DIR"},
          {0, "walk", nullptr, "show the library's directory walk instead"},
          kEncodingOption,
          kPasswordOption},
         1,
         2,
         &lsCommand},
        {"tree",
         "ARCHIVE",
         "show the whole archive as a tree",
         kTreeDetails,
         {kEncodingOption, kPasswordOption},
         1,
         1,
         &treeCommand},
        {"stat",
         "ARCHIVE PATH",
         "show one member's details",
         kStatDetails,
         {kEncodingOption, kPasswordOption},
         2,
         2,
         &statCommand},
        {"cat",
         "ARCHIVE PATH...",
         "write members to standard output",
         kCatDetails,
         {kEncodingOption, kPasswordOption},
         2,
         kAny,
         &catCommand},
        {"test",
         "ARCHIVE",
         "check every member's CRC-32",
         kTestDetails,
         {kQuietOption, kEncodingOption, kPasswordOption},
         1,
         1,
         &testCommand},
        {"extract",
         "ARCHIVE [PATH...]",
         "extract members to a directory",
         kExtractDetails,
         {{'C', "directory", "DIR", "extract under DIR (default: the current directory)"},
          {'d', "exdir", "DIR", "the same as -C (unzip's spelling)"},
          {'o', "force", nullptr, "overwrite existing files (-o as in unzip)"},
          {0, "specials", nullptr, "make block and character devices (as root only)"},
          {0, "same-owner", nullptr, "give members the owner and group the archive records (as root only)"},
          kQuietOption,
          kEncodingOption,
          kPasswordOption},
         1,
         kAny,
         &extractCommand},
        {"scramble", "IN OUT", "write the scrambled form of an archive", kScrambleDetails, {}, 2, 2, &scrambleCommand},
        {"unscramble",
         "IN OUT",
         "write the plain form of a scrambled archive",
         kUnscrambleDetails,
         {{0, "force", nullptr, "unscramble IN even when it does not look scrambled"}},
         2,
         2,
         &unscrambleCommand},
        {"mount",
         "ARCHIVE... MOUNTPOINT",
         "mount archives read-only (FUSE)",
         kMountDetails,
         {{'f', "foreground", nullptr, "stay in the foreground"},
          {'o', "options", "OPTIONS", "mount options, ours and FUSE's (may be repeated)"},
          {0, "no-mkdir", nullptr, "do not create a missing MOUNTPOINT (by default made, and removed after)"},
          kEncodingOption,
          kPasswordOption},
         2,
         SIZE_MAX,
         &mountCommand},
    };
    return table;
}

}  // namespace Tool
}  // namespace Tamsor
