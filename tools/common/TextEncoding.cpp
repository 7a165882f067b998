#include "TextEncoding.h"

#include <cstdint>

namespace Tamsor {
namespace Tool {

namespace {

// The upper half of code page 437, as Unicode code points.
const std::uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void appendUtf8(std::string& rOut, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        rOut += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        rOut += static_cast<char>(0xC0 | codePoint >> 6);
        rOut += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        rOut += static_cast<char>(0xE0 | codePoint >> 12);
        rOut += static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
        rOut += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The length of the sequence that lead byte `lead` starts, and the range its second byte must fall in
// (which excludes overlong forms, surrogates and code points past U+10FFFF); 0 for a byte that leads none.
int sequenceLength(unsigned char lead, unsigned char& rLow, unsigned char& rHigh) {
    rLow = 0x80;
    rHigh = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (lead == 0xE0) rLow = 0xA0;
        if (lead == 0xED) rHigh = 0x9F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (lead == 0xF0) rLow = 0x90;
        if (lead == 0xF4) rHigh = 0x8F;
        return 4;
    }
    return 0;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const std::size_t size = bytes.size();
    for (std::size_t i = 0; i < size;) {
        unsigned char low, high;
        const int length = sequenceLength(static_cast<unsigned char>(bytes[i]), low, high);
        if (length == 0 || size - i < static_cast<std::size_t>(length)) return false;
        for (int k = 1; k < length; ++k) {
            const unsigned char byte = static_cast<unsigned char>(bytes[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return false;
        }
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string cp437ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        appendUtf8(text, byte < 0x80 ? byte : kCp437High[byte - 0x80]);
    }
    return text;
}

NameDecoder::~NameDecoder() {
    if (isOpen()) iconv_close(m_converter);
}

bool NameDecoder::open(const std::string& encoding) {
    if (isOpen()) iconv_close(m_converter);
    m_converter = iconv_open("UTF-8", encoding.c_str());
    return isOpen();
}

bool NameDecoder::decode(std::string_view bytes, std::string& rText) const {
    if (!isOpen()) return false;
    iconv(m_converter, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state for every name
    std::string input(bytes);
    rText.assign(bytes.size() * 4 + 16, '\0');  // no code set takes more than 4 UTF-8 bytes per input byte
    char* pIn = &input[0];
    std::size_t inLeft = input.size();
    char* pOut = &rText[0];
    std::size_t outLeft = rText.size();
    if (iconv(m_converter, &pIn, &inLeft, &pOut, &outLeft) == static_cast<std::size_t>(-1) ||
        iconv(m_converter, nullptr, nullptr, &pOut, &outLeft) == static_cast<std::size_t>(-1))
        return false;
    rText.resize(rText.size() - outLeft);
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
