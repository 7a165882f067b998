#ifndef TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H
#define TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H

// The FUSE operations of a mounted archive, on libfuse's low-level interface: inode numbers are the tree's
// node numbers plus one (the top level is 1), fixed for the mount's life, so that no path is ever built or
// looked up twice and the kernel may keep every name, attribute and page for as long as it likes (the
// archive is a snapshot taken at mount time). They expect a MountSession as the session's user data.
//
// Files are opened by the kernel itself where it can: the first open that passes the member's check is
// answered ENOSYS, which tells the kernel that opens need no request and no release from then on (FUSE's
// "no open" support). That saves two of a small file's three round trips; what an open would refuse is
// refused by the member's reads instead, with the same errno. Reads name only their node: MemberStreams.
//
// Threads: any number at once (the multi-threaded session loop); the operations hold no lock of their own.

#define FUSE_USE_VERSION 312  // 3.12: the loop configuration made by fuse_loop_cfg_create
#include <fuse_lowlevel.h>

#include "MountSession.h"

namespace Tamsor {
namespace Tool {

const struct fuse_lowlevel_ops& mountOperations();

}  // namespace Tool
}  // namespace Tamsor

#endif
