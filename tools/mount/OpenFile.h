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
// Threads: any; the reads of one open file and its read-ahead take turns under its lock. Memory: the member's
// copy (its record and name), and one piece (the size of the last read) while the file is read in sequence.

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

class OpenFile {
  public:
    // `member` is the node's, as MountedArchive::open() gave it: kept for every read of this file.
    OpenFile(MountedArchive& rArchive, std::uint32_t node, ArchiveMember member);

    std::uint32_t node() const { return m_uiNode; }

    // Reads like MountedArchive::read, from what was read ahead where it can, hands the result to `reply`,
    // then reads ahead when the file is being read in sequence. `reply` gets the count or a negative errno.
    void read(char* pBuffer, std::size_t size, std::uint64_t offset,
              const std::function<void(const char* pData, std::int64_t result)>& reply);

    // Waits for a read ahead in progress; after it, no read may come.
    void close() { std::lock_guard<std::mutex> lock(m_mutex); }

    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

  private:
    std::int64_t readThrough(char* pBuffer, std::size_t size, std::uint64_t offset);
    void readAhead();

    MountedArchive& m_rArchive;
    const std::uint32_t m_uiNode;
    const ArchiveMember m_member;
    const bool m_bDeflated;
    std::mutex m_mutex;         // held through each read, its reply and its read-ahead
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
