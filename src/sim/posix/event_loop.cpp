#include "event_loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "signals.hpp"
#include "sim/clock.hpp"

namespace kx::sim::posix {

namespace {

// How often to look again while no client holds the terminal: a master
// whose slave is closed reports a hang-up at once, every time.
constexpr int kHangupRetryMs = 5;
// The longest single wait; the loop simply waits again.
constexpr double kMaxWaitMs = 60'000.0;

// Milliseconds until `deadline`, rounded up so that the loop never wakes
// early and spins; -1 waits for input alone.
int wait_ms(const std::optional<double>& deadline, double now) {
    if (!deadline) {
        return -1;
    }
    const double ms = std::ceil((*deadline - now) * 1000.0);
    return static_cast<int>(std::clamp(ms, 0.0, kMaxWaitMs));
}

// Writes what is due; false once the client is gone.
bool flush(Line& line, int master) {
    for (;;) {
        const double now = monotonic_s();
        const auto due = line.due(now);
        if (due.empty()) {
            return true;
        }
        const ssize_t w = write(master, due.data(), due.size());
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        }
        if (w <= 0) {
            return false;
        }
        line.sent(static_cast<std::size_t>(w), now);
    }
}

// False when the client has gone away.
bool receive(Line& line, int master) {
    std::uint8_t buf[512];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    line.receive({buf, static_cast<std::size_t>(n)}, monotonic_s());
    return true;
}

void hang_up(Line& line) {
    line.hang_up();
    pollfd stop{stop_fd(), POLLIN, 0};
    poll(&stop, 1, kHangupRetryMs);
}

}  // namespace

int run(Line& line, int master) {
    while (!stop_requested()) {
        line.serve(monotonic_s());
        if (!flush(line, master)) {
            line.drop_output();
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        const int n = poll(fds, 2, wait_ms(line.next_deadline(), monotonic_s()));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("kx5180-sim: poll");
            return 1;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            if (!receive(line, master)) {
                hang_up(line);
            }
        } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            hang_up(line);
        }
    }
    return 0;
}

}  // namespace kx::sim::posix
