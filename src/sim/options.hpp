// Command-line options of kx5180-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "supply.hpp"

namespace kx::sim {

enum class Fault { Silent, BadChecksum, BadSync, Split, Extra, Late };

struct FaultPlan {
    std::vector<Fault> modes;    // empty: no faults
    std::optional<long> nth;     // only the Nth reply
    std::optional<long> every;   // every Nth reply
    std::optional<double> rate;  // this fraction of replies, drawn from the seed
    std::uint64_t seed = 1;
    double split_pause_ms = 30.0;
    double late_ms = 400.0;
};

struct Options {
    SupplyConfig supply;
    std::string link;
    long baud = 4800;  // 0: no pacing
    double turnaround_ms = 2.0;
    FaultPlan faults;
    bool log = false;
};

// Parses argv. On a bad option returns nothing and sets `error` to one line;
// on --help sets `help`.
std::optional<Options> parse_options(int argc, char** argv, std::string& error, bool& help);

const char* fault_name(Fault f);

extern const char* const kUsage;

}  // namespace kx::sim
