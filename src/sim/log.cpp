#include "log.hpp"

#include <cstdio>
#include <string>

#include "clock.hpp"

namespace kx::sim {

void Log::frame(std::string_view dir, std::span<const std::uint8_t> bytes, std::string_view note) const {
    if (!enabled_) {
        return;
    }
    std::string hex;
    hex.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char h[4];
        std::snprintf(h, sizeof h, i > 0 ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
        hex += h;
    }
    // One write per line, so that lines stay whole for a reader of the pipe.
    std::string line(dir);
    line += ' ';
    line += hex;
    if (!note.empty()) {
        line += "  ";
        line += note;
    }
    std::fprintf(stderr, "[%11.6f] %s\n", monotonic_s() - start_s_, line.c_str());
}

void Log::note(std::string_view text) const {
    if (enabled_) {
        std::fprintf(stderr, "[%11.6f] -- %.*s\n", monotonic_s() - start_s_, static_cast<int>(text.size()),
                     text.data());
    }
}

}  // namespace kx::sim
