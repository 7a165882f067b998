#ifndef TAMSOR_SRC_STOREDDECODER_H
#define TAMSOR_SRC_STOREDDECODER_H

// Stored members (method 0) as a stream: the bytes as they come. Unencrypted stored members are read in place,
// without a decoder; an encrypted one goes through the cipher and then this, like any other method.

#include <algorithm>
#include <cstring>

#include "Decoder.h"

namespace Tamsor {

class StoredDecoder : public Decoder {
  public:
    bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                std::size_t& rProduced) override {
        rProduced = std::min(rInLength, outLength);
        std::memcpy(pOut, rpIn, rProduced);
        rpIn += rProduced;
        rInLength -= rProduced;
        return true;
    }
    // A stored stream has no end of its own: it ends where the member's size says.
    bool isFinished() const override { return true; }
    bool canSave() const override { return true; }
    void save(std::vector<unsigned char>& rState) const override { rState.clear(); }
};

}  // namespace Tamsor

#endif
