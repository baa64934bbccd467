// The write-then-poll exchange that carries one command frame and its reply.
// The policy lives here; the port adapter supplies the mechanics, so the same
// sequence serves a Python port object and a plain file descriptor alike.
#pragma once

#include <concepts>
#include <optional>

namespace kx::protocol {

inline constexpr int kMaxPolls = 30;
inline constexpr double kPollIntervalSeconds = 0.01;

// What the exchange needs from a port:
//   discard_stale()  drop whatever an earlier exchange left waiting
//   write()          send the command frame once
//   pause()          sleep one poll interval
//   frame_waiting()  true when exactly one frame's worth of bytes waits
//   read_frame()     take those bytes
//   accept(reply)    length, sync byte and checksum tests, in that order
template <class Port>
concept ExchangePort = requires(Port& p, const typename Port::Reply& r) {
    typename Port::Reply;
    p.discard_stale();
    p.write();
    p.pause();
    { p.frame_waiting() } -> std::convertible_to<bool>;
    { p.read_frame() } -> std::convertible_to<typename Port::Reply>;
    { p.accept(r) } -> std::convertible_to<bool>;
};

// Stale bytes are dropped before writing: otherwise a late reply to one
// command is taken as the reply to the next, and more than a frame's worth
// waiting would make every later exchange fail. The command is written once;
// a lost or garbled reply is never asked for again.
template <ExchangePort Port>
std::optional<typename Port::Reply> write_and_read(Port& port) {
    port.discard_stale();
    port.write();
    for (int polls = kMaxPolls; polls > 0; --polls) {
        port.pause();
        if (port.frame_waiting()) {
            auto reply = port.read_frame();
            if (port.accept(reply)) {
                return reply;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace kx::protocol
