#ifndef TAMSOR_TOOLS_NAMECHARSET_H
#define TAMSOR_TOOLS_NAMECHARSET_H

// The code page of the names an archive stores without saying which (no UTF-8 flag, not valid UTF-8), guessed
// once for the whole archive from all of them together: one name says too little, and the names of one archive
// were written by one system in one code page (the OEM code page of the Windows that made it: what 7-Zip and
// Explorer write).
//
// How (the numbers were measured on real file names, see NameCharset.cpp): ICU's charset detector looks at the
// names twice, as stored and recoded from CP866 into windows-1251 (the detector knows none of the DOS code
// pages, but Russian names written in CP866 read as Russian once recoded). A guess counts only for the code
// pages taken here (Japanese, Chinese, Korean, Cyrillic; never the Western ones, whose bytes the detector cannot
// tell from CP437's or CP850's) and with enough confidence; the best one that decodes the sampled names into
// letters, digits, punctuation and the like wins (a name that is not text of it at all stays code page 437). No guess
// when the names hold fewer than kMinHighBytes bytes above 0x7F: the caller keeps code page 437 then.

#include <unicode/ucnv.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Tamsor {
namespace Tool {

// Fewer bytes above 0x7F than this in all the names together say too little to go on (about 8 CJK characters
// or 16 Cyrillic letters).
const std::size_t kMinHighBytes = 16;
// At most this many bytes of names are looked at: the guess costs two passes of the detector over them (4 to 7 ms
// for a full sample, measured with -O2 on this project's machine).
const std::size_t kSampleBytes = 8192;

// The names a guess is made from: every stored name that is not valid UTF-8 (pure ASCII is), each followed by
// "\n", until the next would pass kSampleBytes. The flag is not asked: a flagged name that is not UTF-8 is
// broken anyway, and a look at part of an archive sees only the stored names. One thread; O(name) per add().
class NameSample {
  public:
    void add(std::string_view storedName);
    std::string_view bytes() const { return m_strBytes; }
    std::size_t highBytes() const { return m_uiHighBytes; }

  private:
    std::string m_strBytes;
    std::size_t m_uiHighBytes = 0;
    bool m_bFull = false;
};

// The guessed code page, and the decoding of names from it. One thread at a time (the converter keeps state).
class NameCharset {
  public:
    // Guesses from `sample`: two passes of ICU's detector over at most kSampleBytes, and a decoding of the
    // sample for each candidate tried (at most a handful).
    explicit NameCharset(const NameSample& sample);

    bool isKnown() const { return m_pConverter != nullptr; }
    // ICU's name of the code page ("ibm-943_P15A-2003" for Windows' Shift_JIS); "" when none was guessed.
    std::string name() const;
    // `bytes` in UTF-8; false (and `rText` unspecified) when none was guessed or they are not text of it.
    bool decode(std::string_view bytes, std::string& rText) const;

  private:
    struct Closer {
        void operator()(UConverter* pConverter) const { ucnv_close(pConverter); }
    };
    std::unique_ptr<UConverter, Closer> m_pConverter;
};

}  // namespace Tool
}  // namespace Tamsor

#endif
