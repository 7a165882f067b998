#ifndef TAMSOR_SRC_DEFLATECURSOR_H
#define TAMSOR_SRC_DEFLATECURSOR_H

// One decoding run over one deflated member: a decoder, the compressed bytes read ahead of it, where it stands
// in the member's output and the CRC-32 of all output before that. A run starts at the member's start or at a
// restart point, only ever moves forward, and leaves a restart point at every interval of output it passes
// where its member's table lacks one. When it reaches the member's end it checks that the stream ends there
// and that the CRC-32 is the member's.
//
// One thread at a time; between reads a cursor holds no descriptor. About 150 KiB, 64 KiB more once it has
// skipped output.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "DescriptorPool.h"
#include "Inflater.h"
#include "RestartPoints.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {

// What a run reads and where it leaves its points: one member of one reader.
struct DeflateSource {
    DescriptorPool& rDescriptors;
    std::uint64_t uiDataOffset;  // where the compressed bytes start in the file
    std::uint64_t uiCompressedSize;
    std::uint64_t uiSize;  // the output the central directory claims
    std::uint32_t uiCrc32;
    std::uint64_t uiInterval;
    RestartTable& rPoints;
    RestartBudget& rBudget;
    std::atomic<std::uint64_t>& rInflated;  // every byte inflated is counted here
};

class DeflateCursor {
  public:
    // At the member's start.
    DeflateCursor();
    // Where `point` was taken.
    explicit DeflateCursor(const RestartPoint& point);

    std::uint64_t position() const { return m_uiPosition; }
    bool isAtEnd(const DeflateSource& source) const { return m_uiPosition == source.uiSize; }

    // Inflates and drops the output up to `offset` (not before position()), then `length` bytes into `pOut`
    // (offset + length at most the member's size). Reaching the member's end, checks the stream's end and the
    // CRC-32. Anything but Ok leaves the cursor unusable.
    ReadStatus read(const DeflateSource& source, std::uint64_t offset, unsigned char* pOut, std::size_t length);

    DeflateCursor(const DeflateCursor&) = delete;
    DeflateCursor& operator=(const DeflateCursor&) = delete;

  private:
    ReadStatus step(const DeflateSource& source, DescriptorPool::Lease& rLease, unsigned char* pOut, std::size_t length,
                    std::size_t& rProduced);
    ReadStatus refill(const DeflateSource& source, DescriptorPool::Lease& rLease);
    ReadStatus finish(const DeflateSource& source, DescriptorPool::Lease& rLease);
    void leavePoint(const DeflateSource& source) const;
    unsigned char* scratch();

    Inflater m_inflater;
    std::unique_ptr<unsigned char[]> m_pInput;
    const unsigned char* m_pNextIn = nullptr;
    std::size_t m_uiAvailIn = 0;
    std::uint64_t m_uiInputOffset = 0;            // compressed bytes loaded so far, from the data start
    std::uint64_t m_uiPosition = 0;               // output produced so far
    std::uint32_t m_uiCrc = 0;                    // of that output
    std::unique_ptr<unsigned char[]> m_pScratch;  // where skipped output goes
};

}  // namespace Tamsor

#endif
