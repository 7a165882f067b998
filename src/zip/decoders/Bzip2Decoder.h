#ifndef TAMSOR_SRC_BZIP2DECODER_H
#define TAMSOR_SRC_BZIP2DECODER_H

// bzip2 (method 12) with libbz2, one or more streams one after another (as pbzip2 writes them), with a restart
// point possible at the start of every block.
//
// Blocks are independent, but libbz2's state (several MiB, opaque) cannot be saved, so a point can only be where
// libbz2 starts afresh: a block's start. This decoder therefore decodes every block alone, whether it comes from
// the member's start or from a point: a fresh libbz2 is given "BZh" and the stream's level, then the block's own
// bits from its 48-bit magic on, re-aligned to bytes. One path for every block, and a point is just the bits
// where its block starts (22 bytes of state). Decoding each stream whole with libbz2 would need the same
// re-aligning after a restore anyway, and libbz2 would then check the stream's CRC over only the blocks it saw.
// The price, setting libbz2 up once per block and looking for magics at every bit position, measured about 5 to
// 10% more time than libbz2 alone on a stream of the same blocks.
//
// Where a block ends is found by the magics that may follow it (the next block's, or the end of the stream's),
// at any bit position; their pattern can also occur inside a block's bits, by chance or made so. libbz2 gives
// nothing of a block before it has the whole block, and then all of it without wanting another byte. So bits
// are fed only up to each place where a pattern begins (in whole bytes, the last one completed with the bits
// that follow it): if libbz2 has then given output, the block ended there; if not, the pattern was the block's
// data and feeding goes on. Every bit fed is the stream's own, so a pattern inside a block changes nothing.
//
// Checks: libbz2 checks each block's CRC when the block's output ends: the read that takes a damaged block's last
// byte fails, but one that ends before may get wrong bytes of it (as with deflate; the member's CRC-32 fails the
// read that completes the member). The stream's combined CRC is checked here, from the blocks' CRCs. A payload
// without any stream is invalid, as is anything after the last stream: the streams end where the payload does.
//
// Costs: a read from a point decodes from the start of its block; the reader leaves points at the first block
// start past each interval, so once the member has been read that far a random read costs at most an interval
// plus a block of output. A block holds at most 100 kB per level of run-length-coded input: that much output
// (900 kB at level 9) for data without runs of four or more equal bytes, up to about 50 times more for data of
// long runs. Memory: libbz2 while a block is decoded, about 100 kB + 400 kB per level (3.7 MB at level 9,
// released when the block ends), plus 4 KiB here; a point keeps 22 bytes of state (about 150 bytes in all).
//
// One thread at a time.

#include <bzlib.h>

#include <cstdint>

#include "Decoder.h"

namespace Tamsor {

class Bzip2Decoder : public Decoder {
  public:
    // At the payload's start, or at the block start where `pState` was saved (by a Bzip2Decoder of this member).
    Bzip2Decoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState);
    ~Bzip2Decoder() override;

    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override;
    bool isFinished() const override;
    bool canSave() const override { return m_phase == Phase::BlockStart; }
    void save(std::vector<unsigned char>& rState) const override;

    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

  private:
    enum class Phase { StreamHeader, Magic, BlockStart, Block, StreamCrc, Broken };
    enum class Next { Continue, Return };

    Next step(unsigned char*& rpOut, std::size_t& rRoom, std::size_t& rProduced);
    Next readStreamHeader();
    Next readMagic();
    Next openBlock();
    Next runBlock(unsigned char*& rpOut, std::size_t& rRoom, std::size_t& rProduced);
    Next endBlock();
    Next readStreamCrc();
    Next fail();
    bool feedBits();
    bool pump(unsigned char* pOut, std::size_t room, std::size_t& rProduced);
    unsigned int magicAfterFront() const;
    bool fill(unsigned int bits);
    std::uint64_t peek(unsigned int offset, unsigned int bits) const;
    void drop(unsigned int bits);
    void closeLibrary();

    // The payload bits taken from the input and not yet passed on, the oldest (the front) highest.
    std::uint64_t m_uiBits = 0;
    unsigned int m_uiBitCount = 0;
    // The input of the decode() call running, and the payload bytes not taken yet.
    const unsigned char* m_pIn = nullptr;
    std::size_t m_uiInLength = 0;
    std::uint64_t m_uiRemaining;
    Phase m_phase = Phase::StreamHeader;
    bool m_bStreamSeen = false;
    unsigned char m_ucLevel = 0;      // the stream's level digit, '1' to '9'
    std::uint32_t m_uiStreamCrc = 0;  // combined from the CRCs of the stream's blocks before the front
    // The block libbz2 decodes (from the front on) while in Phase::Block.
    bz_stream m_stream;
    bool m_bLibraryOpen = false;
    std::uint32_t m_uiBlockCrc = 0;  // as the block holds it
    std::size_t m_uiBlockFed = 0;    // re-aligned bytes of the block fed so far
    unsigned int m_uiCandidate = 0;  // when not 0, a magic's pattern begins this many bits after the front
    bool m_bBlockOutput = false;     // libbz2 has given output of the block
    bool m_bHeld = false;            // a byte of output that did not fit the last call, in m_ucHeld
    unsigned char m_ucHeld = 0;
    std::size_t m_uiFeedStart = 0, m_uiFeedEnd = 0;  // the bytes in m_feed that libbz2 has not taken yet
    unsigned char m_feed[4096];
};

}  // namespace Tamsor

#endif
