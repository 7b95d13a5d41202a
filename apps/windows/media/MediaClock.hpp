#pragma once
// The media pipeline's time: steady-clock nanoseconds (capture stamps, latency, the preflight).

#include <chrono>
#include <cstdint>

namespace murel {

inline std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace murel
