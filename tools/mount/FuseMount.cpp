// Mounting an archive with libfuse's high-level interface.
//
// The archive is opened and indexed before FUSE is set up and before the process goes to the background, so
// that a bad archive is reported on the terminal with its own exit status.
//
// Going to the background forks, and a child has only the thread that forked. log4cplus runs a pool of worker
// threads from the moment the library is loaded, and waits for them when the process exits: a background
// mount that kept the pool would hang on its way out after the unmount. So logging is shut down (pool and
// appenders: a daemon has no terminal to write to anyway) just before the fork.

#include "FuseMount.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <log4cplus/config.hxx>

#include "FuseMountArchive.h"
#include "FuseMountOperations.h"

namespace Tamsor {
namespace Tool {

namespace {

const int kCleanExit = 0;
const int kBadOptions = 2;
const int kArchiveUnreadable = 3;
const int kFuseFailure = 5;

// The argument list handed to fuse_new: the caller's options first, then the ones a mount of ours always
// has, so that no option can make it writable. The naming options come before the caller's, who may rename.
class FuseArguments {
  public:
    explicit FuseArguments(const std::vector<std::string>& options) {
        add("zipfs");
        addOption("fsname=zipfs,subtype=zipfs");
        for (const std::string& option : options) addOption(option);
        addOption("ro,default_permissions");
    }
    ~FuseArguments() { fuse_opt_free_args(&m_arguments); }

    struct fuse_args* get() {
        return &m_arguments;
    }

    FuseArguments(const FuseArguments&) = delete;
    FuseArguments& operator=(const FuseArguments&) = delete;

  private:
    void add(const std::string& argument) { fuse_opt_add_arg(&m_arguments, argument.c_str()); }
    void addOption(const std::string& option) {
        add("-o");
        add(option);
    }

    struct fuse_args m_arguments = FUSE_ARGS_INIT(0, nullptr);
};

// The mount point as the mount table should keep it: absolute, so that `fusermount3 -u` finds it from
// anywhere. It must be a directory: FUSE would mount over a file too, and the archive's top level, a
// directory, would then be unusable there. Empty, with the reason on standard error, when it is not.
std::string resolveMountPoint(const std::string& mountPoint) {
    char resolved[PATH_MAX];
    struct stat attributes;
    if (!realpath(mountPoint.c_str(), resolved) || stat(resolved, &attributes) != 0) {
        std::cerr << "zipfs: cannot mount at " << mountPoint << ": " << std::strerror(errno) << std::endl;
        return std::string();
    }
    if (!S_ISDIR(attributes.st_mode)) {
        std::cerr << "zipfs: cannot mount at " << mountPoint << ": " << std::strerror(ENOTDIR) << std::endl;
        return std::string();
    }
    return resolved;
}

// Mounts, goes to the background unless told not to, and serves until unmounted or signalled.
int serve(struct fuse* pFuse, const std::string& mountPoint, bool bForeground) {
    if (fuse_mount(pFuse, mountPoint.c_str()) != 0) return kFuseFailure;  // fuse_mount said why
    int status = kFuseFailure;
    struct fuse_session* pSession = fuse_get_session(pFuse);
    if (!bForeground) log4cplus::deinitialize();  // before the fork: see the top of this file
    if (fuse_daemonize(bForeground ? 1 : 0) == 0 && fuse_set_signal_handlers(pSession) == 0) {
        // The single-threaded loop (what -s gives fuse_main): the library's file system and its files may be
        // used from one thread at a time only, and the multithreaded loop would call them from several.
        const int result = fuse_loop(pFuse);
        fuse_remove_signal_handlers(pSession);
        // Negative: the loop failed. Positive: the number of the signal that stopped it, a clean end.
        status = result < 0 ? kFuseFailure : kCleanExit;
    }
    fuse_unmount(pFuse);
    return status;
}

}  // namespace

int runMount(const std::string& archivePath, bool bScrambled, const std::string& mountPoint, bool bForeground,
             const std::vector<std::string>& fuseOptions) {
    MountedArchive archive;
    std::string error;
    if (!archive.open(archivePath, bScrambled, error)) {
        std::cerr << "zipfs: " << error << std::endl;
        return kArchiveUnreadable;
    }
    FuseArguments arguments(fuseOptions);
    struct fuse* pFuse = fuse_new(arguments.get(), &mountOperations(), sizeof(struct fuse_operations), &archive);
    if (!pFuse) return kBadOptions;  // fuse_new has named the option it refused
    const std::string resolvedMountPoint = resolveMountPoint(mountPoint);
    const int status = resolvedMountPoint.empty() ? kFuseFailure : serve(pFuse, resolvedMountPoint, bForeground);
    fuse_destroy(pFuse);
    return status;
}

}  // namespace Tool
}  // namespace Tamsor
