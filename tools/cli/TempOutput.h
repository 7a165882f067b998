#ifndef TAMSOR_TOOLS_TEMPOUTPUT_H
#define TAMSOR_TOOLS_TEMPOUTPUT_H

// An output file written beside its destination as DEST.tmp.XXXXXX and renamed onto it only when complete.
// Until then the temporary file is removed when the object goes, and also when SIGINT, SIGTERM or SIGHUP
// arrives (the handler unlinks it and lets the signal end the process as it would have). One at a time.

#include <string>

namespace Tamsor {
namespace Tool {

class TempOutput {
  public:
    TempOutput() = default;
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    // Creates the temporary file; false with errno set.
    bool create(const std::string& strDestination);
    int fd() const { return m_fd; }
    const std::string& temporaryPath() const { return m_strTemporary; }

    // Closes the file and renames it onto the destination; false with errno set (the temporary file is then
    // removed when the object goes).
    bool commit();

  private:
    void discard();

    std::string m_strDestination;
    std::string m_strTemporary;
    int m_fd = -1;
    bool m_bCommitted = false;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
