#ifndef TAMSOR_BENCH_PEAKRESIDENT_H
#define TAMSOR_BENCH_PEAKRESIDENT_H

// The benchmarks' own peak memory, as the kernel counts it.

#include <fstream>
#include <string>

namespace {

// The "VmHWM:" line of /proc/self/status, in KiB; -1 when it cannot be read.
inline long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

}  // namespace

#endif
