#include "DeflateCursor.h"

#include <isa-l/crc.h>

#include <algorithm>

namespace Tamsor {

namespace {

// Compressed bytes read at a time: few enough system calls (a 64 KiB read costs about 2% of inflating what it
// holds), small enough to keep idle cursors cheap.
const std::size_t kInputSize = 64 << 10;
const std::size_t kScratchSize = 64 << 10;
// The most output asked of one call: igzip counts in 32 bits.
const std::size_t kMaxCall = 1 << 30;

}  // namespace

DeflateCursor::DeflateCursor() : m_pInput(new unsigned char[kInputSize]) {}

DeflateCursor::DeflateCursor(const RestartPoint& point)
    : m_pInput(new unsigned char[kInputSize]),
      m_uiInputOffset(point.uiCompressedOffset),
      m_uiPosition(point.uiOffset),
      m_uiCrc(point.uiCrc) {
    m_inflater.restoreState(point.state);
}

ReadStatus DeflateCursor::read(const DeflateSource& source, std::uint64_t offset, unsigned char* pOut,
                               std::size_t length) {
    DescriptorPool::Lease lease(source.rDescriptors);
    const std::uint64_t end = offset + length;
    while (m_uiPosition < end) {
        unsigned char* pWindow = m_uiPosition < offset ? scratch() : pOut + (m_uiPosition - offset);
        const std::uint64_t windowEnd = m_uiPosition < offset ? std::min(offset, m_uiPosition + kScratchSize) : end;
        const std::uint64_t nextPoint = (m_uiPosition / source.uiInterval + 1) * source.uiInterval;
        const std::size_t window =
            static_cast<std::size_t>(std::min({windowEnd, nextPoint, m_uiPosition + kMaxCall}) - m_uiPosition);
        std::size_t produced = 0;
        const ReadStatus status = step(source, lease, pWindow, window, produced);
        if (status != ReadStatus::Ok) return status;
        // The stream ended before the size the central directory gives.
        if (produced == 0 && m_inflater.isFinished()) return ReadStatus::SizeMismatch;
        if (m_uiPosition == nextPoint && m_uiPosition < source.uiSize) leavePoint(source);
    }
    return m_uiPosition == source.uiSize ? finish(source, lease) : ReadStatus::Ok;
}

// One call of the decoder, with input read first when it has none left.
ReadStatus DeflateCursor::step(const DeflateSource& source, DescriptorPool::Lease& rLease, unsigned char* pOut,
                               std::size_t length, std::size_t& rProduced) {
    if (m_uiAvailIn == 0) {
        const ReadStatus status = refill(source, rLease);
        if (status != ReadStatus::Ok) return status;
    }
    const std::size_t availBefore = m_uiAvailIn;
    if (!m_inflater.inflate(m_pNextIn, m_uiAvailIn, pOut, length, rProduced)) return ReadStatus::CorruptData;
    m_uiCrc = crc32_gzip_refl(m_uiCrc, pOut, rProduced);
    m_uiPosition += rProduced;
    source.rInflated += rProduced;
    // Neither input taken nor output given: the stream needs bytes beyond the member's compressed size.
    if (rProduced == 0 && m_uiAvailIn == availBefore && !m_inflater.isFinished()) return ReadStatus::CorruptData;
    return ReadStatus::Ok;
}

ReadStatus DeflateCursor::refill(const DeflateSource& source, DescriptorPool::Lease& rLease) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(kInputSize, source.uiCompressedSize - m_uiInputOffset));
    if (size > 0 && !rLease.readAt(source.uiDataOffset + m_uiInputOffset, m_pInput.get(), size))
        return ReadStatus::IoError;
    m_pNextIn = m_pInput.get();
    m_uiAvailIn = size;
    m_uiInputOffset += size;
    return ReadStatus::Ok;
}

// At the member's claimed size: the stream must end there, without a byte more, and the bytes must be the
// member's.
ReadStatus DeflateCursor::finish(const DeflateSource& source, DescriptorPool::Lease& rLease) {
    while (!m_inflater.isFinished()) {
        std::size_t produced = 0;
        const ReadStatus status = step(source, rLease, scratch(), kScratchSize, produced);
        if (status != ReadStatus::Ok) return status;
        if (produced > 0) return ReadStatus::SizeMismatch;
    }
    return m_uiCrc == source.uiCrc32 ? ReadStatus::Ok : ReadStatus::CrcMismatch;
}

void DeflateCursor::leavePoint(const DeflateSource& source) const {
    if (source.rPoints.holds(m_uiPosition)) return;
    std::shared_ptr<RestartPoint> pPoint = std::make_shared<RestartPoint>();
    pPoint->uiOffset = m_uiPosition;
    pPoint->uiCompressedOffset = m_uiInputOffset - m_uiAvailIn;
    pPoint->uiCrc = m_uiCrc;
    m_inflater.saveState(pPoint->state);
    source.rPoints.put(pPoint);
    source.rBudget.add(std::move(pPoint));
}

unsigned char* DeflateCursor::scratch() {
    if (!m_pScratch) m_pScratch.reset(new unsigned char[kScratchSize]);
    return m_pScratch.get();
}

}  // namespace Tamsor
