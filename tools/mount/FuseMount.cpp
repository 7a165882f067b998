// Mounting an archive with libfuse's low-level interface and its multi-threaded loop.
//
// The archive is opened and indexed, and the file system mounted, before the process goes to the background,
// so that a bad archive or a refused mount is reported on the terminal with its own exit status.
//
// Going to the background forks, and a child has only the thread that forked. log4cplus runs a pool of worker
// threads from the moment the library is loaded, and waits for them when the process exits: a background
// mount that kept the pool would hang on its way out after the unmount. So the library's logging is shut down
// (pool and appenders) just before the fork; the mount's own lines go through MountLog.

#include "FuseMount.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include <log4cplus/config.hxx>

#include "ExitStatus.h"
#include "FuseMountOperations.h"
#include "MountLog.h"
#include "MountTree.h"
#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

namespace {

// Worker threads at most: enough for the reads of a few processes at once. They are made as requests
// arrive and then kept: a limit on idle ones would end and make a thread for nearly every request.
const unsigned int kMaxThreads = 8;

// The argument list handed to FUSE: the naming options first, so that the caller may rename, then the
// caller's, then the ones a mount of ours always has, so that no option can make it writable.
class FuseArguments {
  public:
    FuseArguments(const std::string& archivePath, const std::vector<std::string>& options) {
        fuse_opt_add_arg(&m_arguments, "zipfs");
        addOption("fsname=" + escaped(archivePath) + ",subtype=zipfs");
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
    // FUSE splits option lists at commas not escaped with a backslash.
    static std::string escaped(const std::string& text) {
        std::string result;
        for (char c : text) {
            if (c == ',' || c == '\\') result += '\\';
            result += c;
        }
        return result;
    }
    void addOption(const std::string& option) {
        fuse_opt_add_arg(&m_arguments, "-o");
        fuse_opt_add_arg(&m_arguments, option.c_str());
    }

    struct fuse_args m_arguments = FUSE_ARGS_INIT(0, nullptr);
};

std::string absolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// Goes to the background unless told not to, and serves until unmounted or signalled.
int serve(struct fuse_session* pSession, bool bForeground, MountLog& rLog) {
    if (!bForeground) log4cplus::deinitialize();  // before the fork: see the top of this file
    if (fuse_daemonize(bForeground ? 1 : 0) != 0) return kExitDataError;
    if (!bForeground) rLog.toBackground();
    struct fuse_loop_config* pConfig = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(pConfig, kMaxThreads);
    const int result = fuse_session_loop_mt(pSession, pConfig);
    fuse_loop_cfg_destroy(pConfig);
    return result < 0 ? kExitDataError : kExitOk;
}

// An archive's folder under -o subdirs: its file name.
std::string folderOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int runMount(const std::vector<const MemberSource*>& sources, const std::string& mountPoint,
             const MountSettings& settings, bool bForeground, bool bVerbose) {
    std::string names;
    std::vector<ShownArchive> archives;
    std::vector<std::string> archivePaths;
    for (const MemberSource* pSource : sources) {
        names += (names.empty() ? "" : ", ") + pSource->path();
        archives.push_back({&pSource->facts(), pSource->path(), settings.bSubdirs ? folderOf(pSource->path()) : ""});
        archivePaths.push_back(absolutePath(pSource->path()));
    }
    MountLog log("mount: " + names + ": ");
    std::string error;
    if (!settings.strLogFile.empty() && !log.useFile(settings.strLogFile, error)) {
        log.write(error);
        return kExitUsage;
    }
    std::vector<std::string> notes;
    const MountTree tree(archives, settings, notes);
    for (const std::string& note : notes) log.write(note);
    MountedArchive archive(sources, tree, archivePaths, settings.uiRestartBudget, log);
    const std::string& archivePath = archivePaths.front();

    FuseArguments arguments(archivePath, settings.fuseOptions);
    MountSession session(archive);
    struct fuse_session* pSession =
        fuse_session_new(arguments.get(), &mountOperations(), sizeof(struct fuse_lowlevel_ops), &session);
    if (!pSession) return kExitUsage;  // FUSE has named the option it refused
    session.setSession(pSession);
    int status = kExitDataError;
    if (fuse_set_signal_handlers(pSession) == 0) {
        if (fuse_session_mount(pSession, mountPoint.c_str()) == 0) {  // else FUSE has said why
            status = serve(pSession, bForeground, log);
            fuse_session_unmount(pSession);
        }
        fuse_remove_signal_handlers(pSession);
    }
    session.stop();
    fuse_session_destroy(pSession);
    if (bVerbose) log.write("unmounted: " + archive.summary());
    return status;
}

}  // namespace Tool
}  // namespace Tamsor
