#include "WinZipAes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include <algorithm>
#include <new>

namespace Tamsor {

namespace {

const int kIterations = 1000;
const std::size_t kMaxKey = 32;
// Keystream made at a time, on the stack: few enough libcrypto calls, nothing kept between decrypt calls.
const std::size_t kBatch = 4096;

const EVP_CIPHER* aesEcb(std::size_t keyLength) {
    return keyLength == 16 ? EVP_aes_128_ecb() : keyLength == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
}

EVP_MAC_CTX* newHmac(const unsigned char* pKey, std::size_t length) {
    EVP_MAC* pMac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
    EVP_MAC_CTX* pContext = pMac ? EVP_MAC_CTX_new(pMac) : nullptr;
    EVP_MAC_free(pMac);  // the context holds its own reference
    char digest[] = OSSL_DIGEST_NAME_SHA1;
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (pContext && EVP_MAC_init(pContext, pKey, length, params) == 1) return pContext;
    EVP_MAC_CTX_free(pContext);
    return nullptr;
}

}  // namespace

ReadStatus WinZipAes::open(std::size_t keyLength, const std::string& password, const unsigned char* pHeader,
                           const unsigned char* pCode, std::unique_ptr<MemberCipher>& rpCipher) {
    // The AES key, the HMAC key, the verifier.
    unsigned char keys[2 * kMaxKey + kVerifierSize];
    const std::size_t derived = 2 * keyLength + kVerifierSize;
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), pHeader,
                          static_cast<int>(saltSize(keyLength)), kIterations, EVP_sha1(), static_cast<int>(derived),
                          keys) != 1)
        return ReadStatus::UnsupportedEncryption;
    const bool bRight = std::equal(keys + 2 * keyLength, keys + derived, pHeader + saltSize(keyLength));
    std::unique_ptr<WinZipAes> pCipher(new WinZipAes);
    bool bReady = false;
    if (bRight) {
        pCipher->m_pAes.reset(EVP_CIPHER_CTX_new());
        pCipher->m_pHmac.reset(newHmac(keys + keyLength, keyLength));
        bReady = pCipher->m_pAes && pCipher->m_pHmac &&
                 EVP_EncryptInit_ex(pCipher->m_pAes.get(), aesEcb(keyLength), nullptr, keys, nullptr) == 1 &&
                 EVP_CIPHER_CTX_set_padding(pCipher->m_pAes.get(), 0) == 1;
    }
    OPENSSL_cleanse(keys, sizeof(keys));
    if (!bRight) return ReadStatus::WrongPassword;
    if (!bReady) return ReadStatus::UnsupportedEncryption;
    std::copy(pCode, pCode + kCodeSize, pCipher->m_code);
    rpCipher = std::move(pCipher);
    return ReadStatus::Ok;
}

void WinZipAes::decrypt(unsigned char* p, std::size_t length) {
    m_bFailed |= EVP_MAC_update(m_pHmac.get(), p, length) != 1;
    for (; length > 0 && m_uiKeystreamUsed < kBlock; --length) *p++ ^= m_keystream[m_uiKeystreamUsed++];
    unsigned char stream[kBatch];
    while (length >= kBlock) {
        const std::size_t bytes = std::min(kBatch, length / kBlock * kBlock);
        m_bFailed |= !makeKeystream(stream, bytes / kBlock);
        for (std::size_t i = 0; i < bytes; ++i) p[i] ^= stream[i];
        p += bytes, length -= bytes;
    }
    if (length == 0) return;
    m_bFailed |= !makeKeystream(m_keystream, 1);
    for (m_uiKeystreamUsed = 0; m_uiKeystreamUsed < length; ++m_uiKeystreamUsed)
        p[m_uiKeystreamUsed] ^= m_keystream[m_uiKeystreamUsed];
}

// The AES of the next `blocks` counter blocks, in place.
bool WinZipAes::makeKeystream(unsigned char* p, std::size_t blocks) {
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t counter = ++m_uiNextBlock;  // block n has counter n + 1
        for (std::size_t i = 0; i < kBlock; ++i)
            p[b * kBlock + i] = static_cast<unsigned char>(i < 8 ? counter >> (8 * i) : 0);
    }
    int written = 0;
    return EVP_EncryptUpdate(m_pAes.get(), p, &written, p, static_cast<int>(blocks * kBlock)) == 1 &&
           written == static_cast<int>(blocks * kBlock);
}

std::unique_ptr<MemberCipher> WinZipAes::clone() const {
    std::unique_ptr<WinZipAes> pCopy(new WinZipAes);
    pCopy->m_pAes.reset(EVP_CIPHER_CTX_new());
    pCopy->m_pHmac.reset(EVP_MAC_CTX_dup(m_pHmac.get()));
    if (!pCopy->m_pAes || !pCopy->m_pHmac || EVP_CIPHER_CTX_copy(pCopy->m_pAes.get(), m_pAes.get()) != 1)
        throw std::bad_alloc();
    pCopy->m_uiNextBlock = m_uiNextBlock;
    std::copy(m_keystream, m_keystream + kBlock, pCopy->m_keystream);
    pCopy->m_uiKeystreamUsed = m_uiKeystreamUsed;
    std::copy(m_code, m_code + kCodeSize, pCopy->m_code);
    pCopy->m_bFailed = m_bFailed;
    return std::unique_ptr<MemberCipher>(pCopy.release());
}

bool WinZipAes::authenticates() {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    return !m_bFailed && EVP_MAC_final(m_pHmac.get(), mac, &length, sizeof(mac)) == 1 && length >= kCodeSize &&
           CRYPTO_memcmp(mac, m_code, kCodeSize) == 0;
}

// libcrypto's contexts are opaque: an estimate for an AES key schedule and an HMAC's three SHA-1 states, with
// the structures around them.
std::size_t WinZipAes::footprint() const {
    return sizeof(*this) + 1024;
}

}  // namespace Tamsor
