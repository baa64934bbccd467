// Faults that the simulated supply injects into its replies, to exercise a
// driver's failure paths: which replies are faulted, in which mode, and what
// each mode does to the bytes on the line.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "pacing.hpp"
#include "protocol/frame.hpp"

namespace kx::sim {

enum class Fault { Silent, BadChecksum, BadSync, Split, Extra, Late, Ignore };

struct FaultPlan {
    std::vector<Fault> modes;           // empty: no faults
    std::optional<std::int64_t> nth;    // only the Nth reply
    std::optional<std::int64_t> every;  // every Nth reply
    std::optional<double> rate;         // this fraction of replies, drawn from the seed
    std::uint64_t seed = 1;
    double split_pause_ms = 30.0;
    double late_ms = 400.0;
    bool late_cancels = false;  // a new command cancels a late reply not yet begun
};

const char* fault_name(Fault f);
std::optional<Fault> fault_named(std::string_view name);

// Counts the replies on the line and picks the ones to fault.
class FaultPicker {
public:
    explicit FaultPicker(const FaultPlan& plan) : plan_(plan), rng_(plan.seed) {}

    // Counts one reply and returns its fault, if it gets one.
    std::optional<Fault> next();

    // Counts one reply that is never faulted (the line garbles it anyway).
    void skip() { ++replies_; }

    // The number of the last reply counted, 1 being the first.
    [[nodiscard]] std::int64_t replies() const { return replies_; }

private:
    FaultPlan plan_;
    std::mt19937_64 rng_;
    std::int64_t replies_ = 0;
    std::size_t faults_ = 0;
};

// What the line carries for a reply that is ready at `ready_s`, to a command
// received at `received_s`, under `fault`; nothing for a silent one.
std::vector<Chunk> shape_reply(const protocol::Frame& reply, std::optional<Fault> fault, double received_s,
                               double ready_s, const FaultPlan& plan, const Pacer& pacer);

}  // namespace kx::sim
