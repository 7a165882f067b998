#ifndef TAMSOR_TOOLS_MOUNTOPTIONS_H
#define TAMSOR_TOOLS_MOUNTOPTIONS_H

// The -o options of `zipfs mount`: ours are taken out here, the rest go to FUSE as they came. Pure functions.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

struct MountSettings {
    std::uint64_t uiRestartBudget = std::uint64_t(32) << 20;  // -o restart_budget=SIZE
    bool bNonEmpty = false;                                   // -o nonempty: mount over a non-empty directory
    std::string strLogFile;                                   // -o logfile=FILE
    bool bHideSymlinks = false;                               // -o nosymlinks
    bool bSeparateHardLinks = false;       // -o nohardlinks: each hard link a file of its own, with its own inode
    bool bHideSpecials = false;            // -o nospecials: no FIFOs, sockets or devices
    bool bStoredOwners = false;            // -o owners: the archive's user and group ids, not the mounting user's
    bool bSubdirs = false;                 // -o subdirs: each archive in a directory named after it, not merged
    mode_t fileMask = 0;                   // -o fmask=OCTAL: permission bits cleared from everything but directories
    mode_t directoryMask = 0;              // -o dmask=OCTAL: from directories
    std::vector<std::string> fuseOptions;  // the others, one option each
};

// Splits each -o value at its commas (not at "\,") and sorts the options into `rSettings`. False, with the
// reason in `rError`, when a value of ours is not understood.
bool parseMountOptions(const std::vector<std::string>& values, MountSettings& rSettings, std::string& rError);

// "4096", "64K", "32M", "1G" (binary multiples) in bytes; false when `text` is no such size.
bool parseSize(const std::string& text, std::uint64_t& rBytes);

}  // namespace Tool
}  // namespace Tamsor

#endif
