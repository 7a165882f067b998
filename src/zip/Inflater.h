#ifndef TAMSOR_SRC_INFLATER_H
#define TAMSOR_SRC_INFLATER_H

// A raw-deflate decoder (ISA-L's igzip) whose whole state can be saved and restored, for restart points.
//
// igzip keeps the last 32 KiB of output in its own state at the end of every call, and its state holds no
// pointer but the input and output positions that every call sets again: a saved state restored into another
// decoder goes on exactly where the first one was, with input and output buffers of its own. Saved is the
// state up to its output buffer plus the part of that buffer in use (about 21 KiB + 32 KiB).
//
// One thread at a time. About 86 KiB.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct inflate_state;

namespace Tamsor {

class Inflater {
  public:
    // A decoder at the start of a stream.
    Inflater();
    ~Inflater();

    // Inflates from `rpIn` (`rInLength` bytes; both advance past what was taken) into `pOut` (at most
    // `outLength` bytes, at most 1 GiB). `rProduced` gets the bytes written. False when the stream is invalid.
    bool inflate(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                 std::size_t& rProduced);
    // True once the final block has ended and all its output has been handed out.
    bool isFinished() const;

    void saveState(std::vector<unsigned char>& rState) const;
    // The decoder as it was when `state` was saved (by any Inflater of this build).
    void restoreState(const std::vector<unsigned char>& state);

    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

  private:
    std::unique_ptr<inflate_state> m_pState;
};

}  // namespace Tamsor

#endif
