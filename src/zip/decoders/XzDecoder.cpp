#include "XzDecoder.h"

#include <algorithm>
#include <cstring>

namespace Tamsor {

namespace {

// liblzma allocates a block's dictionary whole as the block begins. However large a block says it is, no more
// than the member's size is ever looked back into, and no more than the largest that the xz tool writes
// (1.5 GiB) is allocated: a block that looks back further fails as corrupt.
const std::uint64_t kSmallestDictionary = 4096, kLargestDictionary = std::uint64_t(1536) << 20;
const std::size_t kStateSize = 4 + 8 + 8 + 8 + 4 + 8;

template <class T>
void append(std::vector<unsigned char>& rState, T value) {
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(&value);
    rState.insert(rState.end(), pBytes, pBytes + sizeof value);
}

template <class T>
void extract(const unsigned char*& rpState, T& rValue) {
    std::memcpy(&rValue, rpState, sizeof rValue);
    rpState += sizeof rValue;
}

}  // namespace

XzDecoder::XzDecoder(const DecoderSetup& setup, const std::vector<unsigned char>* pState)
    : m_uiDictionaryCap(std::clamp(setup.uiSize, kSmallestDictionary, kLargestDictionary)),
      m_uiRemaining(setup.uiPayloadSize) {
    if (pState) restore(*pState);
}

XzDecoder::~XzDecoder() {
    lzma_end(&m_stream);
}

bool XzDecoder::decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                       std::size_t& rProduced) {
    rProduced = 0;
    const std::size_t inLength = rInLength;
    while (advance(rpIn, rInLength, pOut, outLength, rProduced)) {}
    m_uiRemaining -= inLength - rInLength;
    return m_phase != Phase::Broken;
}

// Between streams, with nothing more to come.
bool XzDecoder::isFinished() const {
    return m_phase == Phase::Padding && m_uiPadding == 0 && m_uiRemaining == 0;
}

// One step of the phase's work. False when this call can do no more: the input or the output is used up, the
// stream is broken, or a block has just ended (where a point can be made).
bool XzDecoder::advance(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                        std::size_t& rProduced) {
    switch (m_phase) {
        case Phase::StreamHeader:
            return gather(rpIn, rInLength, LZMA_STREAM_HEADER_SIZE) && startStream();
        case Phase::BlockOrIndex:
            return rInLength > 0 && choose(*rpIn);
        case Phase::BlockHeader:
            return gather(rpIn, rInLength, m_block.header_size) && startBlock();
        case Phase::Block:
            return decodeBlock(rpIn, rInLength, pOut, outLength, rProduced);
        case Phase::Index:
            return readIndex(rpIn, rInLength);
        case Phase::Footer:
            return gather(rpIn, rInLength, LZMA_STREAM_HEADER_SIZE) && endStream();
        case Phase::Padding:
            return rInLength > 0 && skipPadding(rpIn, rInLength);
        case Phase::Broken:
            return false;
    }
    return false;
}

// Collects a header or footer of `size` bytes, which may come in pieces; true once it is whole.
bool XzDecoder::gather(const unsigned char*& rpIn, std::size_t& rInLength, std::size_t size) {
    const std::size_t count = std::min(rInLength, size - m_uiBuffered);
    std::memcpy(m_aBuffer + m_uiBuffered, rpIn, count);
    m_uiBuffered += count;
    rpIn += count;
    rInLength -= count;
    if (m_uiBuffered < size) return false;
    m_uiBuffered = 0;
    return true;
}

bool XzDecoder::startStream() {
    if (lzma_stream_header_decode(&m_flags, m_aBuffer) != LZMA_OK) return fail();
    m_tally = XzTally();
    m_phase = Phase::BlockOrIndex;
    return true;
}

// A block header starts with its size, never 0; the index with 0.
bool XzDecoder::choose(unsigned char byte) {
    if (byte == 0) {
        m_index = XzIndexReader(m_tally);
        m_phase = Phase::Index;
        return true;
    }
    m_block = lzma_block();
    m_block.header_size = lzma_block_header_size_decode(byte);
    m_phase = Phase::BlockHeader;
    return true;
}

// liblzma needs the filters' options only to set the block decoder up, as its own stream decoder does.
bool XzDecoder::startBlock() {
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    m_block.version = 1;
    m_block.check = m_flags.check;
    m_block.filters = filters;
    if (lzma_block_header_decode(&m_block, nullptr, m_aBuffer) != LZMA_OK) return fail();
    for (lzma_filter* pFilter = filters; pFilter->id != LZMA_VLI_UNKNOWN; ++pFilter) {
        if (pFilter->id != LZMA_FILTER_LZMA2) continue;
        lzma_options_lzma& rOptions = *static_cast<lzma_options_lzma*>(pFilter->options);
        rOptions.dict_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(rOptions.dict_size, m_uiDictionaryCap));
    }
    const lzma_ret result = lzma_block_decoder(&m_stream, &m_block);
    lzma_filters_free(filters, nullptr);
    m_block.filters = nullptr;
    if (result != LZMA_OK) return fail();
    m_phase = Phase::Block;
    return true;
}

// One call of the block decoder, which takes what it can; at the block's end the call stops.
bool XzDecoder::decodeBlock(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut,
                            std::size_t outLength, std::size_t& rProduced) {
    m_stream.next_in = rpIn;
    m_stream.avail_in = rInLength;
    m_stream.next_out = pOut + rProduced;
    m_stream.avail_out = outLength - rProduced;
    const lzma_ret result = lzma_code(&m_stream, LZMA_RUN);
    rProduced = static_cast<std::size_t>(m_stream.next_out - pOut);
    rpIn = m_stream.next_in;
    rInLength = m_stream.avail_in;
    if (result == LZMA_STREAM_END) {
        m_tally.add(lzma_block_unpadded_size(&m_block), m_block.uncompressed_size);
        m_phase = Phase::BlockOrIndex;
    } else if (result != LZMA_OK && result != LZMA_BUF_ERROR) {
        return fail();
    }
    return false;
}

bool XzDecoder::readIndex(const unsigned char*& rpIn, std::size_t& rInLength) {
    const XzIndexReader::Outcome outcome = m_index.read(rpIn, rInLength);
    if (outcome == XzIndexReader::Outcome::Bad) return fail();
    if (outcome == XzIndexReader::Outcome::More) return false;
    m_phase = Phase::Footer;
    return true;
}

// The footer must agree with the header (check type) and give the index's size.
bool XzDecoder::endStream() {
    lzma_stream_flags footer;
    if (lzma_stream_footer_decode(&footer, m_aBuffer) != LZMA_OK) return fail();
    lzma_stream_flags header = m_flags;
    header.backward_size = m_index.size();
    if (lzma_stream_flags_compare(&header, &footer) != LZMA_OK) return fail();
    m_phase = Phase::Padding;
    m_uiPadding = 0;
    return true;
}

// Zero bytes in groups of 4, then another stream or the payload's end.
bool XzDecoder::skipPadding(const unsigned char*& rpIn, std::size_t& rInLength) {
    if (*rpIn == 0) {
        m_uiPadding = (m_uiPadding + 1) % 4;
        ++rpIn;
        --rInLength;
        return true;
    }
    if (m_uiPadding != 0) return fail();
    m_phase = Phase::StreamHeader;
    return true;
}

void XzDecoder::save(std::vector<unsigned char>& rState) const {
    rState.clear();
    append(rState, static_cast<std::uint32_t>(m_flags.check));
    append(rState, m_tally.uiBlocks);
    append(rState, m_tally.uiUnpaddedSum);
    append(rState, m_tally.uiUncompressedSum);
    append(rState, m_tally.uiListCrc);
    append(rState, m_uiRemaining);
}

// A state is what save() wrote; anything else makes a decoder that fails.
void XzDecoder::restore(const std::vector<unsigned char>& state) {
    if (state.size() != kStateSize) {
        fail();
        return;
    }
    const unsigned char* pState = state.data();
    std::uint32_t check = 0;
    extract(pState, check);
    extract(pState, m_tally.uiBlocks);
    extract(pState, m_tally.uiUnpaddedSum);
    extract(pState, m_tally.uiUncompressedSum);
    extract(pState, m_tally.uiListCrc);
    extract(pState, m_uiRemaining);
    m_flags.version = 0;
    m_flags.check = static_cast<lzma_check>(check);
    m_flags.backward_size = LZMA_VLI_UNKNOWN;
    m_phase = Phase::BlockOrIndex;
}

bool XzDecoder::fail() {
    m_phase = Phase::Broken;
    return false;
}

}  // namespace Tamsor
