#include "MemberEncryption.h"

#include "WinZipAes.h"
#include "ZipCrypto.h"

namespace Tamsor {

namespace {

const std::uint16_t kDescriptorFlag = 0x0008;
const std::uint64_t kLocalTimeOffset = 10;  // of the MS-DOS time in a local header

// The header's last byte, as its writer set it: the high byte of the CRC-32, unknown to a writer that puts the
// CRC-32 after the data (flag bit 3), which then takes the high byte of the local header's MS-DOS time.
ReadStatus checkByteOf(const ArchiveMember& member, const ArchiveFile& file, unsigned char& rCheck) {
    rCheck = static_cast<unsigned char>(member.uiCrc32 >> 24);
    if ((member.uiFlags & kDescriptorFlag) == 0) return ReadStatus::Ok;
    unsigned char time[2];
    if (!file.readAt(member.uiLocalHeaderOffset + kLocalTimeOffset, time, sizeof(time))) return ReadStatus::IoError;
    rCheck = time[1];
    return ReadStatus::Ok;
}

ReadStatus openZipCrypto(const ArchiveMember& member, const ArchiveFile& file, std::uint64_t uiDataOffset,
                         const std::string& password, MemberEncryption& rEncryption) {
    unsigned char header[ZipCrypto::kHeaderSize], check = 0;
    if (!file.readAt(uiDataOffset, header, sizeof(header))) return ReadStatus::IoError;
    const ReadStatus status = checkByteOf(member, file, check);
    if (status != ReadStatus::Ok) return status;
    std::shared_ptr<ZipCrypto> pCipher = std::make_shared<ZipCrypto>(password);
    if (!pCipher->openHeader(header, check)) return ReadStatus::WrongPassword;
    rEncryption.uiHeaderSize = ZipCrypto::kHeaderSize;
    rEncryption.pStart = std::move(pCipher);
    return ReadStatus::Ok;
}

ReadStatus openAes(const ArchiveMember& member, const ArchiveFile& file, std::uint64_t uiDataOffset,
                   const std::string& password, MemberEncryption& rEncryption) {
    const std::size_t keyLength = 8 + 8 * member.uiAesStrength;
    const std::size_t headerSize = WinZipAes::saltSize(keyLength) + WinZipAes::kVerifierSize;
    unsigned char header[16 + WinZipAes::kVerifierSize], code[WinZipAes::kCodeSize];
    if (!file.readAt(uiDataOffset, header, headerSize) ||
        !file.readAt(uiDataOffset + member.uiCompressedSize - sizeof(code), code, sizeof(code)))
        return ReadStatus::IoError;
    std::unique_ptr<MemberCipher> pCipher;
    const ReadStatus status = WinZipAes::open(keyLength, password, header, code, pCipher);
    if (status != ReadStatus::Ok) return status;
    rEncryption.uiHeaderSize = headerSize;
    rEncryption.uiTrailerSize = sizeof(code);
    rEncryption.bCrcChecked = member.uiAesVersion == 1;  // AE-2 leaves the CRC-32 out (0)
    rEncryption.pStart = std::move(pCipher);
    return ReadStatus::Ok;
}

// The encryption's own bytes before and after the payload.
std::uint64_t overheadOf(EncryptionKind kind, std::uint8_t uiAesStrength) {
    if (kind == EncryptionKind::ZipCrypto) return ZipCrypto::kHeaderSize;
    const std::size_t keyLength = 8 + 8 * uiAesStrength;
    return WinZipAes::saltSize(keyLength) + WinZipAes::kVerifierSize + WinZipAes::kCodeSize;
}

}  // namespace

ReadStatus openEncryption(const ArchiveMember& member, const ArchiveFile& file, std::uint64_t uiDataOffset,
                          const std::string& password, MemberEncryption& rEncryption) {
    const EncryptionKind kind = member.encryption();
    if (password.empty()) return ReadStatus::Encrypted;
    if (kind != EncryptionKind::ZipCrypto && kind != EncryptionKind::Aes128 && kind != EncryptionKind::Aes192 &&
        kind != EncryptionKind::Aes256)
        return ReadStatus::UnsupportedEncryption;
    // The local records' check has made sure that the data lies within the file.
    const std::uint64_t overhead = overheadOf(kind, member.uiAesStrength);
    if (member.uiCompressedSize < overhead) return ReadStatus::BadLocalHeader;
    // A stored member's payload is its content, whose size the central directory gives.
    if (member.compressionMethod() == 0 && member.uiCompressedSize - overhead != member.uiSize)
        return ReadStatus::SizeMismatch;
    rEncryption = MemberEncryption();
    return kind == EncryptionKind::ZipCrypto ? openZipCrypto(member, file, uiDataOffset, password, rEncryption)
                                             : openAes(member, file, uiDataOffset, password, rEncryption);
}

}  // namespace Tamsor
