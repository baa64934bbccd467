// The frame log on standard error: one line per frame or note, stamped with
// the seconds since the simulator started.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kx::sim {

class Log {
public:
    Log(bool enabled, double start_s) : enabled_(enabled), start_s_(start_s) {}

    // "[   1.234567] rx AA 01 26 ... 00  (note)"; `dir` is "rx" or "tx".
    void frame(std::string_view dir, std::span<const std::uint8_t> bytes, std::string_view note = {}) const;

    // "[   1.234567] -- text"
    void note(std::string_view text) const;

    [[nodiscard]] bool enabled() const { return enabled_; }

private:
    bool enabled_;
    double start_s_;
};

}  // namespace kx::sim
