// The model of a kx5100 series supply that kx5180-sim serves: identity,
// control source, output switch, setpoints, a resistive load with CV/CC
// regulation, and a thermal model driving the fan and the over-temperature
// protection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/codec.hpp"
#include "protocol/frame.hpp"

namespace kx::sim {

struct Thermal {
    double ambient_c = 25.0;
    double c_per_watt = 2.0;  // steady-state rise per watt delivered
    double tau_s = 20.0;      // first-order time constant; 0 = immediate
    double trip_c = 85.0;     // over-temperature protection
};

struct SupplyConfig {
    protocol::Identity identity{1, "5180", "518000001", 373};
    double load_ohms = 10.0;  // infinity = open circuit, 0 = short
    Thermal thermal;
};

// Factory settings, also the state at power-up.
inline constexpr std::uint32_t kFactoryVoltageMaxMv = 30000;
inline constexpr std::uint32_t kFactoryVoltageSetMv = 5000;
inline constexpr std::uint32_t kFactoryCurrentSetMa = 1000;

// What a command word asks of the unit.
enum class CommandKind { Unknown, Setting, Readout };
CommandKind command_kind(std::uint8_t word);

class Supply {
public:
    explicit Supply(SupplyConfig config);

    [[nodiscard]] std::uint8_t address() const { return address_; }

    // Acts on a valid command frame at time `now_s` and returns the reply,
    // or nothing for a command word the unit does not know. `note` receives
    // a line for the log when the command deserves one. With `apply` false a
    // setting command is acknowledged but changes nothing.
    std::optional<protocol::Frame> handle(const protocol::Frame& command, double now_s, std::string& note,
                                          bool apply = true);

    // The load changes at `at_s`; the temperature integrates the old one up to then.
    void set_load(double ohms, double at_s);

    // The live state as the status reply reports it.
    [[nodiscard]] protocol::Status status(double now_s);

private:
    struct Electrical {
        std::uint32_t voltage_mv = 0;
        std::uint32_t current_ma = 0;
        protocol::Regulation regulation = protocol::Regulation::Unknown;
        double watts = 0.0;
    };

    [[nodiscard]] Electrical regulate() const;
    void advance(double now_s);
    void restore_factory();
    protocol::Frame acknowledge(protocol::Command word) const;

    SupplyConfig config_;
    std::uint8_t address_;
    std::uint8_t address_at_power_up_;
    bool remote_ = false;
    bool output_on_ = false;
    bool over_temperature_ = false;
    std::uint32_t voltage_max_mv_ = kFactoryVoltageMaxMv;
    std::uint32_t voltage_set_mv_ = kFactoryVoltageSetMv;
    std::uint32_t current_set_ma_ = kFactoryCurrentSetMa;
    double temperature_c_;
    std::optional<double> last_update_s_;
};

}  // namespace kx::sim
