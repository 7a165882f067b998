#ifndef TAMSOR_TOOLS_EXTRACTTARGET_H
#define TAMSOR_TOOLS_EXTRACTTARGET_H

// The extraction directory, reached by descriptors: every directory below it is created and entered one
// component at a time without following symbolic links, so that nothing already on disk (a link planted
// where a directory is expected) can send a member outside it.

#include <string>
#include <vector>

namespace Tamsor {
namespace Tool {

class ExtractTarget {
  public:
    ExtractTarget() = default;
    ~ExtractTarget();
    ExtractTarget(const ExtractTarget&) = delete;
    ExtractTarget& operator=(const ExtractTarget&) = delete;

    // Opens `strDirectory`, creating it (one level) when missing. False with errno set on failure.
    bool open(const std::string& strDirectory);

    // Creates (when missing) and opens the directory `components` below the target; a descriptor to close,
    // or -1 with errno set.
    int openDirectory(const std::vector<std::string>& components) const;

    // Creates file `strName` in directory `directoryFd`, failing with EEXIST when it exists and `bReplace` is
    // false; never through a symbolic link. A descriptor, or -1 with errno set.
    static int createFile(int directoryFd, const std::string& strName, bool bReplace);

  private:
    int m_fd = -1;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
