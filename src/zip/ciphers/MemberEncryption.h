#ifndef TAMSOR_SRC_MEMBERENCRYPTION_H
#define TAMSOR_SRC_MEMBERENCRYPTION_H

// What reading an encrypted member needs once its password is known to be right: where its payload lies within
// its data, the cipher at the payload's start, and whether its CRC-32 is to be checked (WinZip's AE-2 leaves it
// out, its authentication code standing in for it).

#include <cstdint>
#include <memory>
#include <string>

#include "MemberCipher.h"
#include "tamsor/ArchiveFile.h"
#include "tamsor/ArchiveIndex.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {

struct MemberEncryption {
    std::uint64_t uiHeaderSize = 0;   // encryption bytes before the payload
    std::uint64_t uiTrailerSize = 0;  // and after it
    bool bCrcChecked = true;
    std::shared_ptr<const MemberCipher> pStart;  // cloned for each run over the payload
};

// Reads the encryption header of `member` (ZipCrypto or WinZip AES, as member.encryption() says), whose data
// starts at `uiDataOffset` in `file` (its local records checked), and checks `password` against it: Ok with
// `rEncryption` filled, or why the member cannot be decrypted: Encrypted (no password), UnsupportedEncryption,
// BadLocalHeader (data shorter than the encryption's own bytes), SizeMismatch (a stored member whose payload is
// not its size), WrongPassword, IoError. Costs a read of the header (and of the local header's time for ZipCrypto
// with flag bit 3, of the authentication code for AES) and the password's key derivation (for AES, 1000 rounds
// of PBKDF2-HMAC-SHA1). Safe from any thread.
ReadStatus openEncryption(const ArchiveMember& member, const ArchiveFile& file, std::uint64_t uiDataOffset,
                          const std::string& password, MemberEncryption& rEncryption);

}  // namespace Tamsor

#endif
