#include "NameCharset.h"

#include <unicode/uchar.h>
#include <unicode/ucsdet.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <vector>

#include "TextEncoding.h"

namespace Tamsor {
namespace Tool {

namespace {

// What the thresholds rest on: names of office files, photos and folders as people write them, in Shift_JIS,
// EUC-JP, GBK, EUC-KR, CP866, windows-1251, KOI8-R, CP437 and CP850, 300 random draws of 1 to 36 names each.
// The detector's confidence in a multibyte code page stays at 10 until it has seen more than ten double-byte
// characters, then lies between 35 and 100 for the right one; for Russian (as stored, or recoded from CP866) it
// lies between 11 and 56, median 27, however many names. Western names in CP437 or CP850 never gave a Cyrillic or
// multibyte guess (their best: windows-1252 or ISO-8859-1, up to 63), while Japanese and Chinese names drew
// Cyrillic and Korean guesses up to 64 that only the check of the decoded characters turned down. With these
// values and that check no draw took a wrong family; within one family EUC-JP names were taken for GB18030 or
// EUC-KR in up to 3 draws of 10 of 2 to 5 names (none of 12), and KOI8-R names for windows-1251 in 4 of 300 draws
// of 2. Draws of 5 names were read right in 76% (Russian) to 100% (Chinese, Korean) of the cases, of 12 always;
// the rest stayed code page 437, as a single short name does.
const std::int32_t kMultibyteConfidence = 30;
const std::int32_t kCyrillicConfidence = 20;

// The detector's names of the code pages taken, and the converters that read them: for the East Asian ones
// Windows' own supersets, which is what Windows zip tools write (CP932, CP936 within GB18030, CP949, CP950).
struct Family {
    const char* detected;
    const char* converter;
    std::int32_t minConfidence;
};
const Family kFamilies[] = {
    {"Shift_JIS", "windows-31j", kMultibyteConfidence}, {"GB18030", "GB18030", kMultibyteConfidence},
    {"EUC-KR", "windows-949", kMultibyteConfidence},    {"Big5", "windows-950", kMultibyteConfidence},
    {"EUC-JP", "EUC-JP", kMultibyteConfidence},         {"windows-1251", "windows-1251", kCyrillicConfidence},
    {"KOI8-R", "KOI8-R", kCyrillicConfidence},          {"ISO-8859-5", "ISO-8859-5", kCyrillicConfidence},
};
// What a windows-1251 guess on the names recoded from CP866 means.
const char kCp866[] = "ibm-866";

struct Candidate {
    const char* converter;
    std::int32_t confidence;
};

struct DetectorCloser {
    void operator()(UCharsetDetector* pDetector) const { ucsdet_close(pDetector); }
};
typedef std::unique_ptr<UCharsetDetector, DetectorCloser> DetectorPtr;

// Every guess of the detector on `bytes` that names a code page taken here with its confidence, as
// kFamilies' converter; when `pAs` is given, only windows-1251 counts, as that converter.
void addGuesses(UCharsetDetector* pDetector, std::string_view bytes, const char* pAs,
                std::vector<Candidate>& rCandidates) {
    UErrorCode status = U_ZERO_ERROR;
    ucsdet_setText(pDetector, bytes.data(), static_cast<std::int32_t>(bytes.size()), &status);
    std::int32_t count = 0;
    const UCharsetMatch** ppMatches = ucsdet_detectAll(pDetector, &count, &status);
    if (U_FAILURE(status)) return;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string_view name = ucsdet_getName(ppMatches[i], &status);
        const std::int32_t confidence = ucsdet_getConfidence(ppMatches[i], &status);
        for (const Family& family : kFamilies) {
            if (name != family.detected || confidence < family.minConfidence) continue;
            if (pAs && name != "windows-1251") continue;
            rCandidates.push_back(Candidate{pAs ? pAs : family.converter, confidence});
        }
    }
}

// `bytes` read as CP866 and written as windows-1251 (what has no place there becomes its substitute byte).
std::string recodedFromCp866(std::string_view bytes) {
    std::string recoded(bytes.size() + 16, '\0');
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length =
        ucnv_convert("windows-1251", kCp866, &recoded[0], static_cast<std::int32_t>(recoded.size()), bytes.data(),
                     static_cast<std::int32_t>(bytes.size()), &status);
    recoded.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
    return recoded;
}

// A converter that stops at the first byte sequence its code page does not have, or null.
UConverter* openStrict(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* pConverter = ucnv_open(name, &status);
    if (U_FAILURE(status)) return nullptr;
    ucnv_setToUCallBack(pConverter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_SUCCESS(status)) return pConverter;
    ucnv_close(pConverter);
    return nullptr;
}

bool toUtf16(UConverter* pConverter, std::string_view bytes, std::u16string& rText) {
    rText.assign(bytes.size() * 2 + 2, u'\0');  // no code page here takes more than two units for a byte
    UErrorCode status = U_ZERO_ERROR;
    ucnv_resetToUnicode(pConverter);
    const std::int32_t length = ucnv_toUChars(pConverter, &rText[0], static_cast<std::int32_t>(rText.size()),
                                              bytes.data(), static_cast<std::int32_t>(bytes.size()), &status);
    if (U_FAILURE(status)) return false;
    rText.resize(static_cast<std::size_t>(length));
    return true;
}

// What a file name may hold beyond ASCII: anything but control, format, unassigned and private characters,
// line and paragraph separators, and box drawing and block elements (what a wrong DOS code page shows).
bool isNameCharacter(UChar32 c) {
    const std::uint32_t kinds = U_GC_C_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK;
    return (U_GET_GC_MASK(c) & kinds) == 0 && (c < 0x2500 || c > 0x259F);
}

// Whether every name of the sample that decodes holds only name characters. A name that does not decode is left
// to code page 437 alone: the detector itself gives no confidence to a multibyte guess when more than one
// character in 20 is not of its code page, and one name from elsewhere should not cost the others their text.
bool readsAsNames(UConverter* pConverter, std::string_view sample) {
    std::u16string text;
    for (std::size_t start = 0, end; start < sample.size(); start = end + 1) {
        end = std::min(sample.find('\n', start), sample.size());
        if (!toUtf16(pConverter, sample.substr(start, end - start), text)) continue;
        for (std::size_t i = 0; i < text.size();) {
            UChar32 c;
            U16_NEXT(text.data(), i, text.size(), c);
            if (c >= 0x80 && !isNameCharacter(c)) return false;
        }
    }
    return true;
}

}  // namespace

void NameSample::add(std::string_view storedName) {
    if (m_bFull || isValidUtf8(storedName)) return;
    if (m_strBytes.size() + storedName.size() + 1 > kSampleBytes) {
        m_bFull = true;  // later names would only bias the sample towards short ones
        return;
    }
    m_strBytes.append(storedName).push_back('\n');
    m_uiHighBytes += static_cast<std::size_t>(
        std::count_if(storedName.begin(), storedName.end(), [](char c) { return (c & 0x80) != 0; }));
}

NameCharset::NameCharset(const NameSample& sample) {
    if (sample.highBytes() < kMinHighBytes) return;
    UErrorCode status = U_ZERO_ERROR;
    const DetectorPtr pDetector(ucsdet_open(&status));
    if (U_FAILURE(status)) return;
    std::vector<Candidate> candidates;
    addGuesses(pDetector.get(), sample.bytes(), nullptr, candidates);
    const std::string recoded = recodedFromCp866(sample.bytes());
    addGuesses(pDetector.get(), recoded, kCp866, candidates);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.confidence > b.confidence; });
    for (const Candidate& candidate : candidates) {
        m_pConverter.reset(openStrict(candidate.converter));
        if (m_pConverter && readsAsNames(m_pConverter.get(), sample.bytes())) return;
        m_pConverter.reset();
    }
}

std::string NameCharset::name() const {
    UErrorCode status = U_ZERO_ERROR;
    return isKnown() ? ucnv_getName(m_pConverter.get(), &status) : "";
}

bool NameCharset::decode(std::string_view bytes, std::string& rText) const {
    std::u16string text;
    if (!isKnown() || !toUtf16(m_pConverter.get(), bytes, text)) return false;
    rText.assign(text.size() * 3 + 1, '\0');  // a UTF-16 unit takes at most three UTF-8 bytes
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = 0;
    u_strToUTF8(&rText[0], static_cast<std::int32_t>(rText.size()), &length, text.data(),
                static_cast<std::int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return false;
    rText.resize(static_cast<std::size_t>(length));
    return true;
}

}  // namespace Tool
}  // namespace Tamsor
