#ifndef TAMSOR_TOOLS_PROGRESS_H
#define TAMSOR_TOOLS_PROGRESS_H

// A one-line progress bar on standard error, redrawn when the percentage changes; shown only when standard
// error is a terminal and the work is large enough to be worth watching (a total of 0 never shows).

#include <cstdint>
#include <string>

namespace Tamsor {
namespace Tool {

class Progress {
  public:
    static const std::uint64_t kThreshold = 64ull * 1024 * 1024;

    Progress(const std::string& strLabel, std::uint64_t uiTotal);
    ~Progress();

    void update(std::uint64_t uiDone);
    // `uiMore` bytes done since the last call: update() with the running sum.
    void advance(std::uint64_t uiMore) { update(m_uiDone += uiMore); }
    // Takes the bar off the terminal so that a line can be written there; the next update() draws it again.
    void interrupt();

  private:
    std::string m_strLabel;
    std::uint64_t m_uiTotal;
    bool m_bShown;
    int m_lastPercent = -1;
    std::uint64_t m_uiDone = 0;  // advance()'s sum
};

}  // namespace Tool
}  // namespace Tamsor

#endif
