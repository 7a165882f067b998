#include "Bzip2Decoder.h"

#include <cstring>

namespace Tamsor {

namespace {

const std::uint64_t kBlockMagic = 0x314159265359;
const std::uint64_t kEndMagic = 0x177245385090;
const unsigned int kMagicBits = 48;
// Bits kept ahead of the front while a block is fed: its next byte, and a magic beginning 1 to 8 bits after the
// front (the places that the byte completes).
const unsigned int kLookahead = 8 + kMagicBits;
const std::size_t kStateSize = 22;

std::uint64_t lowBits(unsigned int bits) {
    return bits >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << bits) - 1;
}

}  // namespace

Bzip2Decoder::Bzip2Decoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState)
    : m_uiRemaining(setup.uiPayloadSize) {
    std::memset(&m_stream, 0, sizeof(m_stream));
    if (!pState) return;
    // Level, bit count, the bits (8 bytes), the stream's CRC so far (4 bytes), the payload bytes not taken yet
    // (8 bytes), little-endian: see save().
    const std::vector<unsigned char>& state = *pState;
    if (state.size() != kStateSize || state[0] < '1' || state[0] > '9' || state[1] > 64) {
        m_phase = Phase::Broken;
        return;
    }
    m_ucLevel = state[0];
    m_uiBitCount = state[1];
    for (int i = 9; i >= 2; --i) m_uiBits = m_uiBits << 8 | state[i];
    for (int i = 13; i >= 10; --i) m_uiStreamCrc = m_uiStreamCrc << 8 | state[i];
    m_uiRemaining = 0;
    for (int i = 21; i >= 14; --i) m_uiRemaining = m_uiRemaining << 8 | state[i];
    m_bStreamSeen = true;
    m_phase = Phase::BlockStart;
}

Bzip2Decoder::~Bzip2Decoder() {
    closeLibrary();
}

void Bzip2Decoder::save(std::vector<unsigned char>& rState) const {
    rState.assign(kStateSize, 0);
    rState[0] = m_ucLevel;
    rState[1] = static_cast<unsigned char>(m_uiBitCount);
    for (int i = 0; i < 8; ++i) rState[2 + i] = static_cast<unsigned char>(m_uiBits >> (8 * i));
    for (int i = 0; i < 4; ++i) rState[10 + i] = static_cast<unsigned char>(m_uiStreamCrc >> (8 * i));
    for (int i = 0; i < 8; ++i) rState[14 + i] = static_cast<unsigned char>(m_uiRemaining >> (8 * i));
}

// Between streams, with every payload bit taken and passed on.
bool Bzip2Decoder::isFinished() const {
    return m_phase == Phase::StreamHeader && m_bStreamSeen && m_uiBitCount == 0 && m_uiRemaining == 0;
}

bool Bzip2Decoder::decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut,
                          std::size_t outLength, std::size_t& rProduced) {
    rProduced = 0;
    if (m_bHeld && outLength > 0) {
        *pOut++ = m_ucHeld, --outLength, rProduced = 1;
        m_bHeld = false;
    }
    m_pIn = rpIn, m_uiInLength = rInLength;
    while (step(pOut, outLength, rProduced) == Next::Continue) {}
    rpIn = m_pIn, rInLength = m_uiInLength;
    return m_phase != Phase::Broken;
}

Bzip2Decoder::Next Bzip2Decoder::step(unsigned char*& rpOut, std::size_t& rRoom, std::size_t& rProduced) {
    switch (m_phase) {
        case Phase::StreamHeader:
            return readStreamHeader();
        case Phase::Magic:
            return readMagic();
        case Phase::BlockStart:
            return openBlock();
        case Phase::Block:
            return runBlock(rpOut, rRoom, rProduced);
        case Phase::StreamCrc:
            return readStreamCrc();
        case Phase::Broken:
            break;
    }
    return Next::Return;
}

// "BZh" and the level digit, at a byte boundary.
Bzip2Decoder::Next Bzip2Decoder::readStreamHeader() {
    if (!fill(32)) return Next::Return;
    const std::uint64_t header = peek(0, 32);
    if (header >> 8 != 0x425a68 || (header & 0xff) < '1' || (header & 0xff) > '9') return fail();
    m_ucLevel = static_cast<unsigned char>(header & 0xff);
    m_bStreamSeen = true;
    m_uiStreamCrc = 0;
    drop(32);
    m_phase = Phase::Magic;
    return Next::Continue;
}

// A block's start stops the call, so that the cursor can make a point there.
Bzip2Decoder::Next Bzip2Decoder::readMagic() {
    if (!fill(kMagicBits)) return Next::Return;
    const std::uint64_t magic = peek(0, kMagicBits);
    if (magic == kBlockMagic) {
        m_phase = Phase::BlockStart;
        return Next::Return;
    }
    if (magic != kEndMagic) return fail();
    drop(kMagicBits);
    m_phase = Phase::StreamCrc;
    return Next::Continue;
}

// The stream's combined CRC, then the bits that pad the stream to a byte.
Bzip2Decoder::Next Bzip2Decoder::readStreamCrc() {
    if (!fill(32)) return Next::Return;
    if (peek(0, 32) != m_uiStreamCrc) return fail();
    drop(32);
    drop(m_uiBitCount % 8);
    m_phase = Phase::StreamHeader;
    return Next::Continue;
}

Bzip2Decoder::Next Bzip2Decoder::openBlock() {
    std::memset(&m_stream, 0, sizeof(m_stream));
    if (BZ2_bzDecompressInit(&m_stream, 0, 0) != BZ_OK) return fail();
    m_bLibraryOpen = true;
    std::memcpy(m_feed, "BZh", 3);
    m_feed[3] = m_ucLevel;
    m_uiFeedStart = 0, m_uiFeedEnd = 4;
    m_uiBlockFed = 0, m_uiBlockCrc = 0, m_uiCandidate = 0, m_bBlockOutput = false;
    m_phase = Phase::Block;
    return Next::Continue;
}

// libbz2 gives what it can; once it has taken every byte fed, the block ends at a pending pattern if it has given
// output, and otherwise more bits are fed. When the caller's buffer is full, a byte more (held for the next call)
// tells whether the block's output goes on.
Bzip2Decoder::Next Bzip2Decoder::runBlock(unsigned char*& rpOut, std::size_t& rRoom, std::size_t& rProduced) {
    for (;;) {
        const bool bProbe = rRoom == 0;
        std::size_t produced = 0;
        if (!pump(bProbe ? &m_ucHeld : rpOut, bProbe ? 1 : rRoom, produced)) return fail();
        m_bBlockOutput = m_bBlockOutput || produced > 0;
        if (bProbe && produced > 0) {
            m_bHeld = true;
            return Next::Return;
        }
        if (!bProbe) {
            rpOut += produced, rRoom -= produced, rProduced += produced;
            if (rRoom == 0) continue;
        }
        // libbz2 returns with room for output only once it has taken every byte fed.
        if (m_uiFeedStart != m_uiFeedEnd) return fail();
        if (m_uiCandidate != 0 && m_bBlockOutput) return endBlock();
        if (m_uiCandidate != 0) {
            drop(8);  // the pattern was the block's data
            m_uiCandidate = 0;
        }
        if (!feedBits()) return Next::Return;
    }
}

// libbz2 checked the block's CRC as its output ended.
Bzip2Decoder::Next Bzip2Decoder::endBlock() {
    closeLibrary();
    m_uiStreamCrc = (m_uiStreamCrc << 1 | m_uiStreamCrc >> 31) ^ m_uiBlockCrc;
    drop(m_uiCandidate);
    m_uiCandidate = 0;
    m_phase = Phase::Magic;
    return Next::Continue;
}

Bzip2Decoder::Next Bzip2Decoder::fail() {
    closeLibrary();
    m_phase = Phase::Broken;
    return Next::Return;
}

// Re-aligned bytes of the block from the front, up to the first one that completes the bits before a pattern
// (that byte's bits stay until the pattern is judged). False when none could be fed for want of input.
bool Bzip2Decoder::feedBits() {
    m_uiFeedStart = m_uiFeedEnd = 0;
    while (m_uiCandidate == 0 && m_uiFeedEnd < sizeof(m_feed) && fill(kLookahead)) {
        const unsigned char byte = static_cast<unsigned char>(peek(0, 8));
        // The block's CRC follows its magic: its re-aligned bytes 6 to 9.
        if (m_uiBlockFed >= 6 && m_uiBlockFed < 10) m_uiBlockCrc = m_uiBlockCrc << 8 | byte;
        ++m_uiBlockFed;
        m_feed[m_uiFeedEnd++] = byte;
        m_uiCandidate = magicAfterFront();
        if (m_uiCandidate == 0) drop(8);
    }
    return m_uiFeedEnd > 0;
}

bool Bzip2Decoder::pump(unsigned char* pOut, std::size_t room, std::size_t& rProduced) {
    m_stream.next_in = reinterpret_cast<char*>(m_feed + m_uiFeedStart);
    m_stream.avail_in = static_cast<unsigned int>(m_uiFeedEnd - m_uiFeedStart);
    m_stream.next_out = reinterpret_cast<char*>(pOut);
    m_stream.avail_out = static_cast<unsigned int>(room);
    // The stream fed never ends (no end-of-stream magic is fed): BZ_STREAM_END cannot be this stream's.
    const int result = BZ2_bzDecompress(&m_stream);
    m_uiFeedStart = m_uiFeedEnd - m_stream.avail_in;
    rProduced = room - m_stream.avail_out;
    return result == BZ_OK;
}

// Where a magic's pattern begins 1 to 8 bits after the front, or 0.
unsigned int Bzip2Decoder::magicAfterFront() const {
    const std::uint64_t window = peek(1, kLookahead - 1);
    for (unsigned int after = 1; after <= 8; ++after) {
        const std::uint64_t bits = window >> (8 - after) & lowBits(kMagicBits);
        if (bits == kBlockMagic || bits == kEndMagic) return after;
    }
    return 0;
}

// Takes input a byte at a time until `bits` bits stand from the front; false when the input runs out first.
bool Bzip2Decoder::fill(unsigned int bits) {
    while (m_uiBitCount < bits && m_uiInLength > 0 && m_uiRemaining > 0 && m_uiBitCount <= 56) {
        m_uiBits = m_uiBits << 8 | *m_pIn++;
        --m_uiInLength, --m_uiRemaining;
        m_uiBitCount += 8;
    }
    return m_uiBitCount >= bits;
}

std::uint64_t Bzip2Decoder::peek(unsigned int offset, unsigned int bits) const {
    return m_uiBits >> (m_uiBitCount - offset - bits) & lowBits(bits);
}

void Bzip2Decoder::drop(unsigned int bits) {
    m_uiBitCount -= bits;
    m_uiBits &= lowBits(m_uiBitCount);
}

void Bzip2Decoder::closeLibrary() {
    if (m_bLibraryOpen) BZ2_bzDecompressEnd(&m_stream);
    m_bLibraryOpen = false;
}

}  // namespace Tamsor
