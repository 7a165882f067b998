#include "ZipCrypto.h"

#include <zlib.h>

namespace Tamsor {

namespace {

// zlib's table of the reflected CRC-32, the one the format's CRC uses: the cipher's keys step with it.
const z_crc_t* const kCrcTable = get_crc_table();

inline std::uint32_t crcStep(std::uint32_t crc, unsigned char uiByte) {
    return static_cast<std::uint32_t>(kCrcTable[(crc ^ uiByte) & 0xff]) ^ (crc >> 8);
}

// A plain byte steps the three keys (the keystream comes from the third). Each byte's keys depend on the byte
// before, which bounds the speed: decrypt keeps the keys in locals for the whole call.
inline void step(std::uint32_t& rKey0, std::uint32_t& rKey1, std::uint32_t& rKey2, unsigned char uiPlain) {
    rKey0 = crcStep(rKey0, uiPlain);
    rKey1 = (rKey1 + (rKey0 & 0xff)) * 134775813 + 1;
    rKey2 = crcStep(rKey2, static_cast<unsigned char>(rKey1 >> 24));
}

}  // namespace

ZipCrypto::ZipCrypto(const std::string& password) {
    for (const char c : password) update(static_cast<unsigned char>(c));
}

bool ZipCrypto::openHeader(unsigned char* pHeader, unsigned char uiCheck) {
    decrypt(pHeader, kHeaderSize);
    return pHeader[kHeaderSize - 1] == uiCheck;
}

void ZipCrypto::decrypt(unsigned char* p, std::size_t length) {
    std::uint32_t key0 = m_uiKey0, key1 = m_uiKey1, key2 = m_uiKey2;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t temp = (key2 | 2) & 0xffff;
        p[i] = static_cast<unsigned char>(p[i] ^ ((temp * (temp ^ 1)) >> 8));
        step(key0, key1, key2, p[i]);
    }
    m_uiKey0 = key0, m_uiKey1 = key1, m_uiKey2 = key2;
}

std::unique_ptr<MemberCipher> ZipCrypto::clone() const {
    return std::unique_ptr<MemberCipher>(new ZipCrypto(*this));
}

void ZipCrypto::update(unsigned char uiPlain) {
    step(m_uiKey0, m_uiKey1, m_uiKey2, uiPlain);
}

}  // namespace Tamsor
