#ifndef TAMSOR_TOOLS_TEXTENCODING_H
#define TAMSOR_TOOLS_TEXTENCODING_H

// Member names as text: telling UTF-8 from the rest, and decoding names written in code page 437 (the ZIP
// format's default) or in a code set the user names (--encoding, through iconv). Everything here is pure
// and cheap: one pass over the name.

#include <iconv.h>

#include <string>
#include <string_view>

namespace Tamsor {
namespace Tool {

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF. Pure ASCII is.
bool isValidUtf8(std::string_view bytes);

// `bytes` read as code page 437: bytes below 0x80 as they are (ASCII, control bytes included), the upper
// half as the characters the IBM PC showed for them, in UTF-8.
std::string cp437ToUtf8(std::string_view bytes);

// Decodes names from one code set into UTF-8 through iconv. Without open() (or after a failed one) it
// decodes nothing. One thread at a time (iconv keeps state); each decode costs one iconv call.
class NameDecoder {
  public:
    NameDecoder() = default;
    ~NameDecoder();
    NameDecoder(const NameDecoder&) = delete;
    NameDecoder& operator=(const NameDecoder&) = delete;

    // False when iconv knows no conversion from `encoding` to UTF-8.
    bool open(const std::string& encoding);
    bool isOpen() const { return m_converter != reinterpret_cast<iconv_t>(-1); }
    // `bytes` in UTF-8; false (and `rText` unspecified) when they are not text of that code set.
    bool decode(std::string_view bytes, std::string& rText) const;

  private:
    iconv_t m_converter = reinterpret_cast<iconv_t>(-1);
};

}  // namespace Tool
}  // namespace Tamsor

#endif
