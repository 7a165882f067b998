#include "DecodeCursor.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <cstring>

namespace Tamsor {

namespace {

// Payload bytes read at a time: few enough system calls (a 64 KiB read costs about 2% of inflating what it
// holds), small enough to keep idle cursors cheap. Encrypted payloads are read in smaller pieces: what a
// restart point keeps of the decrypted bytes that its decoder has not taken stays small.
const std::size_t kInputSize = 64 << 10;
const std::size_t kEncryptedInputSize = 16 << 10;
const std::size_t kScratchSize = 64 << 10;
// The most output asked of one call: decoders count in 32 bits.
const std::size_t kMaxCall = 1 << 30;

std::uint64_t nextMultiple(std::uint64_t position, std::uint64_t interval) {
    return (position / interval + 1) * interval;
}

DecoderSetup setupOf(const DecodeSource& source) {
    return DecoderSetup{source.uiSize, source.uiPayloadSize, source.uiFlags};
}

}  // namespace

DecodeCursor::DecodeCursor(const DecodeSource& source)
    : m_pDecoder(source.kind.make(setupOf(source), nullptr)),
      m_pCipher(source.pEncryption ? source.pEncryption->pStart->clone() : nullptr),
      m_pInput(new unsigned char[kInputSize]),
      m_uiPointDue(source.uiInterval) {}

DecodeCursor::DecodeCursor(const DecodeSource& source, const RestartPoint& point)
    : m_pDecoder(source.kind.make(setupOf(source), &point.state)),
      m_pCipher(point.pCipher ? point.pCipher->clone() : nullptr),
      m_pInput(new unsigned char[kInputSize]),
      m_uiInputOffset(point.uiCompressedOffset),
      m_uiPosition(point.uiOffset),
      m_uiPointDue(source.kind.bSavesAnywhere ? nextMultiple(point.uiOffset, source.uiInterval)
                                              : point.uiOffset + source.uiInterval),
      m_uiCrc(point.uiCrc) {
    if (!point.pendingInput.empty()) std::memcpy(m_pInput.get(), point.pendingInput.data(), point.pendingInput.size());
    m_pNextIn = m_pInput.get();
    m_uiAvailIn = point.pendingInput.size();
}

ReadStatus DecodeCursor::read(const DecodeSource& source, std::uint64_t offset, unsigned char* pOut,
                              std::size_t length) {
    const std::uint64_t end = offset + length;
    while (m_uiPosition < end) {
        unsigned char* pWindow = m_uiPosition < offset ? scratch() : pOut + (m_uiPosition - offset);
        std::uint64_t windowEnd = m_uiPosition < offset ? std::min(offset, m_uiPosition + kScratchSize) : end;
        // A decoder that can save anywhere stops exactly where a point is due.
        if (source.kind.bSavesAnywhere) windowEnd = std::min(windowEnd, std::max(m_uiPointDue, m_uiPosition + 1));
        const std::size_t window =
            static_cast<std::size_t>(std::min(windowEnd, m_uiPosition + kMaxCall) - m_uiPosition);
        std::size_t produced = 0;
        const ReadStatus status = step(source, pWindow, window, produced);
        if (status != ReadStatus::Ok) return status;
        // The stream ended before the size the central directory gives.
        if (produced == 0 && m_pDecoder->isFinished()) return ReadStatus::SizeMismatch;
        // A decoder that saves only at boundaries is waited for; one that cannot save at all (see DeflateDecoder)
        // leaves no points.
        const bool bSaves = m_pDecoder->canSave();
        if (m_uiPosition >= m_uiPointDue && m_uiPosition < source.uiSize && (bSaves || source.kind.bSavesAnywhere)) {
            if (bSaves) leavePoint(source);
            m_uiPointDue = source.kind.bSavesAnywhere ? nextMultiple(m_uiPosition, source.uiInterval)
                                                      : m_uiPosition + source.uiInterval;
        }
    }
    return m_uiPosition == source.uiSize ? finish(source) : ReadStatus::Ok;
}

// One call of the decoder, with payload read first when it has none left.
ReadStatus DecodeCursor::step(const DecodeSource& source, unsigned char* pOut, std::size_t length,
                              std::size_t& rProduced) {
    if (m_uiAvailIn == 0) {
        const ReadStatus status = refill(source);
        if (status != ReadStatus::Ok) return status;
    }
    const std::size_t availBefore = m_uiAvailIn;
    if (!m_pDecoder->decode(m_pNextIn, m_uiAvailIn, pOut, length, rProduced)) return ReadStatus::CorruptData;
    m_uiCrc = crc32_gzip_refl(m_uiCrc, pOut, rProduced);
    m_uiPosition += rProduced;
    source.rDecoded += rProduced;
    // Neither input taken nor output given: the stream needs bytes beyond the member's compressed size.
    if (rProduced == 0 && m_uiAvailIn == availBefore && !m_pDecoder->isFinished()) return ReadStatus::CorruptData;
    return ReadStatus::Ok;
}

ReadStatus DecodeCursor::refill(const DecodeSource& source) {
    const std::size_t piece = m_pCipher ? kEncryptedInputSize : kInputSize;
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece, source.uiPayloadSize - m_uiInputOffset));
    if (size > 0 && !source.rFile.readAt(source.uiPayloadOffset + m_uiInputOffset, m_pInput.get(), size))
        return ReadStatus::IoError;
    if (m_pCipher) m_pCipher->decrypt(m_pInput.get(), size);
    m_pNextIn = m_pInput.get();
    m_uiAvailIn = size;
    m_uiInputOffset += size;
    return ReadStatus::Ok;
}

// At the member's claimed size: the stream must end there, without a byte more, and the bytes must be the
// member's. An encryption that authenticates the payload gets the rest of it, whatever the decoder left.
ReadStatus DecodeCursor::finish(const DecodeSource& source) {
    while (!m_pDecoder->isFinished()) {
        std::size_t produced = 0;
        const ReadStatus status = step(source, scratch(), kScratchSize, produced);
        if (status != ReadStatus::Ok) return status;
        if (produced > 0) return ReadStatus::SizeMismatch;
    }
    const bool bCrcChecked = !source.pEncryption || source.pEncryption->bCrcChecked;
    if (bCrcChecked && m_uiCrc != source.uiCrc32) return ReadStatus::CrcMismatch;
    if (!m_pCipher) return ReadStatus::Ok;
    while (m_uiInputOffset < source.uiPayloadSize) {
        const ReadStatus status = refill(source);
        if (status != ReadStatus::Ok) return status;
    }
    return m_pCipher->authenticates() ? ReadStatus::Ok : ReadStatus::AuthenticationFailed;
}

// An unencrypted member's point goes back to the first payload byte the decoder has not taken; an encrypted
// one's keeps those bytes, decrypted, since its cipher has gone past them.
void DecodeCursor::leavePoint(const DecodeSource& source) {
    if (source.rPoints.holds(m_uiPosition)) return;
    std::shared_ptr<RestartPoint> pPoint = std::make_shared<RestartPoint>();
    pPoint->uiOffset = m_uiPosition;
    pPoint->uiCrc = m_uiCrc;
    m_pDecoder->save(pPoint->state);
    if (m_pCipher) {
        pPoint->uiCompressedOffset = m_uiInputOffset;
        pPoint->pCipher = m_pCipher->clone();
        pPoint->pendingInput.assign(m_pNextIn, m_pNextIn + m_uiAvailIn);
    } else {
        pPoint->uiCompressedOffset = m_uiInputOffset - m_uiAvailIn;
    }
    source.rPoints.put(pPoint);
    source.rBudget.add(std::move(pPoint));
}

unsigned char* DecodeCursor::scratch() {
    if (!m_pScratch) m_pScratch.reset(new unsigned char[kScratchSize]);
    return m_pScratch.get();
}

}  // namespace Tamsor
