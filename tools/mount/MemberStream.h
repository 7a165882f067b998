#ifndef TAMSOR_TOOLS_MEMBERSTREAM_H
#define TAMSOR_TOOLS_MEMBERSTREAM_H

// The reads of one member, served one at a time, and what is read ahead for it.
//
// The kernel asks for one read at a time on a file, and waits for each before it asks for the next;
// meanwhile it copies the last piece into its cache and the reading program takes it. So when a deflated
// member is read in sequence, the thread that answered a read goes on, once it has replied, to inflate the
// piece that will be asked for next: inflating and copying then overlap on two cores. Reads ahead come from
// the member's own decoder, so nothing is inflated twice; a read that does not go on from the last one
// starts none, and what was read ahead and not asked for is dropped.
//
// One thread at a time works for a member (its runner). A read that comes while the runner is busy, most
// often the one the runner is inflating for, is handed to it and its own thread goes back to FUSE at once: the
// runner replies as soon as the piece is whole, from the piece itself, and goes on to the next. Waiting on a
// lock instead would cost a sleep and a wake-up for every piece, and a copy of it.
//
// Owners: shared (MemberStreams keeps the recent ones); whoever calls read() must hold a share for the call,
// which lasts until every read handed over meanwhile has its reply, so the last share may go as soon as it
// returns. Threads: any. Memory: the member's copy (its record and name), and one piece (the size of the last
// read) while the member is read in sequence; the runner replies from it before it reads the next one into it.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

class MemberStream {
  public:
    // Gets the bytes of a read (`pData`, valid only during the call) and their count, or a negative errno value
    // with `pData` null. Called once for each read, on any thread.
    using Reply = std::function<void(const char* pData, std::int64_t result)>;

    // `member` is the node's, as MountedArchive::open() gave it (so checked): kept for every read.
    MemberStream(MountedArchive& rArchive, std::uint32_t node, ArchiveMember member);

    std::uint32_t node() const { return m_uiNode; }

    // Reads like MountedArchive::read, from what was read ahead where it can, and hands the result to `reply`,
    // now or later on the runner's thread; then reads ahead while the member is being read in sequence.
    void read(std::size_t size, std::uint64_t offset, Reply reply);

    MemberStream(const MemberStream&) = delete;
    MemberStream& operator=(const MemberStream&) = delete;

  private:
    struct Request {
        std::size_t size;
        std::uint64_t offset;
        Reply reply;
    };

    void serve(const Request& request);
    std::int64_t readThrough(char* pBuffer, std::size_t size, std::uint64_t offset);
    void readAhead();

    MountedArchive& m_rArchive;
    const std::uint32_t m_uiNode;
    const ArchiveMember m_member;
    const bool m_bDeflated;

    std::mutex m_mutex;             // guards the next two fields
    bool m_bRunning = false;        // a thread is the runner
    std::deque<Request> m_waiting;  // reads handed to the runner, in the order they came

    // The runner's alone: no lock.
    std::vector<char> m_ahead;  // bytes read ahead: [m_uiAheadOffset, + m_uiAheadLength) from m_uiAheadStart
    std::size_t m_uiAheadStart = 0;
    std::size_t m_uiAheadLength = 0;
    std::uint64_t m_uiAheadOffset = 0;
    std::uint64_t m_uiNext = 0;    // where the last read ended
    std::size_t m_uiLastSize = 0;  // how much it asked for
    bool m_bSequential = false;    // the last read went on from the one before (or started the file)
};

}  // namespace Tool
}  // namespace Tamsor

#endif
