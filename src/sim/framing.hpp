// Finds command frames in the bytes that arrive: a frame starts with the
// sync byte and is whole when 26 bytes verify; anything else is skipped and
// logged, and the search resumes at the next sync byte.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "log.hpp"
#include "protocol/frame.hpp"

namespace kx::sim {

class FrameAssembler {
public:
    explicit FrameAssembler(const Log& log) : log_(log) {}

    // Called before the bytes that arrived at `now`: a partial frame left
    // standing through a pause is line noise or a client that went away.
    void arriving(double now);

    // Takes one byte; returns the frame it completes, if it does.
    std::optional<protocol::Frame> take(std::uint8_t byte);

    void clear() { rx_.clear(); }

private:
    const Log& log_;
    std::vector<std::uint8_t> rx_;
    double last_rx_s_ = 0.0;
};

}  // namespace kx::sim
