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
    const std::size_t count = byte_s_ > 0 ? 1 : c.bytes.size() - c.sent;
    return {c.bytes.data() + c.sent, count};
}

std::optional<Chunk> Pacer::sent(std::size_t n, double now) {
    // Count from when the byte was due, not from the wake-up that wrote it,
    // so that the coarse timeouts of the wait do not slow the line; but never
    // from further back than half a byte, so a stalled loop does not burst.
    const double start = std::max(next_tx_s(), now - byte_s_ / 2.0);
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
