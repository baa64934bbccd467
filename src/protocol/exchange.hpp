// The write-then-poll exchange that carries one command frame and its reply:
// the order of the steps, the poll budget and when a line counts as quiet.
// The port type supplies the mechanics (the driver's adapter over a Python
// port object), so the policy reads here as the protocol states it.
#pragma once

#include <optional>

namespace kx::protocol {

inline constexpr int kMaxPolls = 30;
inline constexpr double kPollIntervalSeconds = 0.01;

// Port operations used, in the order the exchange uses them:
//   settled(), mark_settled(bool)  whether no reply can still be on its way
//   pause()                        sleep one poll interval
//   frame_or_more_waiting()        at least a frame's worth of bytes waits
//   discard_stale()                drop whatever is waiting
//   write()                        send the command frame once
//   frame_waiting()                exactly a frame's worth of bytes waits
//   read_frame()                   take those bytes
//   accept(reply)                  length, sync byte and checksum tests
//
// After an exchange that read nothing (a silent unit, an interrupt) a
// reply may still arrive; it would be taken as the next command's reply.
// So the next exchange first waits up to one poll budget for it, then
// drops whatever is waiting before it writes. A healthy line never waits.
// The command is written once; a lost or garbled reply is never asked for
// again.
template <class Port>
std::optional<typename Port::Reply> write_and_read(Port& port) {
    if (!port.settled()) {
        for (int polls = kMaxPolls; polls > 0; --polls) {
            port.pause();
            if (port.frame_or_more_waiting()) {
                break;
            }
        }
        port.mark_settled(true);
    }
    port.discard_stale();
    port.mark_settled(false);
    port.write();
    for (int polls = kMaxPolls; polls > 0; --polls) {
        port.pause();
        if (port.frame_waiting()) {
            auto reply = port.read_frame();
            port.mark_settled(true);
            if (port.accept(reply)) {
                return reply;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace kx::protocol
