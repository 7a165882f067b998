#ifndef TAMSOR_TOOLS_SIBLINGREADAHEAD_H
#define TAMSOR_TOOLS_SIBLINGREADAHEAD_H

// Read-ahead across the small files of a directory, the way the kernel reads ahead within a file. Programs
// that read every file of a tree (find | xargs cat, cp -r, tar, a data loader in order) ask for the files of a
// directory one after another, and each costs a round trip through FUSE. When the kernel asks for small
// members whole in the order of their directory's listing, the next few are read here, on a thread of its
// own, and handed to the kernel's cache (FUSE's store notification), where the program then finds them with
// no round trip. The window opens at the second read in order, doubles at each read that comes where the last
// window ended, up to kMaxFiles or kMaxBytes; a read that comes elsewhere closes it. Reads inside a window
// (the program overtook this thread) change nothing.
//
// Only what a read of the whole member returned with success is handed over: a deflated member's CRC-32 is
// checked at its end, a stored member's by the reader's read from its start, so the cache gets the member's
// bytes or nothing. Encrypted members, and members over kMaxMember, are left to the kernel's own reads.
//
// Threads: noteRead() from any, at once; one thread of its own reads and stores. Memory: one member's bytes,
// the node numbers of the windows being read, and the windows of the kKeptDirectories directories read last.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "MountedArchive.h"

namespace Tamsor {
namespace Tool {

class SiblingReadAhead {
  public:
    static constexpr std::uint32_t kFirstFiles = 4;
    static constexpr std::uint32_t kMaxFiles = 128;
    static constexpr std::uint64_t kMaxBytes = 8 << 20;
    static constexpr std::uint64_t kMaxMember = 256 << 10;
    static constexpr std::size_t kKeptDirectories = 8;

    // Gets the whole bytes of the member of `node` (valid only during the call), for the kernel's cache.
    using Store = std::function<void(std::uint32_t node, const char* pData, std::size_t size)>;

    // `rArchive` must outlive this; `store` is called on this object's thread only.
    SiblingReadAhead(MountedArchive& rArchive, Store store);
    ~SiblingReadAhead();

    // The kernel asked for the member of `node` from its start, `size` bytes.
    void noteRead(std::uint32_t node, std::size_t size);

    // Ends the thread, dropping what is still to read; no store comes after it returns. Called again, nothing.
    void stop();

    SiblingReadAhead(const SiblingReadAhead&) = delete;
    SiblingReadAhead& operator=(const SiblingReadAhead&) = delete;

  private:
    struct Window {
        std::uint32_t uiDirectory;
        std::uint32_t uiStart;  // the first node read ahead, or the node after the last read when none was
        std::uint32_t uiEnd;    // after the last node read ahead: where the next read in order comes
        std::uint32_t uiFiles;  // how many files the last window read ahead (0: none yet)
    };

    bool isCandidate(std::uint32_t node) const;
    Window& windowOf(std::uint32_t directory);
    void open(Window& rWindow, std::uint32_t after);
    void run();
    void readAndStore(std::uint32_t node, std::vector<char>& rBuffer);

    MountedArchive& m_rArchive;
    const Store m_store;
    std::mutex m_mutex;  // guards the next three fields
    std::condition_variable m_wake;
    std::deque<std::uint32_t> m_queue;  // nodes to read, in order
    std::vector<Window> m_windows;      // the directory read last at the back
    bool m_bStopping = false;
    std::thread m_thread;  // made at the first window (under m_mutex), joined by stop()
};

}  // namespace Tool
}  // namespace Tamsor

#endif
