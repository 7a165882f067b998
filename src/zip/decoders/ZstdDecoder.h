#ifndef TAMSOR_SRC_ZSTDDECODER_H
#define TAMSOR_SRC_ZSTDDECODER_H

// Zstandard (method 93) with libzstd's streaming decoder: one or more frames, skippable frames skipped, each
// frame's checksum checked when it has one. The stream ends where the member's payload does, at a frame's end.
//
// Restart points lie at frame starts, where a fresh decoder begins: a random read costs decoding from the start
// of its frame. The zstd tool writes one frame per file (its -T and -B options cut blocks inside that frame, not
// frames), so random reads are cheap only in members made of several frames (outputs concatenated, or written
// by seekable writers), and cost decoding from the member's start in a one-frame member. A saved state is the
// payload bytes still to come (8 bytes, and about 100 more in the point).
//
// One thread at a time. Memory: about 95 KiB of context, plus buffers for the frame's window (at most the frame's
// size when it says its size) and one block (at most 128 KiB). Frames that ask for a window over 128 MiB
// (libzstd's default limit; `zstd --long=28` and up writing a pipe, measured) are refused as corrupt, as the zstd
// tool refuses them without --memory.

#include "Decoder.h"

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace Tamsor {

class ZstdDecoder : public Decoder {
  public:
    // At the payload's start, or at the frame start where `pState` was saved (by a ZstdDecoder of this member).
    ZstdDecoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState);
    ~ZstdDecoder() override;

    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override;
    bool isFinished() const override { return m_bAtFrameStart && m_uiRemaining == 0; }
    bool canSave() const override { return m_bAtFrameStart; }
    void save(std::vector<unsigned char>& rState) const override;

    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

  private:
    ZSTD_DCtx* m_pContext;
    std::uint64_t m_uiRemaining;  // payload bytes not taken yet
    bool m_bAtFrameStart = true;  // between frames, with nothing held
    bool m_bBroken = false;
};

}  // namespace Tamsor

#endif
