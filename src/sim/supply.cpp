#include "supply.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kx::sim {

using protocol::Command;
using protocol::Frame;

namespace {

constexpr std::uint8_t kAckDone = 0x80;
constexpr double kFanStartC = 35.0;
constexpr double kFanStepC = 7.0;

// Clamped before rounding: a huge load in CC mode must not overflow the conversion.
std::uint32_t to_milli(double units) {
    const double milli = std::clamp(units * 1000.0, 0.0, 4294967295.0);
    return static_cast<std::uint32_t>(std::floor(milli + 0.5));
}

}  // namespace

Supply::Supply(SupplyConfig config)
    : config_(std::move(config)),
      address_(config_.identity.address),
      address_at_power_up_(config_.identity.address),
      temperature_c_(config_.thermal.ambient_c) {}

CommandKind command_kind(std::uint8_t word) {
    switch (static_cast<Command>(word)) {
        case Command::SetWorkMode:
        case Command::SetOutMode:
        case Command::SetMaxOutVoltage:
        case Command::SetOutVoltage:
        case Command::SetOutCurrent:
        case Command::SetNewAddr:
        case Command::RestoreFactory:
            return CommandKind::Setting;
        case Command::ReadDevRealStatus:
        case Command::ReadDevVersion:
            return CommandKind::Readout;
        case Command::DevReturn:
            break;
    }
    return CommandKind::Unknown;
}

void Supply::set_load(double ohms, double at_s) {
    advance(at_s);
    config_.load_ohms = ohms;
}

Supply::Electrical Supply::regulate() const {
    Electrical e;
    if (!output_on_) {
        return e;
    }
    const double target_v = std::min(voltage_set_mv_, voltage_max_mv_) / 1000.0;
    const double limit_a = current_set_ma_ / 1000.0;
    const double r = config_.load_ohms;
    double volts = 0.0;
    double amps = 0.0;
    if (std::isinf(r)) {
        volts = target_v;
        e.regulation = protocol::Regulation::CV;
    } else if (r > 0.0 && target_v / r <= limit_a) {
        volts = target_v;
        amps = target_v / r;
        e.regulation = protocol::Regulation::CV;
    } else {
        amps = limit_a;
        volts = limit_a * r;
        e.regulation = protocol::Regulation::CC;
    }
    e.voltage_mv = to_milli(volts);
    e.current_ma = to_milli(amps);
    e.watts = volts * amps;
    return e;
}

// Integrates the temperature over the time since the last call, with the
// power delivered during it, and trips the protection when it is too hot.
void Supply::advance(double now_s) {
    const double dt = last_update_s_ ? std::max(0.0, now_s - *last_update_s_) : 0.0;
    last_update_s_ = now_s;
    const double target = config_.thermal.ambient_c + config_.thermal.c_per_watt * regulate().watts;
    if (config_.thermal.tau_s <= 0.0) {
        if (dt > 0.0) {
            temperature_c_ = target;
        }
    } else {
        temperature_c_ += (target - temperature_c_) * (1.0 - std::exp(-dt / config_.thermal.tau_s));
    }
    if (output_on_ && temperature_c_ >= config_.thermal.trip_c) {
        over_temperature_ = true;
        output_on_ = false;
    }
}

protocol::Status Supply::status(double now_s) {
    advance(now_s);
    const Electrical e = regulate();
    protocol::Status s;
    s.current_real_ma = e.current_ma;
    s.voltage_real_mv = e.voltage_mv;
    s.current_set_ma = current_set_ma_;
    s.voltage_max_mv = voltage_max_mv_;
    s.voltage_set_mv = voltage_set_mv_;
    s.output_on = output_on_;
    s.over_temperature = over_temperature_;
    s.regulation = e.regulation;
    const double above = temperature_c_ - kFanStartC;
    s.fan_speed = above < 0.0 ? 0 : static_cast<std::uint8_t>(std::min(7.0, 1.0 + std::floor(above / kFanStepC)));
    s.remote = remote_;
    return s;
}

void Supply::restore_factory() {
    output_on_ = false;
    over_temperature_ = false;
    voltage_max_mv_ = kFactoryVoltageMaxMv;
    voltage_set_mv_ = kFactoryVoltageSetMv;
    current_set_ma_ = kFactoryCurrentSetMa;
    address_at_power_up_ = config_.identity.address;
}

Frame Supply::acknowledge(Command word) const {
    Frame reply = protocol::make_frame(address_, Command::DevReturn);
    reply[protocol::kIndexData] = static_cast<std::uint8_t>(word);
    reply[protocol::kIndexData + 1] = kAckDone;
    protocol::seal(reply);
    return reply;
}

std::optional<Frame> Supply::handle(const Frame& command, double now_s, std::string& note, bool apply) {
    advance(now_s);
    const auto word = static_cast<Command>(command[protocol::kIndexCommand]);
    if (!apply && command_kind(command[protocol::kIndexCommand]) == CommandKind::Setting) {
        return acknowledge(word);
    }
    const std::uint8_t flag = command[protocol::kIndexData];
    const std::uint32_t value = protocol::get_setpoint(command);
    char text[160];
    switch (word) {
        case Command::SetWorkMode:
            remote_ = flag != 0;
            break;
        case Command::SetOutMode:
            if (flag != 0) {
                over_temperature_ = false;  // switching on again re-arms the protection
            }
            output_on_ = flag != 0;
            break;
        case Command::SetMaxOutVoltage:
            voltage_max_mv_ = value;
            break;
        case Command::SetOutVoltage:
            voltage_set_mv_ = value;
            break;
        case Command::SetOutCurrent:
            current_set_ma_ = value;
            break;
        case Command::SetNewAddr:
            address_at_power_up_ = flag;
            std::snprintf(text, sizeof text,
                          "new bus address %u stored; it takes effect at the next power-up, so this run keeps "
                          "answering at %u",
                          flag, address_);
            note = text;
            break;
        case Command::RestoreFactory:
            restore_factory();
            note = "factory settings restored";
            break;
        case Command::ReadDevRealStatus: {
            Frame reply = protocol::make_frame(address_, Command::ReadDevRealStatus);
            protocol::encode_status(reply, status(now_s));
            protocol::seal(reply);
            return reply;
        }
        case Command::ReadDevVersion: {
            Frame reply = protocol::make_frame(address_, Command::ReadDevVersion);
            protocol::encode_identity(reply, config_.identity);
            reply[protocol::kIndexAddress] = address_;
            protocol::seal(reply);
            return reply;
        }
        default:
            std::snprintf(text, sizeof text, "unknown command word 0x%02X: no reply", command[protocol::kIndexCommand]);
            note = text;
            return std::nullopt;
    }
    return acknowledge(word);
}

}  // namespace kx::sim
