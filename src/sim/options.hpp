// Command-line options of kx5180-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.hpp"
#include "protocol/line.hpp"
#include "supply.hpp"

namespace kx::sim {

// At `at_s` seconds after the start, the load of every unit becomes `ohms`.
struct LoadStep {
    double at_s = 0.0;
    double ohms = 0.0;
};

struct Options {
    SupplyConfig supply;                  // as given; the units below derive from it
    std::vector<SupplyConfig> units;      // every unit on the line, in address order given
    std::vector<LoadStep> load_schedule;  // in time order
    bool schedule_on_open = false;        // the schedule counts from each opening of the line
    bool address_given = false;
    std::int64_t unit_count = 1;               // --units N
    std::vector<std::uint8_t> unit_addresses;  // --units A,B,...
    std::string link;
    std::int64_t baud = protocol::kBaudRate;  // 0: no pacing
    double turnaround_ms = 2.0;
    FaultPlan faults;
    bool log = false;
    bool watch_stdin = false;           // stop at end of file on standard input
    bool version = false;               // --version: print kVersion and stop
    std::string replay;                 // --replay FILE: serve a captured session instead
    bool replay_match_command = false;  // --replay-match command
};

// Parses argv. On a bad option returns nothing and sets `error` to one line;
// on --help sets `help`, on --version `version` in what it returns.
std::optional<Options> parse_options(int argc, char** argv, std::string& error, bool& help);

extern const char* const kUsage;
// The distribution's version, from the build (pyproject.toml is its one home).
extern const char* const kVersion;

}  // namespace kx::sim
