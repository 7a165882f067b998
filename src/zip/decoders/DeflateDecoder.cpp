#include "DeflateDecoder.h"

#include <isa-l.h>
#include <isa-l/igzip_lib.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

namespace Tamsor {

namespace {

// Everything before the output buffer, then the buffer's bytes in use.
const std::size_t kFixedStateSize = offsetof(inflate_state, tmp_out_buffer);

std::size_t usedOutputBytes(const inflate_state& state) {
    return state.tmp_out_valid > 0 ? static_cast<std::size_t>(state.tmp_out_valid) : 0;
}

// Deflates `text` with igzip's own compressor.
std::string deflatedWithIgzip(const std::string& text) {
    std::string out(text.size() + 1024, '\0');
    isal_zstream stream{};  // every field set: the stateless path reads some that its init leaves alone
    isal_deflate_stateless_init(&stream);
    stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<std::uint32_t>(text.size());
    stream.next_out = reinterpret_cast<std::uint8_t*>(&out[0]);
    stream.avail_out = static_cast<std::uint32_t>(out.size());
    stream.end_of_stream = 1;
    stream.flush = NO_FLUSH;
    if (isal_deflate_stateless(&stream) != COMP_OK) return std::string();
    out.resize(stream.total_out);
    return out;
}

// A text inflated in two halves, the second by another decoder restored from the first one's saved state, in
// pieces small enough that the state holds pending output: it must come out whole and right.
bool checkRestoredStates() {
    std::string text;
    for (unsigned int i = 0; text.size() < (200u << 10); ++i)
        text += "restart point " + std::to_string(i * 7919 % 1013) + " ";
    const std::string stream = deflatedWithIgzip(text);
    if (stream.empty()) return false;
    std::string out(text.size(), '\0');
    const unsigned char* pIn = reinterpret_cast<const unsigned char*>(stream.data());
    std::size_t inLength = stream.size(), done = 0, produced = 0;
    std::vector<unsigned char> state;
    {
        DeflateDecoder first;
        while (done < text.size() / 2 &&
               first.decode(pIn, inLength, reinterpret_cast<unsigned char*>(&out[done]), 997, produced))
            done += produced;
        first.save(state);
    }
    DeflateDecoder second(&state);
    while (done < text.size() &&
           second.decode(pIn, inLength, reinterpret_cast<unsigned char*>(&out[done]), text.size() - done, produced) &&
           produced > 0)
        done += produced;
    return done == text.size() && out == text && second.isFinished();
}

}  // namespace

DeflateDecoder::DeflateDecoder(const std::vector<unsigned char>* pState) : m_pState(new inflate_state) {
    if (pState) {
        std::memcpy(static_cast<void*>(m_pState.get()), pState->data(), pState->size());
        return;
    }
    isal_inflate_init(m_pState.get());
    m_pState->crc_flag = ISAL_DEFLATE;
}

DeflateDecoder::~DeflateDecoder() = default;

bool DeflateDecoder::decode(const unsigned char*& rpIn, std::size_t& rInLength, unsigned char* pOut,
                            std::size_t outLength, std::size_t& rProduced) {
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

bool DeflateDecoder::isFinished() const {
    return m_pState->block_state == ISAL_BLOCK_FINISH;
}

void DeflateDecoder::save(std::vector<unsigned char>& rState) const {
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(m_pState.get());
    rState.assign(pBytes, pBytes + kFixedStateSize + usedOutputBytes(*m_pState));
}

bool DeflateDecoder::statesRestoreRight() {
#if ISAL_MAJOR_VERSION == 2 && ISAL_MINOR_VERSION == 30
    static std::once_flag once;
    static bool bRight = false;
    std::call_once(once, [] { bRight = checkRestoredStates(); });
    return bRight;
#else
    return false;
#endif
}

}  // namespace Tamsor
