#include "MemberStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Tamsor {
namespace Tool {

MemberStream::MemberStream(MountedArchive& rArchive, std::uint32_t node, ArchiveMember member)
    : m_rArchive(rArchive), m_uiNode(node), m_member(std::move(member)), m_bDeflated(m_member.uiMethod == 8) {}

void MemberStream::read(std::size_t size, std::uint64_t offset, Reply reply) {
    Request request{size, offset, std::move(reply)};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bRunning) {
            m_waiting.push_back(std::move(request));
            return;
        }
        m_bRunning = true;
    }
    for (;;) {
        serve(request);
        bool bWaiting;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bWaiting = !m_waiting.empty();
        }
        // A read that came meanwhile goes before reading ahead: its program is waiting for it.
        if (!bWaiting && m_bSequential && m_bDeflated) readAhead();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting.empty()) {
            m_bRunning = false;
            return;
        }
        request = std::move(m_waiting.front());
        m_waiting.pop_front();
    }
}

void MemberStream::serve(const Request& request) {
    std::int64_t result;
    const char* pData;
    if (m_uiAheadLength > 0 && request.offset == m_uiAheadOffset &&
        (m_uiAheadLength >= request.size || m_uiAheadOffset + m_uiAheadLength >= m_member.uiSize)) {
        // The whole read from the piece read ahead, replied from where it lies.
        const std::size_t count = std::min(request.size, m_uiAheadLength);
        pData = &m_ahead[m_uiAheadStart];
        m_uiAheadStart += count;
        m_uiAheadOffset += count;
        m_uiAheadLength -= count;
        result = static_cast<std::int64_t>(count);
    } else {
        thread_local std::vector<char> buffer;
        if (buffer.size() < request.size) buffer.resize(request.size);
        result = readThrough(buffer.data(), request.size, request.offset);
        pData = buffer.data();
    }
    m_bSequential = request.offset == m_uiNext && result > 0;
    m_uiNext = request.offset + static_cast<std::uint64_t>(std::max<std::int64_t>(result, 0));
    m_uiLastSize = request.size;
    request.reply(result < 0 ? nullptr : pData, result);
}

// What was read ahead first, then the member's decoder, which stands where the read ahead ended.
std::int64_t MemberStream::readThrough(char* pBuffer, std::size_t size, std::uint64_t offset) {
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

void MemberStream::readAhead() {
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
