// The serial line's timing: a byte takes 10 bit times (8N1), a command counts
// as received once its last byte has crossed the wire, and replies leave one
// after another, byte by byte at the line rate, on one half-duplex line
// shared by every unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kx::sim {

// Part or all of a reply, with the earliest time its first byte may leave.
struct Chunk {
    std::vector<std::uint8_t> bytes;
    double not_before_s = 0.0;
    bool late = false;  // a late reply, which --late-cancels lets a new command cancel
    std::string who;    // the log's name for the sender
    std::size_t sent = 0;
};

class Pacer {
public:
    // `baud` 0 means no pacing: bytes are taken and given at once.
    explicit Pacer(std::int64_t baud);

    [[nodiscard]] double wire_s(std::size_t bytes) const { return byte_s_ * static_cast<double>(bytes); }

    // Bytes read at `now` crossed the wire one after another, no earlier than
    // the end of those before them; byte_received() gives the time each
    // one's last bit arrived.
    void begin_receive(double now);
    double byte_received();

    void queue(Chunk chunk) { out_.push_back(std::move(chunk)); }

    // Drops the late replies that have not begun to leave; returns how many.
    std::size_t cancel_late();

    // The bytes that may be written at `now`: when paced, those whose time
    // on the wire has begun.
    [[nodiscard]] std::span<const std::uint8_t> due(double now) const;

    // Records that `n` of the due bytes were written; returns the chunk once
    // its last byte is out.
    std::optional<Chunk> sent(std::size_t n);

    [[nodiscard]] std::optional<double> next_deadline() const;

    void clear() { out_.clear(); }

private:
    [[nodiscard]] double next_tx_s() const;

    double byte_s_;
    double rx_done_s_ = 0.0;
    double tx_free_s_ = 0.0;
    std::deque<Chunk> out_;
};

}  // namespace kx::sim
