#include "bus.hpp"

#include <span>

namespace kx::sim {

Bus::Bus(const std::vector<SupplyConfig>& units) {
    units_.reserve(units.size());
    for (const SupplyConfig& config : units) {
        units_.emplace_back(config);
    }
}

std::vector<Supply*> Bus::addressed(std::uint8_t address) {
    std::vector<Supply*> found;
    for (Supply& unit : units_) {
        if (address == protocol::kBroadcastAddress || unit.address() == address) {
            found.push_back(&unit);
        }
    }
    return found;
}

void Bus::set_load(double ohms, double at_s) {
    for (Supply& unit : units_) {
        unit.set_load(ohms, at_s);
    }
}

std::string unit_name(std::uint8_t address) {
    return "unit " + std::to_string(address);
}

std::vector<std::uint8_t> collide(const std::vector<protocol::Frame>& replies) {
    std::vector<std::uint8_t> line(protocol::kFrameLength + replies.size() - 1, 0xFF);
    for (std::size_t k = 0; k < replies.size(); ++k) {
        for (std::size_t i = 0; i < protocol::kFrameLength; ++i) {
            line[k + i] &= replies[k][i];
        }
    }
    for (std::size_t start = 0; start + protocol::kFrameLength <= line.size(); ++start) {
        const std::span<const std::uint8_t> window(line.data() + start, protocol::kFrameLength);
        if (protocol::is_valid(window)) {
            line[start + protocol::kChecksumIndex] ^= 0x01;
        }
    }
    return line;
}

}  // namespace kx::sim
