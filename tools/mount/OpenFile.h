#ifndef TAMSOR_TOOLS_OPENFILE_H
#define TAMSOR_TOOLS_OPENFILE_H

// One open file of a mount, and what is read ahead for it.
//
// The kernel asks for one read at a time on an open file, and waits for each before it asks for the next;
// meanwhile it copies the last piece into its cache and the reading program takes it. So when a deflated
// member is read in sequence, the thread that answered a read goes on, once it has replied, to inflate the
// piece that will be asked for next: inflating and copying then overlap on two cores. Reads ahead come from
// the member's own decoder, so nothing is inflated twice; a read that does not go on from the last one
// starts none, and what was read ahead and not asked for is dropped.
//
// One thread at a time works for a file (its runner). A read that comes while the runner is busy, most often
// the one the runner is inflating for, is handed to it and its own thread goes back to FUSE at once: the
// runner replies as soon as the piece is whole, from the piece itself, and goes on to the next. Waiting on a
// lock instead would cost a sleep and a wake-up for every piece, and a copy of it.
//
// Threads: any. Memory: the member's copy (its record and name), and one piece (the size of the last read)
// while the file is read in sequence; the runner replies from it before it reads the next one into it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

class OpenFile {
  public:
    // Gets the bytes of a read (`pData`, valid only during the call) and their count, or a negative errno value
    // with `pData` null. Called once for each read, on any thread.
    using Reply = std::function<void(const char* pData, std::int64_t result)>;

    // `member` is the node's, as MountedArchive::open() gave it: kept for every read of this file.
    OpenFile(MountedArchive& rArchive, std::uint32_t node, ArchiveMember member);

    std::uint32_t node() const { return m_uiNode; }

    // Reads like MountedArchive::read, from what was read ahead where it can, and hands the result to `reply`,
    // now or later on the runner's thread; then reads ahead while the file is being read in sequence.
    void read(std::size_t size, std::uint64_t offset, Reply reply);

    // Waits for the runner to finish (a read ahead may still run after the last reply); after it, no read may
    // come.
    void close();

    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

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

    std::mutex m_mutex;              // guards the next three fields
    bool m_bRunning = false;         // a thread is the runner
    std::deque<Request> m_waiting;   // reads handed to the runner, in the order they came
    std::condition_variable m_idle;  // the runner has stopped

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
