// The ZIP file system: binding to an archive, existence tests, files and directories.
//
// Diagnostics are a contract with the host's log tooling: the text, level, logger, file name and line of
// every log line and assertion below are fixed, and tests guard them. Move no site off its line.
//
// Log lines of the entries go to the file-scope logger "corvane.zzip.ZIPFileSystem"; binding failures and trace
// scopes go to the file system's own logger (same name, cached level). Sites report the file "ZIPFileSystem".

#include "tamsor/ZIPFileSystem.h"

#include <fcntl.h>
#include <zzip/plugin.h>
#include <zzip/zzip.h>

#include "ZIPFileSystemEntries.h"
#include "tamsor/infra/AceCleanupLogger.h"
#include "tamsor/infra/Assertion.h"
#include "tamsor/infra/LogMacros.h"
#include "tamsor/infra/StaticMemAllocator.h"
#include "tamsor/infra/TraceScope.h"
#include "zip/ArchiveScreen.h"

#define TAMSOR_SOURCE_FILE "ZIPFileSystem"

namespace {

// The file-scope logger: made on first use, kept for the life of the process.
Tamsor::Logger& fileScopeLogger() {
    static Tamsor::Logger* pLogger = new Tamsor::AceCleanupLogger("corvane.zzip.ZIPFileSystem");
    return *pLogger;
}

// Archives are opened as ZIP files only (never as a real directory), and zziplib's lookups ignore case.
const int kArchiveOpenMode = ZZIP_CASELESS | ZZIP_ONLYZIP;

// The two closing pieces of the line that reports a member a listing cannot hand out.
const char kNeitherFileNorDirectory[] = " is neither a file nor a directory. ";
const char kNotSupportedYet[] = "NOT SUPPORTED YET";

}  // namespace

namespace Tamsor {

// Makes the file-scope logger exist as soon as the library is loaded.
static Logger& __force_init_logger__fileScopeLogger = fileScopeLogger();

ZIPFileSystemImpl::ZIPFileSystemImpl() : m_pIOHandler(), m_pZIPDir(nullptr), m_uiNbOfEntriesOpen(0) {
    m_logger = CachedLLLogger(fileScopeLogger().getName());
    m_logger.refreshCachedLogLevel();
    TraceScope scope(m_logger, "ZIPFileSystemImpl ctor", m_logger.getKnownLogLevel());
    m_pIOHandler.reset(new zzip_plugin_io_handlers);
    if (!m_pIOHandler.isNull()) zzip_init_io(m_pIOHandler.get(), 0);
}

// Entries keep a reference to the file system: destroying it under a live entry leaves that entry dangling.
// The archive handle is handed back to zziplib here; no file can still be reading through it, since every
// entry is gone (and should one not be, zziplib keeps the handle until its last file is closed).
ZIPFileSystemImpl::~ZIPFileSystemImpl() {
    {
        TraceScope scope(m_logger, "ZIPFileSystemImpl dtor", m_logger.getKnownLogLevel());
        TAMSOR_ASSERT(m_uiNbOfEntriesOpen == 0);
    }
    replaceArchiveHandle(nullptr);
}

// The new archive is opened before the old handle is let go, and its path is kept only when the open
// succeeded: a failed bind leaves the file system unbound.
bool ZIPFileSystemImpl::setZIPArchive(const char* path) {
    TraceScope scope(m_logger, "ZIPFileSystemImpl::setZIPArchive", m_logger.getKnownLogLevel());
    m_strZIPArchive.clear();
    TAMSOR_ASSERT_OR_RETURN(!m_pIOHandler.isNull(), false);
    std::string& strRefusal = m_strBindingRefusal;
    replaceArchiveHandle(openScreenedArchive(path, strRefusal));
    // An archive that zziplib would read only in part is never handed to it: the usual line, then the reason.
    if (!m_pZIPDir) {
        TAMSOR_LOG(m_logger, kErrorLogLevel, "Could not open ZIP archive " << (path ? path : ""));
        if (!strRefusal.empty()) TAMSOR_LOG(m_logger, kErrorLogLevel, "ZIP archive " << path << " " << strRefusal);
        return false;
    }
    m_strZIPArchive = path;
    return true;
}

// zziplib keeps a closed archive handle alive while files opened on it are still open, and frees it when the
// last of them is closed: so files opened before a rebind go on reading the archive they were opened on.
void ZIPFileSystemImpl::replaceArchiveHandle(struct zzip_dir* pNewDir) {
    if (m_pZIPDir) zzip_dir_close(m_pZIPDir);
    m_pZIPDir = pNewDir;
}

// Binding opens the archive as every directory does (see openWholeArchive), and keeps why it was refused where
// zziplib would have opened it. With no path there is nothing to open, nor to say beyond the usual line.
ZZIP_DIR* ZIPFileSystemImpl::openScreenedArchive(const char* path, std::string& strRefusal) {
    strRefusal.clear();
    return path ? openWholeArchive(path, strRefusal) : nullptr;
}

// A directory is asked first, then a file: a readable bound archive answers true for every path, and open
// decides only when the archive can no longer be reopened. Both handles are dropped at once.
bool ZIPFileSystemImpl::exists(const char* path) {
    TraceScope scope(m_logger, "ZIPFileSystemImpl::exists", m_logger.getKnownLogLevel());
    if (!opendir(path).isNull()) return true;
    return !open(path, 0).isNull();
}

// Makes a file entry in a fresh handle and opens it; on failure the handle takes the entry with it, unlogged.
VirtualFileSystem::FileHandle ZIPFileSystemImpl::open(const char* pathname, int flags) {
    TraceScope scope(m_logger, "ZIPFileSystemImpl::open", m_logger.getKnownLogLevel());
    FileHandle pFile(static_cast<VirtualFileSystem::File*>(new File(*this)));
    if (pFile->open(pathname, flags) < 0) return FileHandle();
    return pFile;
}

// As above, through the file's three-argument open: `mode` is passed on and ignored there.
VirtualFileSystem::FileHandle ZIPFileSystemImpl::open(const char* pathname, int flags, unsigned int mode) {
    TraceScope scope(m_logger, "ZIPFileSystemImpl::open", m_logger.getKnownLogLevel());
    FileHandle pFile(static_cast<VirtualFileSystem::File*>(new File(*this)));
    if (pFile->open(pathname, flags, mode) < 0) return FileHandle();
    return pFile;
}

// Any name gives an open directory while the archive can be opened again (its listing may be empty).
VirtualFileSystem::DirectoryHandle ZIPFileSystemImpl::opendir(const char* name) {
    TraceScope scope(m_logger, "ZIPFileSystemImpl::opendir", m_logger.getKnownLogLevel());
    DirectoryHandle pDir(static_cast<VirtualFileSystem::Directory*>(new Directory(*this)));
    if (pDir->open(name) < 0) return DirectoryHandle();
    return pDir;
}

ZIPFileSystem::ZIPFileSystem() {
    TraceScope scope(m_logger, "ZIPFileSystem ctor", m_logger.getKnownLogLevel());
}

ZIPFileSystem::~ZIPFileSystem() {}

void* ZIPFileSystem::operator new(std::size_t size) {
    return StaticMemAllocator::allocate(static_cast<unsigned int>(size), "ZIPFileSystem");
}

void ZIPFileSystem::operator delete(void* pBlock, std::size_t size) {
    StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), "ZIPFileSystem");
}

// ---- Entry -----------------------------------------------------------------------------------------------

// An entry counts from construction to destruction, open or not; the count never goes below 0.
ZIPFileSystemImpl::Entry::Entry(const ZIPFileSystemImpl& rFileSystem) : m_rFileSystem(rFileSystem), m_strPath() {
    ++m_rFileSystem.m_uiNbOfEntriesOpen;
}

ZIPFileSystemImpl::Entry::~Entry() {
    if (m_rFileSystem.m_uiNbOfEntriesOpen != 0) --m_rFileSystem.m_uiNbOfEntriesOpen;
}

void* ZIPFileSystemImpl::Entry::operator new(std::size_t size) {
    return StaticMemAllocator::allocate(static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::Entry\"");
}

void ZIPFileSystemImpl::Entry::operator delete(void* pBlock, std::size_t size) {
    StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::Entry\"");
}

// ---- File ------------------------------------------------------------------------------------------------

ZIPFileSystemImpl::File::File(const ZIPFileSystemImpl& rFileSystem) : Entry(rFileSystem), m_pFile(nullptr) {}

ZIPFileSystemImpl::File::~File() {
    File::close();
}

void* ZIPFileSystemImpl::File::operator new(std::size_t size) {
    return StaticMemAllocator::allocate(static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::File\"");
}

void ZIPFileSystemImpl::File::operator delete(void* pBlock, std::size_t size) {
    StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::File\"");
}

// Creating is refused here with a log line on the file-scope logger (the three-argument form asserts instead);
// every other open goes to the three-argument form, with the mode that it ignores.
int ZIPFileSystemImpl::File::open(const char* pathname, int flags) {
    if ((flags & O_CREAT) != 0) {
        TAMSOR_LOG(fileScopeLogger(), kErrorLogLevel, "You must provide a mode if you are creating a new file");
        return -1;
    }
    return open(pathname, flags, 0);
}

// Opens the member named by `pathname` less one leading "/" or "./"; nothing else is normalised. The flags
// go to zziplib as its open mode, so its lookup bits (ZZIP_CASELESS, ZZIP_NOPATHS) take effect; the access
// mode is not examined and `mode` is never read. An open file opened again lets go of its member first.
// A member that cannot be opened leaves the file Not opened, with an empty path, and logs nothing.
int ZIPFileSystemImpl::File::open(const char* pathname, int flags, unsigned int /*mode*/) {
    TAMSOR_ASSERT_OR_RETURN((flags & O_CREAT) == 0, -1);
    // Creation is refused before the name is looked at: a read-only archive can create nothing. A null name
    // cannot be a member name; it is refused rather than handed to zziplib, which would read through it.
    //
    TAMSOR_ASSERT_OR_RETURN(pathname && "please specify a file name", -1);
    close();
    m_strPath = pathname;
    if (m_strPath.compare(0, 1, "/") == 0)
        m_strPath.erase(0, 1);
    else if (m_strPath.compare(0, 2, "./") == 0)
        m_strPath.erase(0, 2);
    // Only that one leading "/" or "./" goes: "//a" looks up "/a", and "..", repeated or trailing separators
    // and letter case stay as given.
    //
    // With no archive bound there is nothing to open a member of.
    if (!m_rFileSystem.m_pZIPDir) {
        m_strPath.clear();
        return -1;
    }
    m_pFile = m_rFileSystem.openMember(m_strPath.c_str(), flags);
    if (m_pFile.isNull()) {
        m_strPath.clear();
        return -1;
    }
    return 0;
}

// Hands the member back to zziplib. The path stays, so a closed file still tells which member it was. A file
// that is not open returns -1 and nothing changes, so closing twice is harmless. The destructor closes an open
// file the same way, so releasing the last handle of an open file gives its member back.
int ZIPFileSystemImpl::File::close() {
    if (m_pFile.isNull()) return -1;
    const int result = zzip_file_close(m_pFile);
    m_pFile = nullptr;
    return result;
}

// Archives are read-only: every write fails with an assertion and changes nothing, whatever the open mode and
// whether or not the file is open. Members are compressed in place inside the archive: there is no writing
// through them.
//
int ZIPFileSystemImpl::File::write(const void* /*buf*/, unsigned int /*count*/) {
    TAMSOR_ASSERT(0);
    return -1;
}

// Straight to zziplib: the uncompressed bytes of the member, 0 at its end, -1 on error; no buffering of ours.
int ZIPFileSystemImpl::File::read(void* buf, unsigned int count) {
    TAMSOR_ASSERT_OR_RETURN(!m_pFile.isNull(), -1);
    return static_cast<int>(zzip_read(m_pFile, buf, count));
}

// Straight to zziplib, in the uncompressed member. Seeking backwards in a deflated member makes zziplib inflate
// again from the start, so its cost grows with the target offset; in a stored member it is a plain seek.
// Positions past the end of the member are zziplib's to refuse.
long ZIPFileSystemImpl::File::lseek(long offset, int whence) {
    TAMSOR_ASSERT_OR_RETURN(!m_pFile.isNull(), -1);
    return zzip_seek(m_pFile, offset, whence);
}

// ---- Directory -------------------------------------------------------------------------------------------
//
// A ZIP archive has no real directories, only a flat list of member names with "/" as separator. A directory
// is a filter over that list: it shows the members whose parent prefix is its path (docs/ shows docs/b.txt
// and docs/img/, not docs/img/c.png), in stored order, and only members that stand in the archive: implied
// directories are never made up. Each directory walks its own zziplib handle on the archive.

ZIPFileSystemImpl::Directory::Directory(const ZIPFileSystemImpl& rFileSystem) : Entry(rFileSystem), m_pDir(nullptr) {}

ZIPFileSystemImpl::Directory::~Directory() {
    Directory::close();
}

void* ZIPFileSystemImpl::Directory::operator new(std::size_t size) {
    return StaticMemAllocator::allocate(static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::Directory\"");
}

void ZIPFileSystemImpl::Directory::operator delete(void* pBlock, std::size_t size) {
    StaticMemAllocator::deallocate(pBlock, static_cast<unsigned int>(size), "\"ZIPFileSystemImpl::Directory\"");
}

// Opens the bound archive anew, through the file system's I/O table, and takes `name` less one leading "/"
// as the directory's path; no trailing "/" is added or removed, so "docs" matches nothing. A null name is
// refused; an open directory opened again lets go of its handle.
int ZIPFileSystemImpl::Directory::open(const char* name) {
    if (!name) return -1;
    close();
    std::string strPartial;  // a listing of only part of the archive is no listing: the open fails
    m_pDir = m_rFileSystem.openWholeArchive(m_rFileSystem.m_strZIPArchive.c_str(), strPartial);
    if (m_pDir.isNull()) {
        TAMSOR_LOG(fileScopeLogger(), kDebugLogLevel, "Error opening ZIP archive " << m_rFileSystem.m_strZIPArchive);
        return -1;
    }
    m_strPath = name;  // `name` may be this entry's own path: look at the copy from here on
    if (!m_strPath.empty() && m_strPath[0] == '/') m_strPath.erase(0, 1);
    return 0;
}

int ZIPFileSystemImpl::Directory::close() {
    if (m_pDir.isNull()) return -1;
    const int result = zzip_dir_close(m_pDir);
    m_pDir = nullptr;
    return result;
}

namespace {

// Cuts a member name down to its parent prefix: less one trailing "/", up to and including the last "/".
void cutToParentPrefix(std::string& strName) {
    if (!strName.empty() && strName.back() == '/') strName.pop_back();
    const std::string::size_type lastSlash = strName.rfind('/');
    strName.erase(lastSlash == std::string::npos ? 0 : lastSlash + 1);
}

}  // namespace

// The next member directly in this directory, as a new closed entry whose path is the member name as stored.
// Members of other directories are skipped without a message; a member that cannot be handed out (a file
// zziplib refuses to open, a directory member when the archive cannot be opened again) is skipped with the
// refusal line and the walk goes on. An empty member name stops the walk with an assertion; the next read
// goes on after it.
//
VirtualFileSystem::EntryHandle ZIPFileSystemImpl::Directory::read() {
    if (m_pDir.isNull()) return EntryHandle();
    ZZIP_DIRENT dirent;
    while (zzip_dir_read(m_pDir, &dirent)) {
        std::string strNewEntryPathFromArchive(dirent.d_name ? dirent.d_name : "");
        TAMSOR_ASSERT_OR_RETURN(!strNewEntryPathFromArchive.empty(), EntryHandle());
        const std::string strFullName(strNewEntryPathFromArchive);
        cutToParentPrefix(strNewEntryPathFromArchive);
        if (strNewEntryPathFromArchive != m_strPath) continue;  // exact bytes: no case folding here
        // The kind comes from the name alone: a trailing "/" makes a directory member.
        // Listing a member opens it (a file) or the archive again (a directory), to hand out only what can be
        // read; the entry made for a refused member is gone before the walk goes on.
        EntryHandle pEntry;
        const Listing listing =
            strFullName.back() == '/' ? listDirectoryMember(strFullName, pEntry) : listFileMember(strFullName, pEntry);
        if (listing == Listing::Made) return pEntry;
        if (listing == Listing::Broken) return EntryHandle();
        // Refused: say so and go on with the next member.
        logRefusal(strFullName);
    }
    return EntryHandle();
}

// A directory member is listed when the archive can be opened for it (the test open logs its own DEBUG line
// when it cannot). It is handed out closed, its handle on the archive released at once, with the member name
// as its path, trailing "/" included. The caller holds the only reference when this returns.
//
// The conversions share one count: the typed handle and the entry handle keep the same object alive. The
// typed handle cannot come out null with this library's classes; the assertion guards a broken class tree.
ZIPFileSystemImpl::Directory::Listing ZIPFileSystemImpl::Directory::listDirectoryMember(const std::string& strName,
                                                                                        EntryHandle& rEntry) const {
    DirectoryHandle pDir(static_cast<VirtualFileSystem::Directory*>(new Directory(m_rFileSystem)));
    if (pDir->open(strName.c_str()) < 0) return Listing::Refused;
    ManagedHandle<ZIPFileSystemImpl::Directory, TSReferenceCount> pDirDerived(pDir);
    TAMSOR_ASSERT_OR_RETURN(!pDirDerived.isNull(), Listing::Broken);
    return handOutClosed(pDir, pDirDerived, strName, rEntry);
}

// A file member is listed when zziplib can open it; it is handed out closed, with the name as stored.
ZIPFileSystemImpl::Directory::Listing ZIPFileSystemImpl::Directory::listFileMember(const std::string& strName,
                                                                                   EntryHandle& rEntry) const {
    FileHandle pFile(static_cast<VirtualFileSystem::File*>(new File(m_rFileSystem)));
    if (pFile->open(strName.c_str(), 0) < 0) return Listing::Refused;
    ManagedHandle<ZIPFileSystemImpl::File, TSReferenceCount> pFileDerived(pFile);
    TAMSOR_ASSERT_OR_RETURN(!pFileDerived.isNull(), Listing::Broken);
    return handOutClosed(pFile, pFileDerived, strName, rEntry);
}

// The one line that reports a member a listing skips, for files and directories alike. It goes to the
// file-scope logger at ERROR; nothing else tells the caller, who simply gets the next member.
//
// (The wording predates members of other kinds: a refused member is usually one zziplib cannot open.)
void ZIPFileSystemImpl::Directory::logRefusal(const std::string& strName) {
    Logger& logger = fileScopeLogger();
    TAMSOR_LOG(logger, kErrorLogLevel, "Current entry " << strName << kNeitherFileNorDirectory << kNotSupportedYet);
}

void ZIPFileSystemImpl::Directory::rewind() {
    if (!m_pDir.isNull()) zzip_rewinddir(m_pDir);
}

// Positions are those that zziplib's telldir reports for the members of this walk. Any other value would make
// zziplib read from inside a record, so it is refused and the walk stays where it was.
void ZIPFileSystemImpl::Directory::seek(long offset) {
    if (m_pDir.isNull() || !isReachablePosition(offset)) return;
    zzip_seekdir(m_pDir, offset);
}

// Walks the member records from the start looking for `offset`, then puts the walk back where it was: at a
// record (a position telldir gave), or past the end, where telldir has no meaningful value.
bool ZIPFileSystemImpl::Directory::isReachablePosition(long offset) const {
    if (offset < 0) return false;
    const zzip_off_t savedPosition = zzip_telldir(m_pDir);
    const bool bWasAtEnd = savedPosition < 0;
    ZZIP_DIRENT dirent;
    bool bFound = false;
    zzip_rewinddir(m_pDir);
    for (;;) {
        if (zzip_telldir(m_pDir) == offset) {
            bFound = true;
            break;
        }
        if (!zzip_dir_read(m_pDir, &dirent)) break;
    }
    if (bWasAtEnd)
        while (zzip_dir_read(m_pDir, &dirent)) {}
    else
        zzip_seekdir(m_pDir, savedPosition);
    return bFound;
}

namespace {

const int kOpenAttempts = 3;

// Whether zziplib lists what the screen found; the walk leaves the handle at its start. When a read of zziplib's
// came back short or failed, the rest of a name may be bytes it never read: the digest then differs.
bool listsAsScreened(ZZIP_DIR* pDir, const ArchiveScreening& screening) {
    ZipRecords::ListingDigest listing;
    ZZIP_DIRENT dirent;
    while (zzip_dir_read(pDir, &dirent)) {
        const char* name = dirent.d_name ? dirent.d_name : "";
        listing.add(name, std::char_traits<char>::length(name), static_cast<std::uint32_t>(dirent.d_compr),
                    static_cast<std::uint32_t>(dirent.d_csize), static_cast<std::uint32_t>(dirent.st_size));
    }
    zzip_rewinddir(pDir);
    return static_cast<std::int64_t>(listing.entries()) == screening.iEntries && listing.value() == screening.uiDigest;
}

// The reason of a refusal, kept only where zziplib itself would have opened the archive (and shown it in part,
// or wrongly); an archive that zziplib fails on is zziplib's own refusal. One whose open would not return (a
// FIFO) is never tried.
std::string refusalBeyondZziplib(const char* path, const ArchiveScreening& screening, zzip_plugin_io_t pIO) {
    if (screening.bBlocking) return screening.strRefusal;
    ZZIP_DIR* pTrial = zzip_opendir_ext_io(path, kArchiveOpenMode, nullptr, pIO);
    if (!pTrial) return std::string();
    zzip_dir_close(pTrial);
    return screening.strRefusal;
}

}  // namespace

// Each open screens the archive as it stands now and hands zziplib only what passes. zziplib takes a short read
// of a central directory record for a whole one, and reads the records after it from the wrong place, without
// a word; the screen's reads go on over short reads. So zziplib's listing must be the screen's, and the two
// are tried again when they differ (a short read, or the file changing between the two reads).
ZZIP_DIR* ZIPFileSystemImpl::openWholeArchive(const char* path, std::string& strRefusal) const {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // The last screening stands in for a fresh one while its file is unchanged, but only as a first guess:
        // any disagreement with zziplib is settled by reading the file again.
        const bool bReuse = attempt == 0 && !m_pLastScreening.isNull() && m_pLastScreening->iEntries >= 0 &&
                            m_pLastScreening->file.isUnchanged(screenedFileAt(path));
        if (!bReuse) m_pLastScreening.reset(new ArchiveScreening(screenArchive(path, m_pIOHandler.get())));
        const ArchiveScreening& screening = *m_pLastScreening;
        if (!screening.strRefusal.empty()) {
            strRefusal = refusalBeyondZziplib(path, screening, m_pIOHandler.get());
            return nullptr;
        }
        ZZIP_DIR* pDir = zzip_opendir_ext_io(path, kArchiveOpenMode, nullptr, m_pIOHandler.get());
        if (screening.iEntries < 0) return pDir;  // the screen could not read it: zziplib's open decides
        if (!pDir) continue;
        if (listsAsScreened(pDir, screening)) return pDir;
        zzip_dir_close(pDir);
        strRefusal = "could not be read whole: the listing read differs from its central directory";
    }
    return nullptr;
}

// A member is opened again when reading or seeking to its local header failed, as a short read from the file
// makes it; a member that is not there, or cannot be read in any case (its method, its header), fails at once.
ZZIP_FILE* ZIPFileSystemImpl::openMember(const char* name, int flags) const {
    ZZIP_FILE* pFile = zzip_file_open(m_pZIPDir, name, flags);
    for (int attempt = 1; !pFile && attempt < kOpenAttempts; ++attempt) {
        const int error = zzip_error(m_pZIPDir);
        if (error != ZZIP_DIR_READ && error != ZZIP_DIR_SEEK) break;
        pFile = zzip_file_open(m_pZIPDir, name, flags);
    }
    return pFile;
}

}  // namespace Tamsor
