#include "ReadAheadFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Tamsor {
namespace Tool {

ReadAheadFile::ReadAheadFile(std::shared_ptr<const ArchiveFile> pFile) : m_pFile(std::move(pFile)) {}

bool ReadAheadFile::readAt(std::uint64_t offset, void* pBuffer, std::size_t length) const {
    if (length >= kDirectReadSize) return m_pFile->readAt(offset, pBuffer, length);
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool bInWindow = offset >= m_uiWindowOffset && offset - m_uiWindowOffset <= m_uiWindowLength &&
                           length <= m_uiWindowLength - (offset - m_uiWindowOffset);
    if (!bInWindow && !fill(offset)) return m_pFile->readAt(offset, pBuffer, length);
    if (length > m_uiWindowLength) return false;  // the window holds all the file has from there, and less
    std::memcpy(pBuffer, m_window.data() + (offset - m_uiWindowOffset), length);
    return true;
}

bool ReadAheadFile::fill(std::uint64_t offset) const {
    m_uiWindowLength = 0;
    const std::uint64_t uiSize = m_pFile->size();
    if (offset >= uiSize) return false;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, uiSize - offset));
    m_window.resize(kWindowSize);
    if (!m_pFile->readAt(offset, m_window.data(), length)) return false;
    m_uiWindowOffset = offset;
    m_uiWindowLength = length;
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
