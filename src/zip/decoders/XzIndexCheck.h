#ifndef TAMSOR_SRC_XZINDEXCHECK_H
#define TAMSOR_SRC_XZINDEXCHECK_H

// An xz stream's blocks as its decoder met them, and the stream's index read against them. The index must list
// exactly those blocks (their count, and each one's unpadded and uncompressed size), end in zero padding to a
// multiple of 4 bytes and have a right CRC-32. The blocks are kept as a tally (sums and a CRC-32 of the list), as
// liblzma's own check keeps them, rather than as a list: the tally is small and plain, so that a restart point at
// a block start carries it and a decoder restored there checks the whole index too.
//
// One thread at a time. A few dozen bytes.

#include <lzma.h>

#include <cstddef>
#include <cstdint>

namespace Tamsor {

struct XzTally {
    std::uint64_t uiBlocks = 0;
    std::uint64_t uiUnpaddedSum = 0;
    std::uint64_t uiUncompressedSum = 0;
    std::uint32_t uiListCrc = 0;  // of each block's two sizes in order, 8 bytes little-endian each

    void add(std::uint64_t unpadded, std::uint64_t uncompressed);
    bool operator==(const XzTally& other) const;
};

class XzIndexReader {
  public:
    enum class Outcome { More, Done, Bad };

    // Ready for the first byte (the indicator, 0) of an index that must list `blocks`.
    explicit XzIndexReader(const XzTally& blocks = XzTally()) : m_blocks(blocks) {}

    // Takes the index's bytes from `rpIn` (both advance past what was taken), never past its end. Done once the
    // whole index was read and lists the blocks; Bad as soon as it cannot.
    Outcome read(const unsigned char*& rpIn, std::size_t& rInLength);
    // The index's size in bytes, once Done: what the stream's footer must give.
    std::uint64_t size() const { return m_uiSize + 4; }

  private:
    enum class Field { Indicator, Count, Unpadded, Uncompressed, Padding, Crc };

    Outcome take(unsigned char byte);
    Outcome takeNumber(unsigned char byte);
    Outcome endList();

    XzTally m_blocks;
    XzTally m_listed;
    Field m_field = Field::Indicator;
    lzma_vli m_uiNumber = 0;  // the number being read, and its bytes so far
    std::size_t m_uiNumberBytes = 0;
    std::uint64_t m_uiUnpadded = 0;  // of the record being read
    std::uint64_t m_uiSize = 0;      // bytes before the CRC-32, and their CRC-32
    std::uint32_t m_uiCrc = 0;
    std::uint32_t m_uiStoredCrc = 0;
    unsigned int m_uiCrcBytes = 0;
};

}  // namespace Tamsor

#endif
