// The units that share the line: which of them act on a frame, and what the
// line carries when several answer at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame.hpp"
#include "supply.hpp"

namespace kx::sim {

class Bus {
public:
    explicit Bus(const std::vector<SupplyConfig>& units);

    // The unit that holds `address`, every unit for the broadcast address
    // 255, or none.
    std::vector<Supply*> addressed(std::uint8_t address);

    void set_load(double ohms, double at_s);

private:
    std::vector<Supply> units_;
};

// The log's name for a unit: "unit 3".
std::string unit_name(std::uint8_t address);

// What the line carries when several units answer at once. Each unit starts
// one byte time after the one before it (their turnarounds never match
// exactly), and where two drive the line together the idle-high line gives
// the AND of their bytes. The result is 25 + N bytes long, never 26, and no 26
// of its bytes in a row form a valid frame: where a window would verify, its
// checksum byte is spoilt, which leaves every window before it as it was.
std::vector<std::uint8_t> collide(const std::vector<protocol::Frame>& replies);

}  // namespace kx::sim
