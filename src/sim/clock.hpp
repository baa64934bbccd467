// The one clock of the simulator: monotonic seconds, shared by the pacing,
// the models and the log so that their times compare.
#pragma once

#include <chrono>

namespace kx::sim {

inline double monotonic_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace kx::sim
