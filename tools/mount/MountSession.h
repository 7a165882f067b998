#ifndef TAMSOR_TOOLS_MOUNTSESSION_H
#define TAMSOR_TOOLS_MOUNTSESSION_H

// What the FUSE operations of one mount share (the session's user data): the archive, the streams its reads
// go on with, and the read-ahead across a directory's files, which hands what it reads to the kernel's cache
// through the session.
//
// Owner: runMount, for as long as the FUSE session; setSession() before the session loop starts, stop()
// before the session is destroyed. Threads: the operations use it from any thread at once.

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "MemberStreams.h"
#include "MountedArchive.h"
#include "SiblingReadAhead.h"

namespace Tamsor {
namespace Tool {

class MountSession {
  public:
    explicit MountSession(MountedArchive& rArchive);

    MountedArchive& archive() { return m_rArchive; }
    MemberStreams& streams() { return m_streams; }
    SiblingReadAhead& readAhead() { return m_readAhead; }

    // Whether the kernel may open files by itself: set when the session starts (FUSE's init).
    bool isOpenless() const { return m_bOpenless.load(std::memory_order_relaxed); }
    void setOpenless(bool bOpenless) { m_bOpenless.store(bOpenless, std::memory_order_relaxed); }

    void setSession(struct fuse_session* pSession) { m_pSession = pSession; }
    // Ends the read-ahead: nothing is handed to the session after it.
    void stop() { m_readAhead.stop(); }

    MountSession(const MountSession&) = delete;
    MountSession& operator=(const MountSession&) = delete;

  private:
    void storeInKernel(std::uint32_t node, const char* pData, std::size_t size);

    MountedArchive& m_rArchive;
    MemberStreams m_streams;
    std::atomic<bool> m_bOpenless{false};
    struct fuse_session* m_pSession = nullptr;
    SiblingReadAhead m_readAhead;  // last: its thread stores through the fields above
};

}  // namespace Tool
}  // namespace Tamsor

#endif
