#include "MountSession.h"

namespace Tamsor {
namespace Tool {

MountSession::MountSession(MountedArchive& rArchive)
    : m_rArchive(rArchive),
      m_streams(rArchive),
      m_readAhead(rArchive, [this](std::uint32_t node, const char* pData, std::size_t size) {
          storeInKernel(node, pData, size);
      }) {}

// Into the pages of the node's inode (a hard link's is its member's); the kernel refuses an inode it does not
// hold (ENOENT), and the program's read then asks as usual.
void MountSession::storeInKernel(std::uint32_t node, const char* pData, std::size_t size) {
    struct fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
    buffer.buf[0].mem = const_cast<char*>(pData);
    fuse_lowlevel_notify_store(m_pSession, m_rArchive.tree().inodeOf(node) + 1, 0, &buffer,
                               static_cast<enum fuse_buf_copy_flags>(0));
}

}  // namespace Tool
}  // namespace Tamsor
