#include "Progress.h"

#include <unistd.h>

#include <cstdio>

namespace Tamsor {
namespace Tool {

namespace {

const int kBarWidth = 40;

}  // namespace

Progress::Progress(const std::string& strLabel, std::uint64_t uiTotal)
    : m_strLabel(strLabel), m_uiTotal(uiTotal), m_bShown(uiTotal > kThreshold && ::isatty(STDERR_FILENO)) {}

// The finished line stays on screen; an unfinished one (after an error) is ended so the message starts clean.
Progress::~Progress() {
    if (m_bShown && m_lastPercent >= 0) std::fputc('\n', stderr);
}

void Progress::interrupt() {
    if (m_lastPercent < 0) return;
    std::fputs("\r\033[K", stderr);  // back to the line's start, and the line cleared
    m_lastPercent = -1;
}

void Progress::update(std::uint64_t uiDone) {
    if (!m_bShown) return;
    const int percent = static_cast<int>(uiDone * 100 / m_uiTotal);
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% (%llu/%llu MiB)", m_strLabel.c_str(), filled,
                 "########################################", kBarWidth - filled, "", percent,
                 static_cast<unsigned long long>(uiDone >> 20), static_cast<unsigned long long>(m_uiTotal >> 20));
    std::fflush(stderr);
}

}  // namespace Tool
}  // namespace Tamsor
