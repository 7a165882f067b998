#include "FuseMountOperations.h"

#include <cerrno>
#include <cstring>

#include "FuseMountArchive.h"

namespace Tamsor {
namespace Tool {

namespace {

// An archive does not change while it is mounted: the kernel may keep attributes, names and pages as long
// as it likes.
const double kCacheSeconds = 3600.0;

MountedArchive& mountedArchive() {
    return *static_cast<MountedArchive*>(fuse_get_context()->private_data);
}

void* initialise(struct fuse_conn_info* /*connection*/, struct fuse_config* pConfig) {
    pConfig->kernel_cache = 1;
    pConfig->entry_timeout = kCacheSeconds;
    pConfig->attr_timeout = kCacheSeconds;
    pConfig->negative_timeout = kCacheSeconds;
    // What init returns becomes the private data of every later call.
    return fuse_get_context()->private_data;
}

int getAttributes(const char* path, struct stat* pAttributes, struct fuse_file_info* /*pInfo*/) {
    return mountedArchive().getAttributes(path, *pAttributes);
}

int readDirectory(const char* path, void* pBuffer, fuse_fill_dir_t fill, off_t /*offset*/,
                  struct fuse_file_info* /*pInfo*/, enum fuse_readdir_flags /*flags*/) {
    MountedArchive::Listing entries;
    const int result = mountedArchive().listDirectory(path, entries);
    if (result < 0) return result;
    // Offset 0 throughout: the whole listing goes in one call, and FUSE keeps it for the later reads.
    const fuse_fill_dir_flags noFlags = static_cast<fuse_fill_dir_flags>(0);
    fill(pBuffer, ".", nullptr, 0, noFlags);
    fill(pBuffer, "..", nullptr, 0, noFlags);
    for (const auto& entry : entries) {
        if (fill(pBuffer, entry.first.c_str(), &entry.second, 0, noFlags) != 0) return -ENOMEM;
    }
    return 0;
}

int openFile(const char* path, struct fuse_file_info* pInfo) {
    std::uint64_t handle = 0;
    const int result = mountedArchive().openFile(path, pInfo->flags, handle);
    if (result < 0) return result;
    pInfo->fh = handle;
    pInfo->keep_cache = 1;
    return 0;
}

int readFile(const char* /*path*/, char* pBuffer, size_t size, off_t offset, struct fuse_file_info* pInfo) {
    return mountedArchive().readFile(pInfo->fh, pBuffer, size, offset);
}

int releaseFile(const char* /*path*/, struct fuse_file_info* pInfo) {
    mountedArchive().releaseFile(pInfo->fh);
    return 0;
}

int getFileSystemStatistics(const char* /*path*/, struct statvfs* pStatistics) {
    mountedArchive().getFileSystemStatistics(*pStatistics);
    return 0;
}

// The kernel already refuses changes on a read-only mount; these answer the same should a request get here.
void refuseChanges(struct fuse_operations& operations) {
    operations.mknod = [](const char*, mode_t, dev_t) { return -EROFS; };
    operations.mkdir = [](const char*, mode_t) { return -EROFS; };
    operations.unlink = [](const char*) { return -EROFS; };
    operations.rmdir = [](const char*) { return -EROFS; };
    operations.symlink = [](const char*, const char*) { return -EROFS; };
    operations.rename = [](const char*, const char*, unsigned int) { return -EROFS; };
    operations.link = [](const char*, const char*) { return -EROFS; };
    operations.chmod = [](const char*, mode_t, struct fuse_file_info*) { return -EROFS; };
    operations.chown = [](const char*, uid_t, gid_t, struct fuse_file_info*) { return -EROFS; };
    operations.truncate = [](const char*, off_t, struct fuse_file_info*) { return -EROFS; };
    operations.write = [](const char*, const char*, size_t, off_t, struct fuse_file_info*) { return -EROFS; };
    operations.setxattr = [](const char*, const char*, const char*, size_t, int) { return -EROFS; };
    operations.removexattr = [](const char*, const char*) { return -EROFS; };
    operations.create = [](const char*, mode_t, struct fuse_file_info*) { return -EROFS; };
    operations.utimens = [](const char*, const struct timespec*, struct fuse_file_info*) { return -EROFS; };
    operations.fallocate = [](const char*, int, off_t, off_t, struct fuse_file_info*) { return -EROFS; };
}

struct fuse_operations makeOperations() {
    struct fuse_operations operations;
    std::memset(&operations, 0, sizeof operations);
    operations.init = initialise;
    operations.getattr = getAttributes;
    operations.readdir = readDirectory;
    operations.open = openFile;
    operations.read = readFile;
    operations.release = releaseFile;
    operations.statfs = getFileSystemStatistics;
    refuseChanges(operations);
    return operations;
}

}  // namespace

const struct fuse_operations& mountOperations() {
    static const struct fuse_operations operations = makeOperations();
    return operations;
}

}  // namespace Tool
}  // namespace Tamsor
