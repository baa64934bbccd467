#include "event_loop.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>

#include "signals.hpp"
#include "sim/clock.hpp"

namespace kx::sim::posix {

namespace {

// How often to look again while no client holds the terminal: a master
// whose slave is closed is readable at once, every time, and reads fail.
constexpr double kHangupRetryS = 0.005;
// The longest single wait; the loop simply waits again.
constexpr double kMaxWaitS = 60.0;

// Readable with nothing to read means the other end is gone; what does
// come is of no interest.
bool lifeline_ended(int lifeline) {
    char buf[256];
    const ssize_t n = read(lifeline, buf, sizeof buf);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
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
        line.sent(static_cast<std::size_t>(w));
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
    wait_readable(-1, monotonic_s() + kHangupRetryS);
}

}  // namespace

// select() rather than poll(), because poll() does not serve terminal
// devices on every system.
Woken wait_readable(int fd, const std::optional<double>& deadline, int lifeline) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(stop_fd(), &readable);
    if (fd >= 0) {
        FD_SET(fd, &readable);
    }
    if (lifeline >= 0) {
        FD_SET(lifeline, &readable);
    }
    timeval tv{};
    timeval* timeout = nullptr;
    if (deadline) {
        const double s = std::clamp(*deadline - monotonic_s(), 0.0, kMaxWaitS);
        tv.tv_sec = static_cast<time_t>(s);
        tv.tv_usec = static_cast<suseconds_t>(std::ceil((s - static_cast<double>(tv.tv_sec)) * 1e6));
        if (tv.tv_usec >= 1'000'000) {
            tv.tv_sec += 1;
            tv.tv_usec -= 1'000'000;
        }
        timeout = &tv;
    }
    const int n = select(std::max({fd, stop_fd(), lifeline}) + 1, &readable, nullptr, nullptr, timeout);
    if (n < 0 && errno != EINTR) {
        std::perror("kx5180-sim: select");
        return Woken::Failed;
    }
    if (n > 0 && lifeline >= 0 && FD_ISSET(lifeline, &readable) && lifeline_ended(lifeline)) {
        return Woken::LifelineEnded;
    }
    return n > 0 && fd >= 0 && FD_ISSET(fd, &readable) ? Woken::Readable : Woken::Other;
}

int run(Line& line, int master, int lifeline) {
    while (!stop_requested()) {
        line.serve(monotonic_s());
        if (!flush(line, master)) {
            line.drop_output();
        }
        const Woken woken = wait_readable(master, line.next_deadline(), lifeline);
        if (woken == Woken::Failed) {
            return 1;
        }
        if (woken == Woken::LifelineEnded) {
            return 0;
        }
        if (woken == Woken::Readable && !receive(line, master)) {
            hang_up(line);
        }
    }
    return 0;
}

}  // namespace kx::sim::posix
