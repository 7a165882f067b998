#ifndef TAMSOR_ZIPFILESYSTEM_H
#define TAMSOR_ZIPFILESYSTEM_H

// The file system over one ZIP archive at a time.
//
// A host constructs a ZIPFileSystem, binds it to an archive with setZIPArchive, then calls exists, open and
// opendir as often as it likes, releases every handle, and destroys the file system. Binding again switches
// archives: files opened before keep reading the archive they were opened on. Entries keep a reference to
// the file system and count themselves on it; the file system must outlive them (its destructor asserts it).
//
// Threads: a file system and the entries made from it belong to one thread at a time; a host that shares
// them serialises every call, including the release of an entry's last handle. Distinct file systems are
// independent of each other.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tamsor/VirtualFileSystem.h"
#include "tamsor/infra/CachedLLLogger.h"
#include "tamsor/infra/NullablePtr.h"
#include "tamsor/infra/ObjectWithLogger.h"
#include "tamsor/infra/OwnedPtr.h"

struct zzip_dir;
struct zzip_file;
union _zzip_plugin_io;

namespace Tamsor {

class ArchiveIndex;
struct ArchiveScreening;

class ZIPFileSystemImpl : public virtual VirtualFileSystem, public ObjectWithLogger<CachedLLLogger> {
  public:
    class Entry;
    class File;
    class Directory;

    // Unbound, with zziplib's default I/O callbacks in its table.
    ZIPFileSystemImpl();
    // Asserts that no entry made on this file system is still alive.
    ~ZIPFileSystemImpl() override;

    FileHandle open(const char* pathname, int flags) override;
    FileHandle open(const char* pathname, int flags, unsigned int mode) override;
    DirectoryHandle opendir(const char* name) override;
    // True when opendir or open gives a handle for `path`. Since opendir gives an open directory for any name
    // while the archive can be opened again, this answers true for every path of a readable bound archive.
    bool exists(const char* path) override;

    // Binds (or rebinds) the file system to the ZIP archive at `path` (a path on the host file system).
    // True when the archive was opened; false, with an ERROR line on this object's logger, otherwise, and the
    // file system is then unbound.
    bool setZIPArchive(const char* path);

    // The path of the bound archive as given to setZIPArchive; empty while unbound.
    const std::string& getZIPArchive() const { return m_strZIPArchive; }
    // Why the last setZIPArchive refused an archive that zziplib itself would have opened and then shown in
    // part or wrongly (or never returned from), as the rest of a sentence that starts with the archive's path
    // ("holds 70000 entries; more than 65535 are not supported"): what its second ERROR line says. Empty after a
    // bind that succeeded, and after one that zziplib failed on its own.
    const std::string& getBindingRefusal() const { return m_strBindingRefusal; }
    // The number of entries (files and directories, open or not) alive on this file system.
    std::uint32_t getNbOfEntriesOpen() const { return m_uiNbOfEntriesOpen; }

  protected:
    friend class ArchiveIndex;
    friend class MemberReader;

    OwnedPtr<union _zzip_plugin_io> m_pIOHandler;  // the I/O callbacks of every archive open; never replaced
    struct zzip_dir* m_pZIPDir;                    // the bound archive, null while unbound
    std::string m_strZIPArchive;                   // the bound archive's path, empty while unbound
    mutable std::uint32_t m_uiNbOfEntriesOpen;     // live entries; changed by the entries themselves

  private:
    ZIPFileSystemImpl(const ZIPFileSystemImpl&) = delete;
    ZIPFileSystemImpl& operator=(const ZIPFileSystemImpl&) = delete;

    // Hands the bound archive's handle back to zziplib and takes `pNewDir` (may be null) in its place.
    void replaceArchiveHandle(struct zzip_dir* pNewDir);
    // The archive at `path` opened for binding, or null (see openWholeArchive).
    struct zzip_dir* openScreenedArchive(const char* path, std::string& strRefusal);
    // The archive at `path` opened through the I/O table, or null. The archive is screened as it stands now
    // (end records and central directory, read the way zziplib reads them, or the last screening again while
    // the file is unchanged), and zziplib's listing must be the screen's: an open that fails or reads another is tried
    // again (a short read from the file, as network file systems give, makes zziplib drop or garble entries).
    // `strRefusal` says why the archive was refused where zziplib itself would have opened it, and stays empty where
    // zziplib fails on its own. Costs a stat, or a screen (the file's last 64 KiB and its central directory, read in
    // one go each) when the file changed, on top of zziplib's own open.
    struct zzip_dir* openWholeArchive(const char* path, std::string& strRefusal) const;

    // The member `name` of the bound archive opened with zziplib's open mode `flags`, or null; tried again
    // when reading or seeking to its local header failed.
    struct zzip_file* openMember(const char* name, int flags) const;

    // The last screening that read an archive's central directory: the next open of a file that stands
    // unchanged (device, inode, size and times) checks zziplib's listing against it without reading the file
    // again. Null until then.
    mutable OwnedPtr<ArchiveScreening> m_pLastScreening;
    std::string m_strBindingRefusal;  // see getBindingRefusal()
};

// The class that hosts instantiate for plain archives. Its storage comes from StaticMemAllocator under
// "ZIPFileSystem".
class ZIPFileSystem : public virtual VirtualFileSystem, public ZIPFileSystemImpl {
  public:
    ZIPFileSystem();
    ~ZIPFileSystem() override;

    static void* operator new(std::size_t size);
    static void operator delete(void* pBlock, std::size_t size);
};

}  // namespace Tamsor

#endif
