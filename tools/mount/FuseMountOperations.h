#ifndef TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H
#define TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H

// The FUSE operations of a mounted archive, on libfuse's low-level interface: inode numbers are the tree's
// node numbers plus one (the top level is 1), fixed for the mount's life, so that no path is ever built or
// looked up twice and the kernel may keep every name, attribute and page for as long as it likes (the
// archive is a snapshot taken at mount time). They expect the MountedArchive as the session's user data.
//
// Threads: any number at once (the multi-threaded session loop); the operations hold no lock of their own.
// Each read goes into a buffer of the calling thread's, kept for its next read. An open file's handle is its
// OpenFile, which reads ahead while the file is read in sequence.

#define FUSE_USE_VERSION 312  // 3.12: the loop configuration made by fuse_loop_cfg_create
#include <fuse_lowlevel.h>

namespace Tamsor {
namespace Tool {

const struct fuse_lowlevel_ops& mountOperations();

}  // namespace Tool
}  // namespace Tamsor

#endif
