// Serving a captured session again (--replay FILE): each frame the host
// sends is matched with the next one in the capture and answered with the
// bytes the host read after it in the capture, at the same delays. Late
// replies and silences come out as they were recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framing.hpp"
#include "log.hpp"
#include "protocol/frame.hpp"

namespace kx::sim {

struct ReplayChunk {
    double delay_s = 0.0;  // after the frame that it follows
    std::vector<std::uint8_t> bytes;
};

struct ReplayStep {
    protocol::Frame frame{};
    std::vector<ReplayChunk> replies;
};

struct ReplayScript {
    std::vector<ReplayStep> steps;
};

// Reads a capture file (JSON Lines, as kx5180 --capture writes it); on a
// fault returns nothing and sets `error` to one line.
std::optional<ReplayScript> load_replay(const std::string& path, std::string& error);

// The same from the text of the file, for tests and for load_replay.
std::optional<ReplayScript> parse_replay(const std::string& text, std::string& error);

class Replayer {
public:
    // `match_command`: a frame matches when its command word does (else
    // all 26 bytes must).
    Replayer(ReplayScript script, bool match_command, const Log& log);

    void receive(std::span<const std::uint8_t> bytes, double now);

    [[nodiscard]] std::span<const std::uint8_t> due(double now) const;
    void sent(std::size_t n);

    // The client went away: what was on its way to it goes nowhere.
    void hang_up();

    [[nodiscard]] std::optional<double> next_deadline() const;

    // Reports recorded frames that never came; the exit status (0 when the
    // session went as recorded).
    int finish();

private:
    struct Out {
        double at_s;
        std::vector<std::uint8_t> bytes;
        std::size_t sent = 0;
    };

    void take(const protocol::Frame& frame, double now);
    void differs(const std::string& text);

    ReplayScript script_;
    bool match_command_;
    const Log& log_;
    FrameAssembler frames_;
    std::deque<Out> out_;  // in time order
    std::size_t next_ = 0;
    std::size_t differences_ = 0;
};

}  // namespace kx::sim
