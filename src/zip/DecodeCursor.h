#ifndef TAMSOR_SRC_DECODECURSOR_H
#define TAMSOR_SRC_DECODECURSOR_H

// One decoding run over one member: its cipher (when encrypted) and decoder, the payload bytes read ahead of
// them, where it stands in the member's output and the CRC-32 of all output before that. A run starts at the
// member's start or at a restart point, only ever moves forward, and leaves a restart point about every interval
// of output it passes where its member's table lacks one: at exact multiples of the interval for decoders that
// can save anywhere, at the first block or frame boundary past one for the others. When it reaches the member's
// end it checks that the stream ends there, the CRC-32 (unless the encryption stands in for it) and the
// encryption's authentication code.
//
// One thread at a time. About 150 KiB with a deflate decoder, 64 KiB more once it has skipped output.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "RestartPoints.h"
#include "ciphers/MemberEncryption.h"
#include "decoders/Decoder.h"
#include "tamsor/ArchiveFile.h"
#include "tamsor/MemberReader.h"

namespace Tamsor {

// What a run reads and where it leaves its points: one member of one reader.
struct DecodeSource {
    const ArchiveFile& rFile;
    std::uint64_t uiPayloadOffset;  // where the (encrypted) compressed bytes start in the file
    std::uint64_t uiPayloadSize;
    std::uint64_t uiSize;  // the output the central directory claims
    std::uint32_t uiCrc32;
    std::uint16_t uiFlags;  // the member's general purpose flags, for its decoder
    const DecoderKind& kind;
    const MemberEncryption* pEncryption;  // null when the member is not encrypted
    std::uint64_t uiInterval;
    RestartTable& rPoints;
    RestartBudget& rBudget;
    std::atomic<std::uint64_t>& rDecoded;  // every byte decoded is counted here
};

class DecodeCursor {
  public:
    // At the member's start.
    explicit DecodeCursor(const DecodeSource& source);
    // Where `point` was taken.
    DecodeCursor(const DecodeSource& source, const RestartPoint& point);

    std::uint64_t position() const { return m_uiPosition; }
    bool isAtEnd(const DecodeSource& source) const { return m_uiPosition == source.uiSize; }

    // Decodes and drops the output up to `offset` (not before position()), then `length` bytes into `pOut`
    // (offset + length at most the member's size). Reaching the member's end, checks the stream's end, the
    // CRC-32 and the authentication code. Anything but Ok leaves the cursor unusable.
    ReadStatus read(const DecodeSource& source, std::uint64_t offset, unsigned char* pOut, std::size_t length);

    DecodeCursor(const DecodeCursor&) = delete;
    DecodeCursor& operator=(const DecodeCursor&) = delete;

  private:
    ReadStatus step(const DecodeSource& source, unsigned char* pOut, std::size_t length, std::size_t& rProduced);
    ReadStatus refill(const DecodeSource& source);
    ReadStatus finish(const DecodeSource& source);
    void leavePoint(const DecodeSource& source);
    unsigned char* scratch();

    std::unique_ptr<Decoder> m_pDecoder;
    std::unique_ptr<MemberCipher> m_pCipher;
    std::unique_ptr<unsigned char[]> m_pInput;
    const unsigned char* m_pNextIn = nullptr;
    std::size_t m_uiAvailIn = 0;
    std::uint64_t m_uiInputOffset = 0;            // payload bytes loaded so far, from the payload's start
    std::uint64_t m_uiPosition = 0;               // output produced so far
    std::uint64_t m_uiPointDue = 0;               // where the next point is due
    std::uint32_t m_uiCrc = 0;                    // of that output
    std::unique_ptr<unsigned char[]> m_pScratch;  // where skipped output goes
};

}  // namespace Tamsor

#endif
