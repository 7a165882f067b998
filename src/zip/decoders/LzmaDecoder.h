#ifndef TAMSOR_SRC_LZMADECODER_H
#define TAMSOR_SRC_LZMADECODER_H

// LZMA (method 14) with liblzma's raw LZMA1 decoder. A member's data starts with 2 version bytes, a 2-byte size of
// the properties (5), the properties (lc/lp/pb and the dictionary size), then the stream. Flag bit 1 says the
// stream ends with an end marker; without it the stream ends at the member's size, which liblzma is told (an end
// marker right there is taken too).
//
// An LZMA stream has no boundaries to restart at, so no point is ever made: a read behind every idle decoder of
// its member decodes from the member's start; reads in sequence go on with the idle decoder. Trailing bytes after
// the stream are left alone, as with deflate.
//
// One thread at a time. Memory: the dictionary (the properties' size, but at least 4 KiB and at most the member's
// size and 1.5 GiB) and about 65 KiB more (liblzma's estimate).

#include <lzma.h>

#include "Decoder.h"

namespace Tamsor {

class LzmaDecoder : public Decoder {
  public:
    // At the stream's start; `pState` is ignored (no state is ever saved).
    LzmaDecoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState);
    ~LzmaDecoder() override;

    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override;
    bool isFinished() const override { return m_bEnded; }
    bool canSave() const override { return false; }
    void save(std::vector<unsigned char>& rState) const override { rState.clear(); }

    LzmaDecoder(const LzmaDecoder&) = delete;
    LzmaDecoder& operator=(const LzmaDecoder&) = delete;

  private:
    static const std::size_t kHeaderSize = 9;  // version, properties' size, properties

    bool takeHeader(const unsigned char*& rpIn, std::size_t& rInLength);
    bool startStream();

    const DecoderSetup m_setup;
    unsigned char m_aHeader[kHeaderSize] = {};
    std::size_t m_uiHeaderBytes = 0;
    bool m_bStarted = false;  // the header is read and m_stream decodes
    bool m_bEnded = false;
    lzma_stream m_stream = LZMA_STREAM_INIT;
};

}  // namespace Tamsor

#endif
