// Encoding and decoding of the data bytes that the commands and readouts of
// the kx5100 protocol carry. Shared by the driver and the simulated supply.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "frame.hpp"

namespace kx::protocol {

// ---- setpoints -----------------------------------------------------------

// Largest value the four little-endian setpoint bytes can carry.
inline constexpr double kMaxMilli = 4294967295.0;

enum class SetpointError { None, NotANumber, Infinite, OutOfRange };

struct Milli {
    std::uint32_t value = 0;
    SetpointError error = SetpointError::None;
};

// Volts or amperes to whole millivolts or milliamperes, truncating toward
// zero. A value that the four bytes cannot hold is refused rather than
// wrapped: on a power supply a wrapped -1 V is a 4294966 V request.
inline Milli to_milli(double x) noexcept {
    Milli m;
    if (std::isnan(x)) {
        m.error = SetpointError::NotANumber;
        return m;
    }
    // A finite value whose product overflows is an infinity to the integer
    // conversion, as it is to int(x * 1000.0).
    if (std::isinf(x * 1000.0)) {
        m.error = SetpointError::Infinite;
        return m;
    }
    const double truncated = std::trunc(x * 1000.0);
    if (!(truncated >= 0.0 && truncated <= kMaxMilli)) {
        m.error = SetpointError::OutOfRange;
        return m;
    }
    m.value = static_cast<std::uint32_t>(truncated);
    return m;
}

inline std::uint32_t get_setpoint(std::span<const std::uint8_t> f) noexcept {
    return get_u32le(f, kIndexData);
}

// ---- status reply --------------------------------------------------------

inline constexpr std::size_t kStatusCurrentReal = 3;  // u16, mA
inline constexpr std::size_t kStatusVoltageReal = 5;  // u32, mV
inline constexpr std::size_t kStatusBits = 9;         // bit fields
inline constexpr std::size_t kStatusCurrentSet = 10;  // u16, mA
inline constexpr std::size_t kStatusVoltageMax = 12;  // u32, mV
inline constexpr std::size_t kStatusVoltageSet = 16;  // u32, mV

inline constexpr std::uint8_t kBitOutputOn = 0x01;
inline constexpr std::uint8_t kBitOverTemp = 0x02;
inline constexpr std::uint8_t kMaskRegulation = 0x0C;
inline constexpr std::uint8_t kMaskFan = 0x70;
inline constexpr std::uint8_t kBitRemote = 0x80;

// Codes 0 and 3 both mean no known regulation.
enum class Regulation : std::uint8_t { Unknown = 0, CV = 1, CC = 2 };

struct Status {
    std::uint32_t current_real_ma = 0;
    std::uint32_t voltage_real_mv = 0;
    std::uint32_t current_set_ma = 0;
    std::uint32_t voltage_max_mv = 0;
    std::uint32_t voltage_set_mv = 0;
    bool output_on = false;
    bool over_temperature = false;
    Regulation regulation = Regulation::Unknown;
    std::uint8_t fan_speed = 0;  // 0..7
    bool remote = false;
};

constexpr std::uint8_t status_bits(const Status& s) noexcept {
    return static_cast<std::uint8_t>((s.output_on ? kBitOutputOn : 0) | (s.over_temperature ? kBitOverTemp : 0) |
                                     ((static_cast<unsigned>(s.regulation) << 2) & kMaskRegulation) |
                                     ((static_cast<unsigned>(s.fan_speed) << 4) & kMaskFan) |
                                     (s.remote ? kBitRemote : 0));
}

constexpr Status decode_status(std::span<const std::uint8_t> f) noexcept {
    Status s;
    s.current_real_ma = get_u16le(f, kStatusCurrentReal);
    s.voltage_real_mv = get_u32le(f, kStatusVoltageReal);
    s.current_set_ma = get_u16le(f, kStatusCurrentSet);
    s.voltage_max_mv = get_u32le(f, kStatusVoltageMax);
    s.voltage_set_mv = get_u32le(f, kStatusVoltageSet);
    const std::uint8_t b = f[kStatusBits];
    s.output_on = (b & kBitOutputOn) != 0;
    s.over_temperature = (b & kBitOverTemp) != 0;
    const unsigned regulation = (b & kMaskRegulation) >> 2;
    s.regulation = regulation == 1 || regulation == 2 ? static_cast<Regulation>(regulation) : Regulation::Unknown;
    s.fan_speed = static_cast<std::uint8_t>((b & kMaskFan) >> 4);
    s.remote = (b & kBitRemote) != 0;
    return s;
}

// The 16-bit current fields cannot carry more than 65.535 A; the supply
// reports the low 16 bits, as the wire does.
constexpr void encode_status(Frame& f, const Status& s) noexcept {
    put_u16le(f, kStatusCurrentReal, s.current_real_ma & 0xFFFFU);
    put_u32le(f, kStatusVoltageReal, s.voltage_real_mv);
    f[kStatusBits] = status_bits(s);
    put_u16le(f, kStatusCurrentSet, s.current_set_ma & 0xFFFFU);
    put_u32le(f, kStatusVoltageMax, s.voltage_max_mv);
    put_u32le(f, kStatusVoltageSet, s.voltage_set_mv);
}

// ---- identity reply ------------------------------------------------------

inline constexpr std::size_t kIdentityModel = 3;  // 4 characters
inline constexpr std::size_t kIdentityModelLength = 4;
inline constexpr std::size_t kIdentityVersion = 8;  // u16
inline constexpr std::size_t kIdentityNumber = 10;  // 9 characters
inline constexpr std::size_t kIdentityNumberLength = 9;

struct Identity {
    std::uint8_t address = kBroadcastAddress;
    std::string model;   // exactly 4 bytes on the wire, ISO 8859-1
    std::string number;  // exactly 9 bytes on the wire, ISO 8859-1
    std::uint16_t soft_version = 0;
};

// Strings are padded with zero bytes or cut to their field width.
inline void encode_identity(Frame& f, const Identity& id) noexcept {
    f[kIndexAddress] = id.address;
    for (std::size_t i = 0; i < kIdentityModelLength; ++i) {
        f[kIdentityModel + i] = i < id.model.size() ? static_cast<std::uint8_t>(id.model[i]) : 0;
    }
    put_u16le(f, kIdentityVersion, id.soft_version);
    for (std::size_t i = 0; i < kIdentityNumberLength; ++i) {
        f[kIdentityNumber + i] = i < id.number.size() ? static_cast<std::uint8_t>(id.number[i]) : 0;
    }
}

}  // namespace kx::protocol
