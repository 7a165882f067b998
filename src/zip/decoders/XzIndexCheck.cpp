#include "XzIndexCheck.h"

namespace Tamsor {

void XzTally::add(std::uint64_t unpadded, std::uint64_t uncompressed) {
    unsigned char record[16];
    for (int i = 0; i < 8; ++i) {
        record[i] = static_cast<unsigned char>(unpadded >> (8 * i));
        record[8 + i] = static_cast<unsigned char>(uncompressed >> (8 * i));
    }
    ++uiBlocks;
    uiUnpaddedSum += unpadded;
    uiUncompressedSum += uncompressed;
    uiListCrc = lzma_crc32(record, sizeof record, uiListCrc);
}

bool XzTally::operator==(const XzTally& other) const {
    return uiBlocks == other.uiBlocks && uiUnpaddedSum == other.uiUnpaddedSum &&
           uiUncompressedSum == other.uiUncompressedSum && uiListCrc == other.uiListCrc;
}

// A byte at a time: indexes are a few bytes per block, and their numbers may be cut anywhere between two inputs.
XzIndexReader::Outcome XzIndexReader::read(const unsigned char*& rpIn, std::size_t& rInLength) {
    while (rInLength > 0) {
        const unsigned char byte = *rpIn++;
        --rInLength;
        if (m_field != Field::Crc) {
            m_uiCrc = lzma_crc32(&byte, 1, m_uiCrc);
            ++m_uiSize;
        }
        const Outcome outcome = take(byte);
        if (outcome != Outcome::More) return outcome;
    }
    return Outcome::More;
}

XzIndexReader::Outcome XzIndexReader::take(unsigned char byte) {
    switch (m_field) {
        case Field::Indicator:
            m_field = Field::Count;
            return byte == 0 ? Outcome::More : Outcome::Bad;
        case Field::Count:
        case Field::Unpadded:
        case Field::Uncompressed:
            return takeNumber(byte);
        case Field::Padding:
            if (m_uiSize % 4 == 0) m_field = Field::Crc;
            return byte == 0 ? Outcome::More : Outcome::Bad;
        case Field::Crc:
            m_uiStoredCrc |= std::uint32_t(byte) << (8 * m_uiCrcBytes++);
            if (m_uiCrcBytes < 4) return Outcome::More;
            return m_uiStoredCrc == m_uiCrc && m_listed == m_blocks ? Outcome::Done : Outcome::Bad;
    }
    return Outcome::Bad;
}

// The count first (it must be the blocks'), then each record's two sizes.
XzIndexReader::Outcome XzIndexReader::takeNumber(unsigned char byte) {
    std::size_t position = 0;
    const lzma_ret result = lzma_vli_decode(&m_uiNumber, &m_uiNumberBytes, &byte, &position, 1);
    if (result == LZMA_OK) return Outcome::More;
    if (result != LZMA_STREAM_END) return Outcome::Bad;
    m_uiNumberBytes = 0;
    switch (m_field) {
        case Field::Count:
            if (m_uiNumber != m_blocks.uiBlocks) return Outcome::Bad;
            m_field = Field::Unpadded;
            return m_uiNumber == 0 ? endList() : Outcome::More;
        case Field::Unpadded:
            m_uiUnpadded = m_uiNumber;
            m_field = Field::Uncompressed;
            return Outcome::More;
        default:
            m_listed.add(m_uiUnpadded, m_uiNumber);
            m_field = Field::Unpadded;
            return m_listed.uiBlocks == m_blocks.uiBlocks ? endList() : Outcome::More;
    }
}

XzIndexReader::Outcome XzIndexReader::endList() {
    m_field = m_uiSize % 4 == 0 ? Field::Crc : Field::Padding;
    return Outcome::More;
}

}  // namespace Tamsor
