#include "framing.hpp"

#include <algorithm>

namespace kx::sim {

namespace {

constexpr double kIdleResyncS = 0.1;

}  // namespace

void FrameAssembler::arriving(double now) {
    if (!rx_.empty() && now - last_rx_s_ > kIdleResyncS) {
        log_.frame("rx", rx_, "(partial frame dropped after a pause)");
        rx_.clear();
    }
    last_rx_s_ = now;
}

std::optional<protocol::Frame> FrameAssembler::take(std::uint8_t byte) {
    if (rx_.empty() && byte != protocol::kSync) {
        log_.frame("rx", {&byte, 1}, "(not a frame start, skipped)");
        return std::nullopt;
    }
    rx_.push_back(byte);
    if (rx_.size() < protocol::kFrameLength) {
        return std::nullopt;
    }
    protocol::Frame f;
    std::copy(rx_.begin(), rx_.end(), f.begin());
    if (protocol::is_valid(f)) {
        rx_.clear();
        return f;
    }
    log_.frame("rx", f, "(bad checksum, ignored)");
    // The next frame may start inside what was received.
    const auto next = std::find(rx_.begin() + 1, rx_.end(), protocol::kSync);
    rx_.erase(rx_.begin(), next);
    return std::nullopt;
}

}  // namespace kx::sim
