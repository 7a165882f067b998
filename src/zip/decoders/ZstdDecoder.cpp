#include "ZstdDecoder.h"

#include <zstd.h>

#include <cstring>

namespace Tamsor {

ZstdDecoder::ZstdDecoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState)
    : m_pContext(ZSTD_createDCtx()), m_uiRemaining(setup.uiPayloadSize) {
    // A state is what save() wrote; anything else makes a decoder that fails.
    const bool bStateRight = !pState || pState->size() == sizeof m_uiRemaining;
    if (pState && bStateRight) std::memcpy(&m_uiRemaining, pState->data(), sizeof m_uiRemaining);
    m_bBroken = !m_pContext || !bStateRight;
}

ZstdDecoder::~ZstdDecoder() {
    ZSTD_freeDCtx(m_pContext);
}

// libzstd stops at the end of each frame, which is where a point can be made.
bool ZstdDecoder::decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                         std::size_t& rProduced) {
    rProduced = 0;
    if (m_bBroken) return false;
    ZSTD_inBuffer in = {rpIn, rInLength, 0};
    ZSTD_outBuffer out = {pOut, outLength, 0};
    const std::size_t result = ZSTD_decompressStream(m_pContext, &out, &in);
    rpIn += in.pos;
    rInLength -= in.pos;
    m_uiRemaining -= in.pos;
    rProduced = out.pos;
    m_bBroken = ZSTD_isError(result) != 0;
    // A call that neither took nor gave says nothing of where the decoder stands (libzstd then asks for a frame
    // header, between frames too).
    if (in.pos > 0 || out.pos > 0) m_bAtFrameStart = result == 0;
    return !m_bBroken;
}

void ZstdDecoder::save(std::vector<unsigned char>& rState) const {
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(&m_uiRemaining);
    rState.assign(pBytes, pBytes + sizeof m_uiRemaining);
}

}  // namespace Tamsor
