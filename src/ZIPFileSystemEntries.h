#ifndef TAMSOR_SRC_ZIPFILESYSTEMENTRIES_H
#define TAMSOR_SRC_ZIPFILESYSTEMENTRIES_H

// The entries of a ZIP file system: a file (one member of the bound archive, opened by name) and a
// directory (a filter over the archive's member list, walked through a zziplib handle of its own). Private
// to the library: hosts see them as VirtualFileSystem::File and VirtualFileSystem::Directory.

#include <zzip/zzip.h>

#include <cstddef>
#include <string>

#include "tamsor/ZIPFileSystem.h"
#include "tamsor/infra/NullablePtr.h"

namespace Tamsor {

// What every entry shares: the file system that made it, its path, and its place in the file system's count
// of live entries (from construction to destruction, open or not).
class ZIPFileSystemImpl::Entry : public virtual VirtualFileSystem::Entry {
  public:
    explicit Entry(const ZIPFileSystemImpl& rFileSystem);
    ~Entry() override;

    const char* getPath() const override { return m_strPath.c_str(); }

    static void* operator new(std::size_t size);
    static void operator delete(void* pBlock, std::size_t size);

  protected:
    friend class ZIPFileSystemImpl::Directory;  // sets the paths of the entries it hands out

    const ZIPFileSystemImpl& m_rFileSystem;
    std::string m_strPath;

  private:
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
};

// A read-only member of the bound archive. Open exactly when m_pFile is set; while open, m_strPath holds the
// member name that was opened.
class ZIPFileSystemImpl::File : public virtual VirtualFileSystem::File, public ZIPFileSystemImpl::Entry {
  public:
    explicit File(const ZIPFileSystemImpl& rFileSystem);
    ~File() override;

    bool isFile() const override { return true; }
    bool isDirectory() const override { return false; }

    int open(const char* pathname, int flags) override;
    int open(const char* pathname, int flags, unsigned int mode) override;
    int close() override;
    int write(const void* buf, unsigned int count) override;
    int read(void* buf, unsigned int count) override;
    long lseek(long offset, int whence) override;

    static void* operator new(std::size_t size);
    static void operator delete(void* pBlock, std::size_t size);

  private:
    NullablePtr<ZZIP_FILE> m_pFile;
};

// A directory of the bound archive: lists the members whose parent prefix is its path, in stored order.
// Open exactly when m_pDir is set; m_pDir is this directory's own handle on the archive and holds the walk's
// position.
class ZIPFileSystemImpl::Directory : public virtual VirtualFileSystem::Directory, public ZIPFileSystemImpl::Entry {
  public:
    explicit Directory(const ZIPFileSystemImpl& rFileSystem);
    ~Directory() override;

    bool isFile() const override { return false; }
    bool isDirectory() const override { return true; }

    int open(const char* name) override;
    int close() override;
    EntryHandle read() override;
    void rewind() override;
    void seek(long offset) override;

    static void* operator new(std::size_t size);
    static void operator delete(void* pBlock, std::size_t size);

  private:
    // How listing one member ended.
    enum class Listing { Made, Refused, Broken };

    Listing listDirectoryMember(const std::string& strName, EntryHandle& rEntry) const;
    Listing listFileMember(const std::string& strName, EntryHandle& rEntry) const;
    static void logRefusal(const std::string& strName);

    // Closes a freshly listed entry and gives it the member name as stored: entries are handed out closed.
    template <class InterfaceHandle, class DerivedHandle>
    static Listing handOutClosed(InterfaceHandle& pEntry, DerivedHandle& pDerived, const std::string& strName,
                                 EntryHandle& rEntry) {
        pEntry->close();
        pDerived->m_strPath = strName;
        rEntry = EntryHandle(pDerived);
        return Listing::Made;
    }
    bool isReachablePosition(long offset) const;

    NullablePtr<ZZIP_DIR> m_pDir;
};

}  // namespace Tamsor

#endif
