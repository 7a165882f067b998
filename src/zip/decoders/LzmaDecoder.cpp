#include "LzmaDecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Tamsor {

namespace {

const std::uint16_t kEndMarkerFlag = 0x0002;
// liblzma allocates the dictionary whole as a stream begins. However large a stream says it is, no more than the
// member's size is ever looked back into, and no more than the largest that the xz tool writes (1.5 GiB) is
// allocated: a stream that looks back further fails as corrupt.
const std::uint64_t kSmallestDictionary = 4096, kLargestDictionary = std::uint64_t(1536) << 20;

// The properties as liblzma reads them (it checks lc, lp and pb), with `setup`'s end: the marker, or the size.
bool readProperties(const unsigned char* pProperties, const DecoderSetup& setup, lzma_options_lzma& rOptions) {
    lzma_filter filter = {LZMA_FILTER_LZMA1, nullptr};
    if (lzma_properties_decode(&filter, nullptr, pProperties, 5) != LZMA_OK) return false;
    rOptions = *static_cast<lzma_options_lzma*>(filter.options);
    std::free(filter.options);
    const std::uint64_t size = setup.uiFlags & kEndMarkerFlag ? UINT64_MAX : setup.uiSize;
    lzma_set_ext_size(rOptions, size);
    rOptions.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    const std::uint64_t cap = std::clamp(setup.uiSize, kSmallestDictionary, kLargestDictionary);
    rOptions.dict_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(rOptions.dict_size, cap));
    return true;
}

}  // namespace

LzmaDecoder::LzmaDecoder(const DecoderSetup& setup, const std::vector<unsigned char>*) : m_setup(setup) {}

LzmaDecoder::~LzmaDecoder() {
    lzma_end(&m_stream);
}

bool LzmaDecoder::decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                         std::size_t& rProduced) {
    rProduced = 0;
    if (m_bEnded) return true;
    if (!m_bStarted && !takeHeader(rpIn, rInLength)) return false;
    if (!m_bStarted) return true;  // the header goes on in the next input
    m_stream.next_in = rpIn;
    m_stream.avail_in = rInLength;
    m_stream.next_out = pOut;
    m_stream.avail_out = outLength;
    const lzma_ret result = lzma_code(&m_stream, LZMA_RUN);
    rProduced = outLength - m_stream.avail_out;
    rpIn = m_stream.next_in;
    rInLength = m_stream.avail_in;
    m_bEnded = result == LZMA_STREAM_END;
    // LZMA_BUF_ERROR only says that nothing could be done, which the caller sees for itself.
    return result == LZMA_OK || result == LZMA_STREAM_END || result == LZMA_BUF_ERROR;
}

// Gathers the header, which may come in pieces, and starts the stream once it is whole. False when it is invalid.
bool LzmaDecoder::takeHeader(const unsigned char*& rpIn, std::size_t& rInLength) {
    const std::size_t count = std::min(rInLength, kHeaderSize - m_uiHeaderBytes);
    std::memcpy(m_aHeader + m_uiHeaderBytes, rpIn, count);
    m_uiHeaderBytes += count;
    rpIn += count;
    rInLength -= count;
    return m_uiHeaderBytes < kHeaderSize || startStream();
}

bool LzmaDecoder::startStream() {
    lzma_options_lzma options;
    if (m_aHeader[2] != 5 || m_aHeader[3] != 0 || !readProperties(m_aHeader + 4, m_setup, options)) return false;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    m_bStarted = lzma_raw_decoder(&m_stream, filters) == LZMA_OK;
    return m_bStarted;
}

}  // namespace Tamsor
