#ifndef TAMSOR_SRC_DESCRIPTORPOOL_H
#define TAMSOR_SRC_DESCRIPTORPOOL_H

// Descriptors on one archive file, opened through a zziplib I/O table and lent to one thread at a time.
//
// The table's callbacks may keep a position of their own per descriptor (the scrambling ones do, to know the
// key phase of the next byte), so a descriptor cannot be shared between threads, nor read with pread: each
// read is a seek through the table followed by reads through it. The pool keeps up to `maxIdle` descriptors
// open between leases and opens more when more threads read at once. Safe from any thread.

#include <zzip/plugin.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Tamsor {

class DescriptorPool {
  public:
    // One descriptor, this thread's until the lease goes. Leases are taken lazily: an empty lease opens (or
    // borrows) a descriptor on its first read.
    class Lease {
      public:
        explicit Lease(DescriptorPool& rPool) : m_rPool(rPool) {}
        ~Lease();
        // Exactly `length` bytes at file offset `offset`; false when the file cannot be opened, the seek fails,
        // or the file ends or fails first (the descriptor is then closed rather than lent again).
        bool readAt(std::uint64_t offset, void* pBuffer, std::size_t length);

        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

      private:
        DescriptorPool& m_rPool;
        int m_fd = -1;
    };

    DescriptorPool(const zzip_plugin_io_handlers& io, const std::string& path, std::size_t maxIdle);
    // Closes the idle descriptors; no lease may be alive.
    ~DescriptorPool();

    // The file's size, from the first descriptor opened; -1 until a descriptor could be opened and measured.
    std::int64_t fileSize();

    DescriptorPool(const DescriptorPool&) = delete;
    DescriptorPool& operator=(const DescriptorPool&) = delete;

  private:
    int acquire();
    void release(int fd, bool bHealthy);

    const zzip_plugin_io_handlers m_io;  // a copy: the file system's table may go before this pool
    const std::string m_strPath;
    const std::size_t m_uiMaxIdle;
    std::mutex m_mutex;
    std::vector<int> m_idle;  // guarded by m_mutex
    std::atomic<std::int64_t> m_iFileSize{-1};
};

}  // namespace Tamsor

#endif
