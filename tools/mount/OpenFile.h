#ifndef TAMSOR_TOOLS_OPENFILE_H
#define TAMSOR_TOOLS_OPENFILE_H

// One open file of a mount, and the reads on it in progress.
//
// The kernel reads ahead asynchronously: for a file read in sequence it sends the requests for X and X + 128
// KiB at once, and two threads take them. Served first, the later one would find no decoder standing at its
// offset (the one that will stand there is still busy with X) and inflate again from the restart point before
// it, up to 1 MiB. So a read waits while another read on the same open file, in progress or itself waiting,
// ends where it starts; it then goes on with that read's decoder. Reads at other offsets run at once.
//
// Threads: any. Costs: a lock and a look through the few reads in progress, twice a read.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Tamsor {
namespace Tool {

class OpenFile {
  public:
    explicit OpenFile(std::uint32_t node) : m_uiNode(node) {}

    std::uint32_t node() const { return m_uiNode; }

    // A read of [offset, end) for as long as it lives: made once no other read on this file ends at `offset`.
    class Turn {
      public:
        Turn(OpenFile& rFile, std::uint64_t offset, std::uint64_t end);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

      private:
        OpenFile& m_rFile;
        const std::uint64_t m_uiEnd;
    };

  private:
    bool endsAt(std::uint64_t offset) const;  // m_mutex held

    const std::uint32_t m_uiNode;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::vector<std::uint64_t> m_ends;  // where the reads in progress or waiting end; guarded by m_mutex
};

}  // namespace Tool
}  // namespace Tamsor

#endif
