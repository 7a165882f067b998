#ifndef TAMSOR_MEMBERREADER_H
#define TAMSOR_MEMBERREADER_H

// Reads the bytes of an archive's members at any offset, from several threads at once, for hosts that want
// more than the file-system interface gives: random access into large deflated members without inflating
// from the start, parallel reads, members that the binding refuses (zip64, more than 65,535 members), and a
// CRC-32 check of every member read whole.
//
// Members come from an ArchiveIndex of the same archive. Compressed bytes are read with pread from the archive
// file as the file system reads it (an ArchiveFile, unscrambled for a scrambled file system), so scrambled
// archives read the same as plain ones; the reader keeps no reference to the file system and may outlive it.
// Stored members are read in place. Other members are decoded with restart points: about every
// `uiRestartInterval` bytes of output, where the method allows, the decoder's state is kept, so that a read at
// any offset costs at most about one interval of decoding once the member has been read up to there (deflate:
// exactly one interval). The restart points of all members share one memory budget and are evicted least
// recently used first (and made again when needed). A read that ends where another left off goes on with that
// read's decoder: reading a member from start to end decodes it once, whatever the size of the pieces.
//
// Integrity: a member's CRC-32 is checked whenever a read reaches its end and every byte of the member has
// been produced by this reader on the way (always the case for deflated members; for stored members, when
// the reads went from offset 0 to the end in sequence). The read that finds a mismatch fails, and so does
// every later read that reaches that member's end. A compressed stream that is invalid, ends before the size
// the central directory gives or goes on past it fails the read that meets it. Methods that no decoder here
// decodes are refused, and so are encrypted members without their password.
//
// Encryption: with MemberReaderOptions::password, members encrypted with ZipCrypto or WinZip AES are decrypted on
// the way to their decoder. The password is checked once per member against its encryption header (ZipCrypto:
// one byte, so a wrong password passes once in 256 times and is caught by the CRC-32 at the end; AES: a 2-byte
// verifier, then the authentication code over all of the data, checked when a read reaches the end). AES costs
// a key derivation per member (about 1 ms) and AES plus HMAC-SHA1 over the data (about 0.5 GB/s or more);
// ZipCrypto costs nothing to open but runs at about 120 MB/s, each byte waiting on the one before.
//
// Ambiguity: a member that readers of the format would read differently is refused before any byte of it is
// read: one the index found flawed (overlapping members, an ambiguous name or zip64 field), and one whose local
// records tell another story than the central directory (see ReadStatus). Readers that go by the central
// directory and readers that walk the local headers get the same bytes from every member read here, or none.
//
// Threads: every member function may be called from any number of threads at once. Reads of different
// members, and reads of one member at different offsets, run in parallel; no lock is held while decoding
// or reading the archive file.
//
// Memory: the restart-point budget (a deflate point is about 54 KiB, about 5% of the inflated bytes at the
// default interval); up to `uiIdleCursors` idle decoders of about 150 to 220 KiB each; one open descriptor;
// about 300 bytes for each of the last `uiKeptMembers` members read.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Tamsor {

class ArchiveFile;
class ZIPFileSystemImpl;
struct ArchiveMember;

enum class ReadStatus {
    Ok,
    Encrypted,              // flag bit 0 in the central directory or the local header, or method 99, and no
                            // password given (readability() says it of every encrypted member)
    UnsupportedMethod,      // no decoder here reads its method (stored, deflated, bzip2, LZMA, xz, zstd do)
    NotAFile,               // a directory, hard link, FIFO, socket or device (MemberKind): never read, so that
                            // none of them reads as an empty file; a hard link's bytes are its linked member's
    IoError,                // the archive file could not be opened or read
    BadLocalHeader,         // no local header where the central directory says, or its data does not fit the file
    CorruptData,            // the compressed stream is invalid or cut short
    SizeMismatch,           // the data ends before the size the central directory gives, or goes on past it
    CrcMismatch,            // the member read whole does not have the CRC-32 the central directory gives
    WrongPassword,          // the password given does not open the member
    UnsupportedEncryption,  // an encryption no reader here decrypts (EncryptionKind::Unsupported: PKWARE's strong
                            // encryption, or method 99 without a sound AES field)
    AuthenticationFailed,   // the member read whole does not have its encryption's authentication code
    // Members that readers of the format would read differently (never read, whatever their data):
    Overlapping,          // its bytes overlap another member's or the central directory (MemberFlaw::Overlaps,
                          // or the end that its local header and data descriptor give runs past uiDataLimit)
    AmbiguousName,        // MemberFlaw::NameAmbiguous
    Zip64Mismatch,        // MemberFlaw::Zip64Disagrees
    LocalNameMismatch,    // the local header holds another name than the central directory
    LocalHeaderMismatch,  // the local header gives another method or encryption flag, or (with no data
                          // descriptor announced) another CRC-32 or sizes, than the central directory
    DescriptorMismatch,   // a data descriptor follows the data, with another CRC-32 or sizes
    UnlistedMember,       // a local header that the central directory does not list follows the member's
                          // data, where a reader that walks the local headers would find one more member
};

// What a status means, as a phrase ("CRC mismatch"). Never null.
const char* describeReadStatus(ReadStatus status);

struct MemberReaderOptions {
    // Memory for the restart points of all members. 32 MiB holds the points of about 600 MiB of deflated
    // output at the default interval.
    std::size_t uiRestartBudget = std::size_t(32) << 20;
    // Bytes of output between two restart points. At about 0.9 GB/s of inflating, 1 MiB bounds the extra
    // work of a random read to about 1 ms, and a point (about 54 KiB) costs about 5% of the bytes it covers.
    std::uint64_t uiRestartInterval = std::uint64_t(1) << 20;
    // Decoders kept between reads, so that a read that starts where an earlier one ended goes on without
    // inflating again; at most 4 of them for one member.
    std::size_t uiIdleCursors = 8;
    // The password of encrypted members; empty when none was given.
    std::string password;
    // What the reader learnt of a member (where its data starts, its check's outcome, its verdict, its restart
    // points' index: about 300 bytes) is kept for at most this many members, those read last: a member read
    // again once dropped is checked again (a read of its local header; an encrypted one's key derived anew),
    // and the restart points and decoders it had are no longer found.
    std::size_t uiKeptMembers = 4096;
};

// A snapshot, for tests and benchmarks.
struct MemberReaderStatistics {
    std::size_t uiRestartPoints = 0;    // restart points held within the budget
    std::size_t uiRestartBytes = 0;     // the budget they use
    std::uint64_t uiInflatedBytes = 0;  // bytes decoded since construction, whether handed out or skipped
    std::size_t uiIdleCursors = 0;      // decoders and stored-member CRC chains kept between reads
    std::size_t uiKeptMembers = 0;      // members whose record the reader holds
};

class MemberReader {
  public:
    // A reader of the archive at `archivePath` as `fileSystem` reads archives (bound to it or not), opened now:
    // a file that cannot be opened makes reads fail with IoError.
    MemberReader(const ZIPFileSystemImpl& fileSystem, const std::string& archivePath,
                 const MemberReaderOptions& options = MemberReaderOptions());
    // A reader of `pFile` (null: every read fails with IoError), which it shares.
    explicit MemberReader(std::shared_ptr<const ArchiveFile> pFile,
                          const MemberReaderOptions& options = MemberReaderOptions());
    // Lets go of the file. No read may be running.
    ~MemberReader();

    // Whether `member` can be read at all, from the central directory alone: NotAFile, the index's flaw
    // (Overlapping, AmbiguousName, Zip64Mismatch), UnsupportedEncryption, UnsupportedMethod, then Encrypted
    // (whatever the password: whether a password opens a member is known only from its data), else Ok. Reads
    // nothing.
    static ReadStatus readability(const ArchiveMember& member);
    // Whether a decoder here reads compression method `uiMethod` (stored, deflated, bzip2, LZMA, xz, zstd).
    static bool decodesMethod(std::uint16_t uiMethod);

    // Whether `member` can be read, as far as that is known before its data is: readability(), then its local
    // records against the central directory (LocalNameMismatch, Overlapping, ...), and for an encrypted member
    // with a password given its encryption (UnsupportedEncryption, WrongPassword) in place of Encrypted. The
    // records are read on the first call or read of the member, one or two small reads (and the encryption
    // header, with a key derivation for AES); later calls cost a lookup.
    ReadStatus check(const ArchiveMember& member);

    // Like pread: up to `length` bytes of the member's content from `offset` into `buffer`. Returns the count,
    // less than `length` only at the member's end, 0 at or past the end (or for a length of 0), or -1 on
    // failure. *pStatus, when given, says why (Ok on success). `member` is one of the index's members or a
    // copy of one. Costs, for a deflated member: inflating from the nearest restart point or idle decoder
    // before `offset`, or from the start the first time.
    std::int64_t read(const ArchiveMember& member, void* buffer, std::size_t length, std::uint64_t offset,
                      ReadStatus* pStatus = nullptr);

    // Whether `member`'s bytes have been judged: true once a read found its CRC-32 good or its data bad, with
    // *pVerdict (when given) Ok, CrcMismatch, SizeMismatch, CorruptData or AuthenticationFailed; false while no
    // read has produced the whole member in sequence (a stored member read out of order, or only in part). Reads
    // nothing; O(log n).
    bool hasVerdict(const ArchiveMember& member, ReadStatus* pVerdict = nullptr) const;

    MemberReaderStatistics statistics() const;

    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

  private:
    class Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace Tamsor

#endif
