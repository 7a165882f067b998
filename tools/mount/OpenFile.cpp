#include "OpenFile.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <utility>

namespace Tamsor {
namespace Tool {

OpenFile::OpenFile(MountedArchive& rArchive, std::uint32_t node, ArchiveMember member)
    : m_rArchive(rArchive), m_uiNode(node), m_member(std::move(member)), m_bDeflated(m_member.uiMethod == 8) {}

void OpenFile::read(char* pBuffer, std::size_t size, std::uint64_t offset,
                    const std::function<void(const char*, std::int64_t)>& reply) {
    static const bool bAhead = !getenv("ZX_NOAHEAD");
    static const bool bNoCopy = getenv("ZX_NOCOPY") != nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bNoCopy && m_uiAheadLength > 0 && offset == m_uiAheadOffset &&
        (m_uiAheadLength >= size || offset + m_uiAheadLength >= m_member.uiSize)) {
        const std::size_t n = std::min(size, m_uiAheadLength);
        const char* p = &m_ahead[m_uiAheadStart];
        m_uiAheadStart += n; m_uiAheadOffset += n; m_uiAheadLength -= n;
        m_bSequential = true; m_uiNext = offset + n; m_uiLastSize = size;
        reply(p, static_cast<std::int64_t>(n));
        if (m_bDeflated && bAhead) readAhead();
        return;
    }
    const std::int64_t result = readThrough(pBuffer, size, offset);
    m_bSequential = offset == m_uiNext && result > 0;
    m_uiNext = offset + static_cast<std::uint64_t>(std::max<std::int64_t>(result, 0));
    m_uiLastSize = size;
    reply(pBuffer, result);
    if (m_bSequential && m_bDeflated && bAhead) readAhead();
}

// What was read ahead first, then the member's decoder, which stands where the read ahead ended.
std::int64_t OpenFile::readThrough(char* pBuffer, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    if (m_uiAheadLength > 0 && offset == m_uiAheadOffset) {
        done = std::min(size, m_uiAheadLength);
        std::memcpy(pBuffer, &m_ahead[m_uiAheadStart], done);
        m_uiAheadStart += done;
        m_uiAheadOffset += done;
        m_uiAheadLength -= done;
    } else {
        m_uiAheadLength = 0;
    }
    if (done == size || offset + done >= m_member.uiSize) return static_cast<std::int64_t>(done);
    const std::int64_t result = m_rArchive.read(m_uiNode, m_member, pBuffer + done, size - done, offset + done);
    return result < 0 ? result : static_cast<std::int64_t>(done) + result;
}

void OpenFile::readAhead() {
    if (m_uiAheadLength > 0 || m_uiNext >= m_member.uiSize) return;
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(m_uiLastSize, m_member.uiSize - m_uiNext));
    if (m_ahead.size() < length) m_ahead.resize(length);
    const std::int64_t result = m_rArchive.read(m_uiNode, m_member, m_ahead.data(), length, m_uiNext);
    // A failure is the next read's to meet: the reader keeps its verdict, and the log has the line.
    m_uiAheadStart = 0;
    m_uiAheadOffset = m_uiNext;
    m_uiAheadLength = result > 0 ? static_cast<std::size_t>(result) : 0;
}

}  // namespace Tool
}  // namespace Tamsor
