#include "EncryptedFileHandleTable.h"

#include <limits>
#include <new>

namespace Tamsor {

EncryptedFileHandleTable& EncryptedFileHandleTable::instance() {
    // Never destroyed: a scrambled file system destroyed during static destruction still closes its files.
    static EncryptedFileHandleTable* pTable = new EncryptedFileHandleTable;
    return *pTable;
}

int EncryptedFileHandleTable::insert(std::int32_t fd) noexcept {
    EncryptedFileHandle* pRecord = new (std::nothrow) EncryptedFileHandle{fd, 0};
    if (!pRecord) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        std::uint32_t slot;
        if (!m_freeSlots.empty()) {
            slot = m_freeSlots.back();
            m_freeSlots.pop_back();
        } else {
            if (m_records.size() >= static_cast<std::size_t>(std::numeric_limits<int>::max())) throw std::bad_alloc();
            slot = static_cast<std::uint32_t>(m_records.size());
            // Room for every slot to be free at once: erase never has to grow the free list.
            m_freeSlots.reserve(m_records.size() + 1);
            m_records.push_back(nullptr);
        }
        m_records[slot] = pRecord;
        ++m_uiLiveRecords;
        return static_cast<int>(slot) + 1;
    } catch (...) {
        delete pRecord;
        return -1;
    }
}

EncryptedFileHandle* EncryptedFileHandleTable::find(int descriptor) noexcept {
    if (descriptor <= 0) return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t slot = static_cast<std::size_t>(descriptor) - 1;
    return slot < m_records.size() ? m_records[slot] : nullptr;
}

bool EncryptedFileHandleTable::erase(int descriptor) noexcept {
    if (descriptor <= 0) return false;
    EncryptedFileHandle* pRecord = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t slot = static_cast<std::size_t>(descriptor) - 1;
        if (slot >= m_records.size() || !m_records[slot]) return false;
        pRecord = m_records[slot];
        m_records[slot] = nullptr;
        m_freeSlots.push_back(static_cast<std::uint32_t>(slot));
        --m_uiLiveRecords;
    }
    delete pRecord;
    return true;
}

std::size_t EncryptedFileHandleTable::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uiLiveRecords;
}

}  // namespace Tamsor
