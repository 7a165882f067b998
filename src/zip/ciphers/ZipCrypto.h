#ifndef TAMSOR_SRC_ZIPCRYPTO_H
#define TAMSOR_SRC_ZIPCRYPTO_H

// The traditional PKWARE cipher ("ZipCrypto"): three 32-bit keys, set from the password and then updated by every
// plain byte with the CRC-32 table, make one keystream byte at a time. A member's data starts with a 12-byte
// encryption header, decrypted first; only its last byte can be checked (against the high byte of the CRC-32, or
// of the MS-DOS time when the CRC-32 follows the data), so a wrong password passes that check once in 256 times
// and is caught by the CRC-32 at the member's end. The cipher authenticates nothing: the CRC-32 stands for it.
//
// The keys depend on every byte before: the cipher at an offset is had only by going there, hence clone() (12
// bytes). Each byte waits on the one before: about 120 MB/s on the machine this was written on, slower than
// inflating. One thread at a time.

#include <cstdint>
#include <string>

#include "MemberCipher.h"

namespace Tamsor {

class ZipCrypto : public MemberCipher {
  public:
    static const std::size_t kHeaderSize = 12;

    // The keys set from `password` (its bytes as given).
    explicit ZipCrypto(const std::string& password);

    // Decrypts the encryption header in place: whether its last byte is `uiCheck`. The cipher then stands at
    // the payload's start.
    bool openHeader(unsigned char* pHeader, unsigned char uiCheck);

    void decrypt(unsigned char* p, std::size_t length) override;
    std::unique_ptr<MemberCipher> clone() const override;
    bool authenticates() override { return true; }
    std::size_t footprint() const override { return sizeof(*this); }

  private:
    void update(unsigned char uiPlain);

    std::uint32_t m_uiKey0 = 0x12345678;
    std::uint32_t m_uiKey1 = 0x23456789;
    std::uint32_t m_uiKey2 = 0x34567890;
};

}  // namespace Tamsor

#endif
