#ifndef TAMSOR_TOOLS_MEMBERSTREAMS_H
#define TAMSOR_TOOLS_MEMBERSTREAMS_H

// The reads of a mount's files, by node, with no state of an open file: the kernel opens files by itself
// when the file system lets it (no request, no release), so a read names only its node. A small member
// read whole by the read that starts it is read straight through; any other read goes to the
// member's MemberStream, made at its first such read and kept among the most recent few, so that a member
// read in pieces goes on with the decoder and the read ahead of the piece before.
//
// Each member is checked (MountedArchive::open) before the first byte of it is served, and again whenever
// its stream has to be made anew: a member the mount refuses fails every read with the refusal's errno.
//
// Threads: any number at once; a lock is held only to find or keep a stream, never while reading. Memory:
// at most kKeptStreams streams besides the ones whose reads are running, each one piece.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "MemberStream.h"
#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

class MemberStreams {
  public:
    static constexpr std::size_t kKeptStreams = 16;
    // The largest member read straight through, into a buffer each thread keeps.
    static constexpr std::uint64_t kWholeReadLimit = 1 << 20;

    // `rArchive` must outlive this.
    explicit MemberStreams(MountedArchive& rArchive);

    // Like MountedArchive::read of the node's member, after its check; the result goes to `reply`, now or
    // later on another thread.
    void read(std::uint32_t node, std::size_t size, std::uint64_t offset, MemberStream::Reply reply);

    MemberStreams(const MemberStreams&) = delete;
    MemberStreams& operator=(const MemberStreams&) = delete;

  private:
    std::shared_ptr<MemberStream> find(std::uint32_t node);
    std::shared_ptr<MemberStream> keep(std::uint32_t node, ArchiveMember member);
    void readWhole(std::uint32_t node, const ArchiveMember& member, const MemberStream::Reply& reply);

    MountedArchive& m_rArchive;
    std::mutex m_mutex;                                    // guards m_streams
    std::vector<std::shared_ptr<MemberStream>> m_streams;  // the most recently used last
};

}  // namespace Tool
}  // namespace Tamsor

#endif
