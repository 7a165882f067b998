#ifndef TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H
#define TAMSOR_TOOLS_FUSEMOUNTOPERATIONS_H

// The FUSE operations of a mounted archive. They expect the MountedArchive as the private data given to
// fuse_new, and answer every operation that would change something with EROFS.

#define FUSE_USE_VERSION 31
#include <fuse.h>

namespace Tamsor {
namespace Tool {

const struct fuse_operations& mountOperations();

}  // namespace Tool
}  // namespace Tamsor

#endif
