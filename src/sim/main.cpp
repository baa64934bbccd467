// kx5180-sim: a simulated kx5100 series supply on a pseudo-terminal.
//
// Only the master side is held, so `lsof` on the terminal shows nothing
// until a client opens it. The line is paced like a real 4800-baud 8N1 line
// unless --baud 0: a command counts as received only after its wire time,
// and the reply goes out byte by byte at the line rate.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "options.hpp"
#include "protocol/frame.hpp"
#include "supply.hpp"

namespace kx::sim {

namespace {

using protocol::Frame;
using protocol::kFrameLength;

volatile sig_atomic_t stop_requested = 0;

void on_signal(int /*sig*/) {
    stop_requested = 1;
}

double monotonic_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A partial frame older than this is line noise or a client that went away.
constexpr double kIdleResyncS = 0.1;
// How often to look again while no client holds the terminal.
constexpr double kHangupRetryS = 0.005;
constexpr std::size_t kSplitAt = 10;

class Server {
public:
    Server(const Options& o, int master)
        : o_(o), master_(master), supply_(o.supply), rng_(o.faults.seed), start_(monotonic_s()) {
        byte_s_ = o.baud > 0 ? 10.0 / static_cast<double>(o.baud) : 0.0;
    }

    int run() {
        sigset_t unblocked;
        sigemptyset(&unblocked);
        while (stop_requested == 0) {
            const double now = monotonic_s();
            serve_due(now);
            pollfd fd{master_, POLLIN, 0};
            const double deadline = next_deadline();
            double wait = deadline < 0 ? -1.0 : std::max(0.0, deadline - now);
            timespec ts{};
            auto set_ts = [&ts](double s) {
                ts.tv_sec = static_cast<time_t>(s);
                ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
            };
            if (wait >= 0) {
                set_ts(wait);
            }
            const int n = ppoll(&fd, 1, wait >= 0 ? &ts : nullptr, &unblocked);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("kx5180-sim: ppoll");
                return 1;
            }
            if (n == 0) {
                continue;
            }
            if ((fd.revents & POLLIN) != 0) {
                if (!receive()) {
                    hang_up();
                }
            } else if ((fd.revents & (POLLHUP | POLLERR)) != 0) {
                hang_up();
            }
        }
        return 0;
    }

private:
    struct Pending {
        Frame frame;
        double ready_s;  // when its last byte has crossed the wire
    };
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        double not_before_s;
        bool cancellable = false;  // a late reply that a new command cancels
        std::size_t sent = 0;
    };

    [[nodiscard]] double elapsed(double now) const { return now - start_; }

    void log_frame(const char* dir, const std::uint8_t* b, std::size_t n, const char* note = nullptr) const {
        if (!o_.log) {
            return;
        }
        std::string hex;
        for (std::size_t i = 0; i < n; ++i) {
            char h[4];
            std::snprintf(h, sizeof h, i > 0 ? " %02X" : "%02X", b[i]);
            hex += h;
        }
        std::fprintf(stderr, "[%11.6f] %s %s%s%s\n", elapsed(monotonic_s()), dir, hex.c_str(), note ? "  " : "",
                     note ? note : "");
    }

    void log_note(const std::string& text) const {
        if (o_.log) {
            std::fprintf(stderr, "[%11.6f] -- %s\n", elapsed(monotonic_s()), text.c_str());
        }
    }

    // The client went away (or never came): nothing of its conversation
    // survives, and the master is left alone until a client opens the slave.
    void hang_up() {
        rx_.clear();
        pending_.clear();
        out_.clear();
        // Wait with the stop signals unblocked: ppoll on a terminal that keeps
        // reporting a hang-up returns at once and would never deliver them.
        timespec ts{0, static_cast<long>(kHangupRetryS * 1e9)};
        sigset_t unblocked;
        sigemptyset(&unblocked);
        ppoll(nullptr, 0, &ts, &unblocked);
    }

    bool receive() {
        std::uint8_t buf[512];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
        const double now = monotonic_s();
        if (!rx_.empty() && now - last_rx_s_ > kIdleResyncS) {
            log_frame("rx", rx_.data(), rx_.size(), "(partial frame dropped after a pause)");
            rx_.clear();
        }
        last_rx_s_ = now;
        rx_done_s_ = std::max(rx_done_s_, now);
        for (ssize_t i = 0; i < n; ++i) {
            rx_done_s_ += byte_s_;
            take(buf[i]);
        }
        // A half-duplex unit drops an answer it has not begun to send when a
        // new command comes in.
        for (auto it = out_.begin(); it != out_.end();) {
            if (it->cancellable && it->sent == 0) {
                log_note("late reply cancelled by a new command");
                it = out_.erase(it);
            } else {
                ++it;
            }
        }
        return true;
    }

    void take(std::uint8_t byte) {
        if (rx_.empty() && byte != protocol::kSync) {
            log_frame("rx", &byte, 1, "(not a frame start, skipped)");
            return;
        }
        rx_.push_back(byte);
        if (rx_.size() < kFrameLength) {
            return;
        }
        Frame f;
        std::copy(rx_.begin(), rx_.end(), f.begin());
        if (protocol::is_valid(f)) {
            pending_.push_back({f, rx_done_s_});
            rx_.clear();
            return;
        }
        log_frame("rx", f.data(), f.size(), "(bad checksum, ignored)");
        // Look for the next possible frame start inside what was received.
        rx_.erase(rx_.begin());
        while (!rx_.empty() && rx_.front() != protocol::kSync) {
            rx_.erase(rx_.begin());
        }
    }

    bool faulted(Fault& which) {
        ++replies_;
        const FaultPlan& p = o_.faults;
        if (p.modes.empty()) {
            return false;
        }
        bool hit = true;
        if (p.nth) {
            hit = replies_ == *p.nth;
        } else if (p.every) {
            hit = replies_ % *p.every == 0;
        } else if (p.rate) {
            hit = std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < *p.rate;
        }
        if (!hit) {
            return false;
        }
        if (p.rate) {
            which = p.modes[std::uniform_int_distribution<std::size_t>(0, p.modes.size() - 1)(rng_)];
        } else {
            which = p.modes[faults_ % p.modes.size()];
        }
        ++faults_;
        return true;
    }

    [[nodiscard]] double wire_s(std::size_t bytes) const { return byte_s_ * static_cast<double>(bytes); }

    void answer(const Pending& cmd) {
        log_frame("rx", cmd.frame.data(), cmd.frame.size());
        if (!supply_.addressed_to_me(cmd.frame)) {
            log_note("addressed to another unit: no reply");
            return;
        }
        std::string note;
        const auto reply = supply_.handle(cmd.frame, cmd.ready_s, note);
        if (!note.empty()) {
            log_note(note);
        }
        if (!reply) {
            return;
        }
        const double ready = cmd.ready_s + o_.turnaround_ms / 1000.0;
        std::vector<std::uint8_t> bytes(reply->begin(), reply->end());
        Fault fault{};
        if (!faulted(fault)) {
            out_.push_back({bytes, ready});
            return;
        }
        log_note("fault: " + std::string(fault_name(fault)) + " on reply " + std::to_string(replies_));
        switch (fault) {
            case Fault::Silent:
                return;
            case Fault::BadChecksum:
                bytes.back() = static_cast<std::uint8_t>(bytes.back() + 1);
                break;
            case Fault::BadSync:
                bytes.front() = 0x55;
                break;
            case Fault::Extra:
                bytes.push_back(0x00);
                break;
            case Fault::Split: {
                std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + kSplitAt);
                std::vector<std::uint8_t> tail(bytes.begin() + kSplitAt, bytes.end());
                out_.push_back({head, ready});
                out_.push_back({tail, ready + wire_s(kSplitAt) + o_.faults.split_pause_ms / 1000.0});
                return;
            }
            case Fault::Late:
                out_.push_back({bytes, cmd.ready_s + o_.faults.late_ms / 1000.0, true});
                return;
        }
        out_.push_back({bytes, ready});
    }

    // Time at which the next byte of the first outgoing chunk may leave.
    [[nodiscard]] double next_tx_s() const {
        const Outgoing& o = out_.front();
        return std::max(o.not_before_s, tx_free_s_);
    }

    void serve_due(double now) {
        while (!pending_.empty() && pending_.front().ready_s <= now) {
            const Pending p = pending_.front();
            pending_.pop_front();
            answer(p);
        }
        while (!out_.empty() && next_tx_s() <= now) {
            Outgoing& o = out_.front();
            const std::size_t count = byte_s_ > 0 ? 1 : o.bytes.size() - o.sent;
            const ssize_t w = write(master_, o.bytes.data() + o.sent, count);
            if (w <= 0) {
                if (w < 0 && errno == EAGAIN) {
                    return;
                }
                out_.clear();  // the client is gone; the reply goes nowhere
                return;
            }
            tx_free_s_ = std::max(tx_free_s_, now) + wire_s(static_cast<std::size_t>(w));
            o.sent += static_cast<std::size_t>(w);
            if (o.sent == o.bytes.size()) {
                log_frame("tx", o.bytes.data(), o.bytes.size());
                out_.pop_front();
            }
        }
    }

    [[nodiscard]] double next_deadline() const {
        double d = -1.0;
        if (!pending_.empty()) {
            d = pending_.front().ready_s;
        }
        if (!out_.empty()) {
            const double t = next_tx_s();
            d = d < 0 ? t : std::min(d, t);
        }
        return d;
    }

    const Options& o_;
    int master_;
    Supply supply_;
    std::mt19937_64 rng_;
    double start_;
    double byte_s_ = 0.0;
    std::vector<std::uint8_t> rx_;
    double last_rx_s_ = 0.0;
    double rx_done_s_ = 0.0;
    double tx_free_s_ = 0.0;
    std::deque<Pending> pending_;
    std::deque<Outgoing> out_;
    long replies_ = 0;
    std::size_t faults_ = 0;
};

// Opens the pseudo-terminal pair and leaves the slave raw, so that bytes
// such as 0x0D cross it unchanged even before a client configures it.
int open_master(std::string& slave_path) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("kx5180-sim: pseudo-terminal");
        return -1;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        std::perror("kx5180-sim: ptsname");
        return -1;
    }
    slave_path = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B4800);
            cfsetospeed(&t, B4800);
            tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    }
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return master;
}

bool make_link(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "kx5180-sim: --link %s: exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "kx5180-sim: --link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void remove_link(const std::string& link, const std::string& target) {
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

}  // namespace

}  // namespace kx::sim

int main(int argc, char** argv) {
    using namespace kx::sim;
    std::string error;
    bool help = false;
    const auto options = parse_options(argc, argv, error, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "kx5180-sim: %s\n", error.c_str());
        return 2;
    }

    // Signals are delivered only while waiting in ppoll, so a stop request
    // is never lost between a check and a wait.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::string slave;
    const int master = open_master(slave);
    if (master < 0) {
        return 1;
    }
    if (!options->link.empty() && !make_link(options->link, slave)) {
        return 1;
    }
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    Server server(*options, master);
    const int rc = server.run();
    if (!options->link.empty()) {
        remove_link(options->link, slave);
    }
    ::close(master);
    return rc;
}
