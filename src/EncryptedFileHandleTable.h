#ifndef TAMSOR_SRC_ENCRYPTEDFILEHANDLETABLE_H
#define TAMSOR_SRC_ENCRYPTEDFILEHANDLETABLE_H

// The descriptors that the scrambling I/O callbacks give zziplib. A pointer does not fit the `int` that
// zziplib keeps as a descriptor, so each open archive file gets a record in this table and zziplib gets the
// record's number: never 0 (the callbacks reject 0) nor negative (a failed open), with freed numbers reused.
//
// The table is shared by every scrambled file system of the process and is safe from any thread. A record
// itself is not locked: one descriptor is used by one thread at a time, as zziplib uses it.

#include <cstdint>
#include <mutex>
#include <vector>

namespace Tamsor {

// One archive file opened through the scrambling callbacks.
struct EncryptedFileHandle {
    std::int32_t fd;         // the POSIX descriptor
    std::uint32_t position;  // the file position, whose value mod 16 is the key phase of the next byte
};

class EncryptedFileHandleTable {
  public:
    // The process's table.
    static EncryptedFileHandleTable& instance();

    // A new record for `fd` at position 0, and its number; -1 when no record can be made (no exception).
    int insert(std::int32_t fd) noexcept;
    // The record of `descriptor`, or null when the number names none.
    EncryptedFileHandle* find(int descriptor) noexcept;
    // Frees the record of `descriptor`; false when the number names none.
    bool erase(int descriptor) noexcept;

    // Records alive, for tests.
    std::size_t size() const;

  private:
    EncryptedFileHandleTable() = default;

    mutable std::mutex m_mutex;
    std::vector<EncryptedFileHandle*> m_records;  // slot i holds descriptor i + 1; null when free
    std::vector<std::uint32_t> m_freeSlots;
    std::size_t m_uiLiveRecords = 0;
};

}  // namespace Tamsor

#endif
