#include "SiblingReadAhead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace Tamsor {
namespace Tool {

SiblingReadAhead::SiblingReadAhead(MountedArchive& rArchive, Store store)
    : m_rArchive(rArchive), m_store(std::move(store)) {}

SiblingReadAhead::~SiblingReadAhead() {
    stop();
}

void SiblingReadAhead::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void SiblingReadAhead::noteRead(std::uint32_t node, std::size_t size) {
    if (!isCandidate(node) || m_rArchive.tree().record(m_rArchive.tree().dataMember(node)).uiSize > size) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) return;
    Window& rWindow = windowOf(m_rArchive.tree().parent(node));
    if (node >= rWindow.uiStart && node < rWindow.uiEnd) return;  // read ahead of it, or about to be
    if (node != rWindow.uiEnd) {
        rWindow = Window{rWindow.uiDirectory, node + 1, node + 1, 0};  // the first read here in order
        return;
    }
    rWindow.uiFiles = rWindow.uiFiles == 0 ? kFirstFiles : std::min(2 * rWindow.uiFiles, kMaxFiles);
    open(rWindow, node);
    // Made at the first window, in the process that serves: a mount that goes to the background forks after
    // this object is made, and a thread does not cross a fork.
    if (!m_thread.joinable()) m_thread = std::thread([this] { run(); });
    m_wake.notify_one();
}

bool SiblingReadAhead::isCandidate(std::uint32_t node) const {
    const MountTree& tree = m_rArchive.tree();
    if (node >= tree.size() || !tree.isShown(node) || !S_ISREG(tree.mode(node))) return false;
    const MemberRecord& record = tree.record(tree.dataMember(node));
    return record.uiSize > 0 && record.uiSize <= kMaxMember && !record.isEncrypted();
}

SiblingReadAhead::Window& SiblingReadAhead::windowOf(std::uint32_t directory) {
    const auto found = std::find_if(m_windows.begin(), m_windows.end(),
                                    [directory](const Window& window) { return window.uiDirectory == directory; });
    Window window = found == m_windows.end() ? Window{directory, 0, 0, 0} : *found;
    if (found != m_windows.end())
        m_windows.erase(found);
    else if (m_windows.size() == kKeptDirectories)
        m_windows.erase(m_windows.begin());
    m_windows.push_back(window);
    return m_windows.back();
}

// Queues up to the window's count of the candidates that follow `after` in its directory (the listing's order
// is the archive's), stopping at the first node of another directory or at kMaxBytes.
void SiblingReadAhead::open(Window& rWindow, std::uint32_t after) {
    const MountTree& tree = m_rArchive.tree();
    std::uint32_t node = after + 1;
    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
    for (; node < tree.size() && files < rWindow.uiFiles && bytes < kMaxBytes; ++node) {
        if (tree.parent(node) != rWindow.uiDirectory) break;
        if (!isCandidate(node)) continue;
        m_queue.push_back(node);
        ++files;
        bytes += tree.record(tree.dataMember(node)).uiSize;
    }
    // Members left out right after the window (a directory, a large file) come before the next read in order.
    for (std::uint32_t skipped = 0; node < tree.size() && skipped < kMaxFiles; ++node, ++skipped)
        if (tree.parent(node) != rWindow.uiDirectory || isCandidate(node)) break;
    rWindow.uiStart = after + 1;
    rWindow.uiEnd = node;
}

void SiblingReadAhead::run() {
    std::vector<char> buffer;
    for (;;) {
        std::uint32_t node;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
            if (m_bStopping) return;
            node = m_queue.front();
            m_queue.pop_front();
        }
        readAndStore(node, buffer);
    }
}

void SiblingReadAhead::readAndStore(std::uint32_t node, std::vector<char>& rBuffer) {
    ArchiveMember member;
    if (m_rArchive.open(node, O_RDONLY, member) < 0) return;
    const std::size_t size = static_cast<std::size_t>(member.uiSize);
    if (rBuffer.size() < size) rBuffer.resize(size);
    if (m_rArchive.read(node, member, rBuffer.data(), size, 0) != static_cast<std::int64_t>(size)) return;
    m_store(node, rBuffer.data(), size);
}

}  // namespace Tool
}  // namespace Tamsor
