#include "replay_loop.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "signals.hpp"
#include "sim/clock.hpp"

namespace kx::sim::posix {

namespace {

// As in the simulator's loop: a master whose slave is closed is readable at
// once and reads fail, so look again a little later.
constexpr double kHangupRetryS = 0.005;
constexpr double kMaxWaitS = 60.0;

// 1 readable, 0 timeout or stop, -1 failure.
int wait_for(int fd, double seconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(stop_fd(), &readable);
    if (fd >= 0) {
        FD_SET(fd, &readable);
    }
    const double s = std::clamp(seconds, 0.0, kMaxWaitS);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(s);
    tv.tv_usec = static_cast<suseconds_t>(std::min(999'999.0, std::ceil((s - static_cast<double>(tv.tv_sec)) * 1e6)));
    const int n = select(std::max(fd, stop_fd()) + 1, &readable, nullptr, nullptr, &tv);
    if (n < 0) {
        if (errno == EINTR) {
            return 0;
        }
        std::perror("kx5180-sim: select");
        return -1;
    }
    return n > 0 && fd >= 0 && FD_ISSET(fd, &readable) ? 1 : 0;
}

}  // namespace

int run_replay(Replayer& replayer, int master) {
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
        const auto deadline = replayer.next_deadline();
        const int woken = wait_for(master, deadline ? *deadline - monotonic_s() : kMaxWaitS);
        if (woken < 0) {
            return 1;
        }
        if (woken == 0) {
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            replayer.receive({buf, static_cast<std::size_t>(n)}, monotonic_s());
        } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
            replayer.hang_up();
            wait_for(-1, kHangupRetryS);
        }
    }
    return replayer.finish();
}

}  // namespace kx::sim::posix
