#ifndef TAMSOR_TOOLS_PROGRESS_H
#define TAMSOR_TOOLS_PROGRESS_H

// A one-line progress bar on standard error, redrawn when the percentage changes; shown only when standard
// error is a terminal and the work is large enough to be worth watching.

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

  private:
    std::string m_strLabel;
    std::uint64_t m_uiTotal;
    bool m_bShown;
    int m_lastPercent = -1;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
