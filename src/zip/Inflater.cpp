#include "Inflater.h"

#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <cstring>

namespace Tamsor {

namespace {

// Everything before the output buffer, then the buffer's bytes in use.
const std::size_t kFixedStateSize = offsetof(inflate_state, tmp_out_buffer);

std::size_t usedOutputBytes(const inflate_state& state) {
    return state.tmp_out_valid > 0 ? static_cast<std::size_t>(state.tmp_out_valid) : 0;
}

}  // namespace

Inflater::Inflater() : m_pState(new inflate_state) {
    isal_inflate_init(m_pState.get());
    m_pState->crc_flag = ISAL_DEFLATE;
}

Inflater::~Inflater() = default;

bool Inflater::inflate(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut, std::size_t outLength,
                       std::size_t& rProduced) {
    inflate_state& state = *m_pState;
    state.next_in = const_cast<unsigned char*>(rpIn);
    state.avail_in = static_cast<std::uint32_t>(rInLength);
    state.next_out = pOut;
    state.avail_out = static_cast<std::uint32_t>(outLength);
    const int result = isal_inflate(&state);
    rProduced = static_cast<std::size_t>(state.next_out - pOut);
    rInLength = state.avail_in;
    rpIn = state.next_in;
    // total_out is 32 bits and wraps past 4 GiB of output. igzip 2.30 on x86-64 does not use it to check
    // look-back distances (measured: a decoder whose total_out is set to 0 mid-stream goes on unharmed), but
    // older C paths compared distances with it; kept well above any distance, it is safe either way. Offsets
    // are counted by the callers, in 64 bits.
    if (state.total_out > (1u << 31)) state.total_out = 1u << 30;
    return result >= 0;
}

bool Inflater::isFinished() const {
    return m_pState->block_state == ISAL_BLOCK_FINISH;
}

void Inflater::saveState(std::vector<unsigned char>& rState) const {
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(m_pState.get());
    rState.assign(pBytes, pBytes + kFixedStateSize + usedOutputBytes(*m_pState));
}

void Inflater::restoreState(const std::vector<unsigned char>& state) {
    std::memcpy(static_cast<void*>(m_pState.get()), state.data(), state.size());
}

}  // namespace Tamsor
