// What happens on the line, free of any operating system: bytes come in, the
// units act on the frames they make, and the replies wait for their time to
// leave. The event loop feeds it the bytes it reads and writes what is due.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "bus.hpp"
#include "faults.hpp"
#include "framing.hpp"
#include "log.hpp"
#include "options.hpp"
#include "pacing.hpp"

namespace kx::sim {

class Line {
public:
    Line(const Options& options, double start_s);

    void receive(std::span<const std::uint8_t> bytes, double now);

    // Acts on the commands whose last byte has crossed the wire by `now`.
    void serve(double now);

    [[nodiscard]] std::span<const std::uint8_t> due(double now) const { return pacer_.due(now); }
    void sent(std::size_t n);

    // The client is gone: what was on its way to it goes nowhere.
    void drop_output() { pacer_.clear(); }

    // Nothing of a closed conversation survives.
    void hang_up();

    // When serve() or due() next has something to do.
    [[nodiscard]] std::optional<double> next_deadline() const;

private:
    struct Pending {
        protocol::Frame frame;
        double ready_s;  // when its last byte has crossed the wire
    };

    void answer(const Pending& cmd);
    void answer_at_once(const Pending& cmd, const std::vector<Supply*>& units);
    [[nodiscard]] std::optional<double> next_load_change() const;
    void change_load(double at_s);
    void start_schedule(double now);

    const Options& options_;
    Log log_;
    Bus bus_;
    Pacer pacer_;
    FrameAssembler frames_;
    FaultPicker faults_;
    std::deque<Pending> pending_;
    double schedule_start_s_;
    std::size_t load_steps_done_ = 0;
    bool schedule_waiting_;  // for the line to be opened (--schedule-on-open)
};

}  // namespace kx::sim
