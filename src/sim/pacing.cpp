#include "pacing.hpp"

#include <algorithm>

#include "protocol/line.hpp"

namespace kx::sim {

Pacer::Pacer(std::int64_t baud) : byte_s_(baud > 0 ? protocol::kBitsPerByte / static_cast<double>(baud) : 0.0) {}

void Pacer::begin_receive(double now) {
    rx_done_s_ = std::max(rx_done_s_, now);
}

double Pacer::byte_received() {
    rx_done_s_ += byte_s_;
    return rx_done_s_;
}

std::size_t Pacer::cancel_late() {
    const auto before = out_.size();
    std::erase_if(out_, [](const Chunk& c) { return c.late && c.sent == 0; });
    return before - out_.size();
}

double Pacer::next_tx_s() const {
    return std::max(out_.front().not_before_s, tx_free_s_);
}

std::span<const std::uint8_t> Pacer::due(double now) const {
    if (out_.empty() || next_tx_s() > now) {
        return {};
    }
    const Chunk& c = out_.front();
    std::size_t count = c.bytes.size() - c.sent;
    if (byte_s_ > 0) {
        // A wake-up that came late writes every byte whose time has come at
        // once: on a real line the UART would have sent them meanwhile, and
        // they would be waiting in the host's buffer. Pacing each byte from
        // its own late wake-up would instead let a busy host's delays add up
        // across the frame, and the reply would come later than any unit's.
        const auto ready = static_cast<std::size_t>((now - next_tx_s()) / byte_s_) + 1;
        count = std::min(count, ready);
    }
    return {c.bytes.data() + c.sent, count};
}

std::optional<Chunk> Pacer::sent(std::size_t n) {
    // Count from when the bytes were due, not from the wake-up that wrote
    // them, so that neither the coarse timeouts of the wait nor a stalled
    // loop slow the line.
    const double start = next_tx_s();
    tx_free_s_ = start + wire_s(n);
    Chunk& c = out_.front();
    c.sent += n;
    if (c.sent < c.bytes.size()) {
        return std::nullopt;
    }
    Chunk done = std::move(c);
    out_.pop_front();
    return done;
}

std::optional<double> Pacer::next_deadline() const {
    if (out_.empty()) {
        return std::nullopt;
    }
    return next_tx_s();
}

}  // namespace kx::sim
