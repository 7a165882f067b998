#ifndef TAMSOR_SRC_XZDECODER_H
#define TAMSOR_SRC_XZDECODER_H

// xz (method 95) with liblzma, block by block: the stream header, each block (its header, then liblzma's block
// decoder, which checks the block's sizes and its CRC-32, CRC-64 or SHA-256), then the index (XzIndexCheck) and
// the footer, checked against the header and the index as liblzma checks them. Several streams may follow one
// another, with zero padding in groups of 4 bytes between and after them; the member's payload ends after a
// stream's footer and its padding.
//
// Restart points lie at block starts, where a fresh block decoder begins; a saved state is the stream's check
// type, the tally of its blocks so far and the payload bytes still to come (40 bytes, and about 100 more in the
// point). A random read costs decoding from the start of its block: one block at most. Blocks are as big as the
// writer made them: `xz` and Python's lzma write one block per stream (reads then decode from the member's start),
// `xz -T` blocks of three times the dictionary size, at least 1 MiB (24 MiB at the default level -6), and
// `xz --block-size=N` blocks of N bytes.
//
// One thread at a time. Memory: the block's dictionary (as its header says, but at least 4 KiB and at most the
// member's size and 1.5 GiB) and about 65 KiB more (liblzma's estimate).

#include <lzma.h>

#include "Decoder.h"
#include "XzIndexCheck.h"

namespace Tamsor {

class XzDecoder : public Decoder {
  public:
    // At the payload's start, or at the block start where `pState` was saved (by an XzDecoder of this member).
    XzDecoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState);
    ~XzDecoder() override;

    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override;
    bool isFinished() const override;
    bool canSave() const override { return m_phase == Phase::BlockOrIndex; }
    void save(std::vector<unsigned char>& rState) const override;

    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

  private:
    enum class Phase { StreamHeader, BlockOrIndex, BlockHeader, Block, Index, Footer, Padding, Broken };

    bool advance(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                 std::size_t& rProduced);
    bool gather(const unsigned char*& rpIn, std::size_t& rInLength, std::size_t size);
    bool startStream();
    bool choose(unsigned char byte);
    bool startBlock();
    bool decodeBlock(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                     std::size_t& rProduced);
    bool readIndex(const unsigned char*& rpIn, std::size_t& rInLength);
    bool endStream();
    bool skipPadding(const unsigned char*& rpIn, std::size_t& rInLength);
    void restore(const std::vector<unsigned char>& state);
    bool fail();

    const std::uint64_t m_uiDictionaryCap;
    std::uint64_t m_uiRemaining;  // payload bytes not taken yet
    Phase m_phase = Phase::StreamHeader;
    lzma_stream_flags m_flags = {};  // the stream header's
    XzTally m_tally;                 // the stream's blocks so far
    XzIndexReader m_index;
    lzma_block m_block = {};
    std::uint32_t m_uiPadding = 0;            // zero bytes after the last footer, modulo 4
    unsigned char m_aBuffer[1024] = {};       // a stream or block header, or a footer, as it comes in
    std::size_t m_uiBuffered = 0;             // bytes of it so far
    lzma_stream m_stream = LZMA_STREAM_INIT;  // the block decoder
};

}  // namespace Tamsor

#endif
