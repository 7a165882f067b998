#ifndef TAMSOR_TOOLS_FUSEMOUNTARCHIVE_H
#define TAMSOR_TOOLS_FUSEMOUNTARCHIVE_H

// What a mount serves: one archive's file system, its member index, and the files the kernel holds open on
// it, answered in the terms a FUSE file system uses (struct stat, names, negative errno values).
//
// Threads: one thread at a time, like the library objects it holds; the mount runs a single-threaded loop.

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tamsor/ArchiveIndex.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {
namespace Tool {

class MountedArchive {
  public:
    typedef std::vector<std::pair<std::string, struct stat>> Listing;

    MountedArchive();
    ~MountedArchive();

    // Binds a (scrambled, when bScrambled) file system to the archive and reads its index. False, with the
    // reason in `error`, when the archive cannot be read. The archive is bound by its absolute path, so a
    // later change of working directory does not matter.
    bool open(const std::string& archivePath, bool bScrambled, std::string& error);

    // 0, or -ENOENT when nothing is at `path`.
    int getAttributes(const char* path, struct stat& attributes) const;
    // The entries directly inside directory `path` with their attributes; 0, -ENOENT or -ENOTDIR.
    int listDirectory(const char* path, Listing& entries) const;
    void getFileSystemStatistics(struct statvfs& statistics) const;

    // Opens the file at `path` for reading and gives a handle for readFile; 0 or a negative errno value
    // (-EROFS for any write access).
    int openFile(const char* path, int flags, std::uint64_t& handle);
    // Bytes read into `buffer` (fewer than `size` only at the end of the file), or a negative errno value.
    int readFile(std::uint64_t handle, char* buffer, std::size_t size, off_t offset);
    void releaseFile(std::uint64_t handle);

  private:
    struct OpenFile;

    MountedArchive(const MountedArchive&) = delete;
    MountedArchive& operator=(const MountedArchive&) = delete;

    void fillAttributes(const ArchiveMember& member, struct stat& attributes) const;
    nlink_t countLinks(const ArchiveMember& directory) const;
    // The entries of the directory at `directoryPath` that a lookup reaches: last component and member.
    std::vector<std::pair<std::string, const ArchiveMember*>> reachableChildren(const std::string& directoryPath) const;

    // Declared in this order so that open files go first, then the index, and the file system last.
    std::unique_ptr<ZIPFileSystem> m_pFileSystem;
    std::unique_ptr<ArchiveIndex> m_pIndex;
    std::unordered_map<std::uint64_t, std::unique_ptr<OpenFile>> m_openFiles;
    mutable std::unordered_map<const ArchiveMember*, nlink_t> m_linkCounts;  // filled on demand
    std::uint64_t m_uiNextHandle;
    std::time_t m_archiveTime;  // for the top level and the implied directories, which have no time of their own
    uid_t m_uiOwner;
    gid_t m_uiGroup;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
