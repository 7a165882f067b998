#include "MemberStreams.h"

#include <fcntl.h>

#include <utility>

namespace Tamsor {
namespace Tool {

MemberStreams::MemberStreams(MountedArchive& rArchive) : m_rArchive(rArchive) {}

void MemberStreams::read(std::uint32_t node, std::size_t size, std::uint64_t offset, MemberStream::Reply reply) {
    std::shared_ptr<MemberStream> pStream = find(node);
    if (!pStream) {
        ArchiveMember member;
        const int refused = m_rArchive.open(node, O_RDONLY, member);
        if (refused < 0) {
            reply(nullptr, refused);
            return;
        }
        if (offset == 0 && size >= member.uiSize && member.uiSize <= kWholeReadLimit) {
            readWhole(node, member, reply);
            return;
        }
        pStream = keep(node, std::move(member));
    }
    pStream->read(size, offset, std::move(reply));  // the share held here outlives the reads handed over
}

std::shared_ptr<MemberStream> MemberStreams::find(std::uint32_t node) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = m_streams.size(); i-- > 0;) {
        if (m_streams[i]->node() != node) continue;
        std::shared_ptr<MemberStream> pStream = m_streams[i];
        m_streams.erase(m_streams.begin() + static_cast<std::ptrdiff_t>(i));
        m_streams.push_back(pStream);
        return pStream;
    }
    return nullptr;
}

// The node's stream: a new one, unless another thread has just made one. The least recently used goes when
// too many are kept; its running reads keep it until they end.
std::shared_ptr<MemberStream> MemberStreams::keep(std::uint32_t node, ArchiveMember member) {
    std::shared_ptr<MemberStream> pMade = std::make_shared<MemberStream>(m_rArchive, node, std::move(member));
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::shared_ptr<MemberStream>& pStream : m_streams)
        if (pStream->node() == node) return pStream;
    if (m_streams.size() == kKeptStreams) m_streams.erase(m_streams.begin());
    m_streams.push_back(pMade);
    return pMade;
}

void MemberStreams::readWhole(std::uint32_t node, const ArchiveMember& member, const MemberStream::Reply& reply) {
    thread_local std::vector<char> buffer;  // kept for the thread's next read: at most kWholeReadLimit
    const std::size_t size = static_cast<std::size_t>(member.uiSize);
    if (buffer.size() < size) buffer.resize(size);
    const std::int64_t result = m_rArchive.read(node, member, buffer.data(), size, 0);
    reply(result < 0 ? nullptr : buffer.data(), result);
}

}  // namespace Tool
}  // namespace Tamsor
