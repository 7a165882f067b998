#ifndef TAMSOR_SRC_DECODER_H
#define TAMSOR_SRC_DECODER_H

// The decoders of the compression methods, behind one small interface, and the one table that says which
// methods the member reader decodes. A decoder takes a member's compressed bytes in order and gives its bytes in
// order; where the format allows, it can say so and save its state, so that a restart point can be made there
// and a later read can start from it instead of from the member's start.
//
// One thread at a time per decoder. Adding a method is a decoder class and a row of the table.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tamsor {

class Decoder {
  public:
    virtual ~Decoder() = default;

    // Decodes from `rpIn` (`rInLength` bytes; both advance past what was taken) into `pOut` (at most `outLength`
    // bytes, at most 1 GiB); `rProduced` gets the bytes written. A decoder may stop short of `outLength` where a
    // restart point can be made (the end of a block or frame). False when the stream is invalid.
    virtual bool decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                        std::size_t& rProduced) = 0;
    // True once the stream has ended and all its output has been handed out.
    virtual bool isFinished() const = 0;
    // Whether a restart point can be made where the decoder stands (with the compressed bytes not yet taken
    // from the input given back to the file), and its state then, for the table's `make`.
    virtual bool canSave() const = 0;
    virtual void save(std::vector<unsigned char>& rState) const = 0;
};

// What a decoder is told of its member besides the compressed bytes: where a stream may end without saying so
// (LZMA without an end marker), and where the payload ends, after which streams that may be concatenated (xz,
// zstd) cannot go on.
struct DecoderSetup {
    std::uint64_t uiSize;         // the output the central directory claims
    std::uint64_t uiPayloadSize;  // the compressed bytes the decoder is given in all, from the payload's start
    std::uint16_t uiFlags;        // the member's general purpose flags
};

struct DecoderKind {
    std::uint16_t uiMethod;
    const char* name;  // "deflated", "bzip2", ...
    // A decoder at the stream's start (null state) or at a point saved by one of its kind, for the same member.
    std::unique_ptr<Decoder> (*make)(const DecoderSetup& setup, const std::vector<unsigned char>* pState);
    // Whether canSave() holds everywhere (points then lie at exact multiples of the reader's interval), or only
    // at boundaries the stream has (points then lie at the first boundary past each interval).
    bool bSavesAnywhere;
};

// The kind that decodes `uiMethod`, or null when the reader decodes no such method.
const DecoderKind* decoderFor(std::uint16_t uiMethod);

}  // namespace Tamsor

#endif
