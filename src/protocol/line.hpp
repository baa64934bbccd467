// The serial line of the kx5100 series: 4800 baud, 8 data bits, no parity,
// one stop bit. Plain C++, shared by the driver, which opens its port so,
// and the simulated supply, which paces its line so.
#pragma once

#include <cstdint>

namespace kx::protocol {

inline constexpr std::int64_t kBaudRate = 4800;
inline constexpr int kDataBits = 8;
inline constexpr char kParity[] = "N";  // as pyserial names no parity
inline constexpr int kStopBits = 1;

// A byte on the wire: its start bit, its data bits and its stop bits.
inline constexpr int kBitsPerByte = 1 + kDataBits + kStopBits;

}  // namespace kx::protocol
