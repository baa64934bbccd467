#include "replay_loop.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "event_loop.hpp"
#include "signals.hpp"
#include "sim/clock.hpp"

namespace kx::sim::posix {

namespace {

// As in the simulator's loop: a master whose slave is closed is readable at
// once and reads fail, so look again a little later.
constexpr double kHangupRetryS = 0.005;

}  // namespace

int run_replay(Replayer& replayer, int master, int lifeline) {
    while (!stop_requested()) {
        for (;;) {
            const auto due = replayer.due(monotonic_s());
            if (due.empty()) {
                break;
            }
            const ssize_t w = write(master, due.data(), due.size());
            if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            }
            if (w <= 0) {
                replayer.hang_up();
                break;
            }
            replayer.sent(static_cast<std::size_t>(w));
        }
        const Woken woken = wait_readable(master, replayer.next_deadline(), lifeline);
        if (woken == Woken::Failed) {
            return 1;
        }
        if (woken == Woken::LifelineEnded) {
            break;
        }
        if (woken != Woken::Readable) {
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            replayer.receive({buf, static_cast<std::size_t>(n)}, monotonic_s());
        } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
            replayer.hang_up();
            wait_readable(-1, monotonic_s() + kHangupRetryS);
        }
    }
    return replayer.finish();
}

}  // namespace kx::sim::posix
