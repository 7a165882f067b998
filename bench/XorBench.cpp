// The scrambling transform against the plain byte loop that defines it, in bytes per second: a 64 KiB buffer
// (a typical zziplib read) at key phases 0, 5 and 15, and a 16 MiB buffer.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "tamsor/ZIPEncryptedFileSystem.h"

namespace {

using Tamsor::ZIPEncryptedFileSystem;

// The definition: key index carried from the offset's phase, one byte at a time.
void byteLoop(char* buf, unsigned int len, unsigned int offset) {
    unsigned int k = offset % 16;
    for (unsigned int i = 0; i < len; ++i) {
        buf[i] = static_cast<char>(buf[i] ^ ZIPEncryptedFileSystem::m_key[k]);
        k = (k + 1) % 16;
    }
}

std::vector<char> makeBuffer(std::size_t size) {
    std::vector<char> buffer(size);
    std::uint32_t state = 2463534242u;
    for (char& byte : buffer) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return buffer;
}

// Runs `transform` over the whole buffer once per iteration; the buffer is kept observable so that no pass
// can be dropped.
template <void (*transform)(char*, unsigned int, unsigned int)>
void xorPass(benchmark::State& state) {
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    const unsigned int phase = static_cast<unsigned int>(state.range(1));
    std::vector<char> buffer = makeBuffer(size);
    for (auto _ : state) {
        transform(buffer.data(), size, phase);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

void encryptPass(benchmark::State& state) {
    xorPass<&ZIPEncryptedFileSystem::encrypt>(state);
}

void byteLoopPass(benchmark::State& state) {
    xorPass<&byteLoop>(state);
}

void sizesAndPhases(benchmark::internal::Benchmark* pBenchmark) {
    pBenchmark->ArgNames({"bytes", "phase"});
    for (int phase : {0, 5, 15}) pBenchmark->Args({64 << 10, phase});
    pBenchmark->Args({16 << 20, 0});
}

}  // namespace

BENCHMARK(encryptPass)->Apply(sizesAndPhases);
BENCHMARK(byteLoopPass)->Apply(sizesAndPhases);

BENCHMARK_MAIN();
