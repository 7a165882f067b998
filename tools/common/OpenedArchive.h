#ifndef TAMSOR_TOOLS_OPENEDARCHIVE_H
#define TAMSOR_TOOLS_OPENEDARCHIVE_H

// An archive opened for a command: the right file system (plain or scrambled) bound to it, and its member
// index. Every handle made on the file system must be released before this object goes.

#include <memory>
#include <string>

#include "ArchiveKind.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {
namespace Tool {

class OpenedArchive {
  public:
    OpenedArchive();
    ~OpenedArchive();

    // Detects the kind (unless `choice` forces one), binds a file system and reads the index. 0, or the exit
    // status after a "zipfs: <command>: ..." line on standard error.
    int open(const std::string& path, KindChoice choice, const char* commandName);

    VirtualFileSystem& fileSystem() { return *m_pFileSystem; }
    const ArchiveIndex& index() const { return *m_pIndex; }
    const std::string& path() const { return m_strPath; }
    bool isScrambled() const { return m_bScrambled; }

    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

  private:
    std::unique_ptr<ZIPFileSystem> m_pFileSystem;
    std::unique_ptr<ArchiveIndex> m_pIndex;
    std::string m_strPath;
    bool m_bScrambled = false;
};

// Resolves the kind a command works with: the forced one, else the detected one (a file that looks like
// neither is tried as plain). 0, or the exit status after an error line.
int resolveArchiveKind(const std::string& path, KindChoice choice, const char* commandName, bool& rbScrambled);

}  // namespace Tool
}  // namespace Tamsor

#endif
