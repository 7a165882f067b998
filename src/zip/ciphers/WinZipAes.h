#ifndef TAMSOR_SRC_WINZIPAES_H
#define TAMSOR_SRC_WINZIPAES_H

// WinZip's AES encryption of a member's data (method 99 with the AES extra field): a salt (8, 12 or 16 bytes for
// 128-, 192- or 256-bit keys) and a 2-byte password verifier before the payload, a 10-byte authentication code
// after it. PBKDF2-HMAC-SHA1 (1000 iterations) makes, from the password and the salt, the AES key, the HMAC key
// and the verifier; the payload is AES in counter mode, the counter a 16-byte little-endian number that starts
// at 1; the code is the first 10 bytes of HMAC-SHA1 over the encrypted payload. A wrong password passes the
// verifier once in 65,536 times and is then caught by the code. All cryptography is libcrypto's (EVP).
//
// Costs: opening, the key derivation (1000 iterations for each of 2 to 4 SHA-1 outputs: about 1 ms); then AES and
// HMAC-SHA1 over each payload byte (about 0.5 to 0.8 GB/s for AES-256 on the machine this was written on). The
// keystream at any payload offset is the AES of that offset's counter block, so decrypting could start anywhere at no
// cost; the HMAC, though, runs over the payload in order, which is why a restart point keeps a clone (its contexts,
// about 1 KiB) rather than the counter alone.
//
// One thread at a time per cipher; a const cipher may be cloned from several threads at once.

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

#include "MemberCipher.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {

class WinZipAes : public MemberCipher {
  public:
    static const std::size_t kVerifierSize = 2;
    static const std::size_t kCodeSize = 10;

    // The salt's length for keys of `keyLength` bytes (16, 24 or 32).
    static std::size_t saltSize(std::size_t keyLength) { return keyLength / 2; }

    // The cipher at the payload's start, from `password`, the salt and verifier at `pHeader` (saltSize + 2
    // bytes) and the authentication code `pCode` (10 bytes) that the payload must have: Ok with `rpCipher` set;
    // WrongPassword when the verifier differs; UnsupportedEncryption when libcrypto refuses (no SHA-1 or AES).
    static ReadStatus open(std::size_t keyLength, const std::string& password, const unsigned char* pHeader,
                           const unsigned char* pCode, std::unique_ptr<MemberCipher>& rpCipher);

    // Authenticates the bytes, then decrypts them.
    void decrypt(unsigned char* p, std::size_t length) override;
    // Copies the contexts; throws std::bad_alloc when libcrypto cannot allocate.
    std::unique_ptr<MemberCipher> clone() const override;
    bool authenticates() override;
    std::size_t footprint() const override;

  private:
    struct CipherFree {
        void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    };
    struct MacFree {
        void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
    };
    static const std::size_t kBlock = 16;

    WinZipAes() = default;
    bool makeKeystream(unsigned char* p, std::size_t blocks);

    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> m_pAes;  // ECB: the counter blocks are ours
    std::unique_ptr<EVP_MAC_CTX, MacFree> m_pHmac;
    std::uint64_t m_uiNextBlock = 0;         // the payload block whose keystream comes next, from 0 (counter 1)
    unsigned char m_keystream[kBlock] = {};  // of the block before it
    std::size_t m_uiKeystreamUsed = kBlock;  // bytes of that keystream used
    unsigned char m_code[kCodeSize] = {};    // what the payload's HMAC must start with
    bool m_bFailed = false;                  // a libcrypto call failed: the member does not authenticate
};

}  // namespace Tamsor

#endif
