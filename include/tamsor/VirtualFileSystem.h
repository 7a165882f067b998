#ifndef TAMSOR_VIRTUALFILESYSTEM_H
#define TAMSOR_VIRTUALFILESYSTEM_H

// The read-only file-system contract through which host code reads files and walks directories without
// knowing where they come from.
//
// Ownership: every entry is returned inside a counted handle and is deleted when the last handle that shares
// it is dropped; a null handle reports failure (or the end of a listing). Entries keep a reference to the
// file system that made them, which must outlive them.
//
// Threads: one file system and the entries made from it are used from one thread at a time; handles may be
// copied and dropped from any thread (their counts are locked), but dropping an entry's last handle runs its
// destructor, which counts on the file system, so that too is serialised with the file system's other calls.
//
// Failure is reported only through results (a null handle, -1, false): no errno, no exceptions of the
// library's own; allocation failures propagate.

#include "tamsor/CountedObjPtr.h"
#include "tamsor/infra/Object.h"

namespace Tamsor {

class VirtualFileSystem : public virtual Object {
  public:
    class Entry;
    class File;
    class Directory;

    typedef ManagedHandle<File, TSReferenceCount> FileHandle;
    typedef ManagedHandle<Directory, TSReferenceCount> DirectoryHandle;
    typedef ManagedHandle<Entry, TSReferenceCount> EntryHandle;

    // Something a file system hands out: a file or a directory.
    class Entry : public virtual Object {
      public:
        ~Entry() override {}
        // The entry's path as the entry stores it: never null, empty before the entry has a path; valid until
        // the path is next set or the entry is destroyed.
        virtual const char* getPath() const = 0;
        // Constant per class: a file answers true/false, a directory false/true.
        virtual bool isFile() const = 0;
        virtual bool isDirectory() const = 0;
    };

    class File : public virtual Entry {
      public:
        ~File() override {}
        // 0 on success, -1 on failure. `flags` and `mode` carry POSIX open values.
        virtual int open(const char* pathname, int flags) = 0;
        virtual int open(const char* pathname, int flags, unsigned int mode) = 0;
        // The result of closing; -1 if the file is not open (closing twice is harmless).
        virtual int close() = 0;
        // Bytes written, -1 on failure.
        virtual int write(const void* buf, unsigned int count) = 0;
        // Bytes read, 0 at end of file, -1 on failure.
        virtual int read(void* buf, unsigned int count) = 0;
        // The new position, -1 on failure. `whence` is SEEK_SET, SEEK_CUR or SEEK_END.
        virtual long lseek(long offset, int whence) = 0;
    };

    class Directory : public virtual Entry {
      public:
        ~Directory() override {}
        // 0 on success, -1 on failure.
        virtual int open(const char* name) = 0;
        // The result of closing; -1 if the directory is not open.
        virtual int close() = 0;
        // The next entry, closed (open it with its getPath() to read or list it); a null handle at the end.
        virtual EntryHandle read() = 0;
        // Starts the walk again.
        virtual void rewind() = 0;
        // Moves the walk to a position in the underlying reader's terms.
        virtual void seek(long offset) = 0;
    };

    ~VirtualFileSystem() override {}

    // An open file, or a null handle.
    virtual FileHandle open(const char* pathname, int flags) = 0;
    virtual FileHandle open(const char* pathname, int flags, unsigned int mode) = 0;
    // An open directory positioned before its first entry, or a null handle.
    virtual DirectoryHandle opendir(const char* name) = 0;
    virtual bool exists(const char* path) = 0;
};

}  // namespace Tamsor

#endif
