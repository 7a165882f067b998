#ifndef TAMSOR_SRC_DEFLATEDECODER_H
#define TAMSOR_SRC_DEFLATEDECODER_H

// Raw deflate (method 8) with ISA-L's igzip, whose whole state can be saved and restored anywhere, for restart
// points.
//
// igzip keeps the last 32 KiB of output in its own state at the end of every call, and its state holds no
// pointer but the input and output positions that every call sets again: a saved state restored into another
// decoder goes on exactly where the first one was, with input and output buffers of its own. Saved is the
// state up to its output buffer plus the part of that buffer in use (about 21 KiB + 32 KiB). That rests on the
// layout of igzip's state, so it is trusted only with the ISA-L this was proven on (2.30) and only once a check
// at the first use in the process (a stream inflated in two halves across a restored state) came out right;
// otherwise no state is saved, and reads that cannot go on from an idle decoder start from the member's start.
//
// One thread at a time. About 86 KiB.

#include <memory>

#include "Decoder.h"

struct inflate_state;

namespace Tamsor {

class DeflateDecoder : public Decoder {
  public:
    // A decoder at the start of a stream, or where `pState` was saved (by any DeflateDecoder of this build).
    explicit DeflateDecoder(const std::vector<unsigned char>* pState = nullptr);
    ~DeflateDecoder() override;

    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override;
    bool isFinished() const override;
    bool canSave() const override { return statesRestoreRight(); }
    void save(std::vector<unsigned char>& rState) const override;

    // Whether saved states restore right with the ISA-L in use: the build's version, and the check above.
    static bool statesRestoreRight();

    DeflateDecoder(const DeflateDecoder&) = delete;
    DeflateDecoder& operator=(const DeflateDecoder&) = delete;

  private:
    std::unique_ptr<inflate_state> m_pState;
};

}  // namespace Tamsor

#endif
