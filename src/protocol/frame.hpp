// Frame layout of the kx5100 serial protocol: 26-byte request and reply
// frames, a sync byte, an address, a command word, 22 data bytes and an
// additive checksum. Plain C++ so that the driver and the simulated supply
// share one definition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kx::protocol {

inline constexpr std::size_t kFrameLength = 26;
inline constexpr std::size_t kChecksumIndex = kFrameLength - 1;
inline constexpr std::uint8_t kSync = 0xAA;
inline constexpr std::uint8_t kBroadcastAddress = 0xFF;

inline constexpr std::size_t kIndexSync = 0;
inline constexpr std::size_t kIndexAddress = 1;
inline constexpr std::size_t kIndexCommand = 2;
inline constexpr std::size_t kIndexData = 3;

using Frame = std::array<std::uint8_t, kFrameLength>;

// Command words, in the order the driver class defines its constants.
enum class Command : std::uint8_t {
    SetWorkMode = 0x20,
    SetOutMode = 0x21,
    SetMaxOutVoltage = 0x22,
    SetOutVoltage = 0x23,
    SetOutCurrent = 0x24,
    SetNewAddr = 0x25,
    ReadDevRealStatus = 0x26,
    ReadDevVersion = 0x31,
    RestoreFactory = 0x32,
    DevReturn = 0x12,
};

// The starting point of every command frame. The last byte is a placeholder
// that is always overwritten by the checksum before sending.
inline constexpr Frame kTemplate = [] {
    Frame f{};
    f[kIndexSync] = kSync;
    f[kIndexAddress] = kBroadcastAddress;
    f[kIndexCommand] = static_cast<std::uint8_t>(Command::SetWorkMode);
    f[kChecksumIndex] = 0xCC;
    return f;
}();

// Low 8 bits of the plain sum of every byte but the last.
constexpr std::uint8_t checksum(std::span<const std::uint8_t> frame) noexcept {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        sum += frame[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFFU);
}

constexpr void seal(Frame& frame) noexcept {
    frame[kChecksumIndex] = checksum(frame);
}

// True for a complete frame that starts with the sync byte and whose
// checksum byte verifies.
constexpr bool is_valid(std::span<const std::uint8_t> frame) noexcept {
    return frame.size() == kFrameLength && frame[kIndexSync] == kSync && frame[kChecksumIndex] == checksum(frame);
}

constexpr Frame make_frame(std::uint8_t address, Command command) noexcept {
    Frame f = kTemplate;
    f[kIndexAddress] = address;
    f[kIndexCommand] = static_cast<std::uint8_t>(command);
    return f;
}

constexpr std::uint32_t get_u16le(std::span<const std::uint8_t> f, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(f[at]) | (static_cast<std::uint32_t>(f[at + 1]) << 8);
}

constexpr std::uint32_t get_u32le(std::span<const std::uint8_t> f, std::size_t at) noexcept {
    return get_u16le(f, at) | (get_u16le(f, at + 2) << 16);
}

constexpr void put_u16le(std::span<std::uint8_t> f, std::size_t at, std::uint32_t v) noexcept {
    f[at] = static_cast<std::uint8_t>(v & 0xFFU);
    f[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFFU);
}

constexpr void put_u32le(std::span<std::uint8_t> f, std::size_t at, std::uint32_t v) noexcept {
    put_u16le(f, at, v & 0xFFFFU);
    put_u16le(f, at + 2, v >> 16);
}

}  // namespace kx::protocol
