#include "DescriptorPool.h"

#include <fcntl.h>

namespace Tamsor {

DescriptorPool::Lease::~Lease() {
    if (m_fd >= 0) m_rPool.release(m_fd, true);
}

bool DescriptorPool::Lease::readAt(std::uint64_t offset, void* pBuffer, std::size_t length) {
    if (m_fd < 0) m_fd = m_rPool.acquire();
    if (m_fd < 0) return false;
    const zzip_plugin_io& io = m_rPool.m_io.fd;
    bool bDone = io.seeks(m_fd, static_cast<zzip_off_t>(offset), SEEK_SET) == static_cast<zzip_off_t>(offset);
    std::size_t done = 0;
    while (bDone && done < length) {
        const zzip_ssize_t n = io.read(m_fd, static_cast<char*>(pBuffer) + done, length - done);
        bDone = n > 0;
        if (bDone) done += static_cast<std::size_t>(n);
    }
    if (!bDone) {
        // Where a failed descriptor stands is not known: it is not lent again.
        m_rPool.release(m_fd, false);
        m_fd = -1;
    }
    return bDone;
}

DescriptorPool::DescriptorPool(const zzip_plugin_io_handlers& io, const std::string& path, std::size_t maxIdle)
    : m_io(io), m_strPath(path), m_uiMaxIdle(maxIdle) {}

DescriptorPool::~DescriptorPool() {
    for (const int fd : m_idle) m_io.fd.close(fd);
}

std::int64_t DescriptorPool::fileSize() {
    if (m_iFileSize.load() < 0) {
        const int fd = acquire();  // the first descriptor opened measures the file
        if (fd >= 0) release(fd, true);
    }
    return m_iFileSize.load();
}

int DescriptorPool::acquire() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            const int fd = m_idle.back();
            m_idle.pop_back();
            return fd;
        }
    }
    if (!m_io.fd.open) return -1;  // the file system had no table
    const int fd = m_io.fd.open(m_strPath.c_str(), O_RDONLY);
    if (fd >= 0 && m_iFileSize.load() < 0) m_iFileSize.store(m_io.fd.filesize(fd));
    return fd;
}

void DescriptorPool::release(int fd, bool bHealthy) {
    if (bHealthy) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_idle.size() < m_uiMaxIdle) {
            m_idle.push_back(fd);
            return;
        }
    }
    m_io.fd.close(fd);
}

}  // namespace Tamsor
