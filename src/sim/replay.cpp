#include "replay.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

#include "capture_reader.hpp"

namespace kx::sim {

namespace {

constexpr std::string_view kFormat = "kx5180-capture";
constexpr double kFormatVersion = 1.0;

bool from_hex(std::string_view hex, std::vector<std::uint8_t>& out) {
    out.clear();
    if (hex.size() % 2 != 0) {
        return false;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]);
        const int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char h[4];
        std::snprintf(h, sizeof h, i > 0 ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
        out += h;
    }
    return out;
}

}  // namespace

std::optional<ReplayScript> parse_replay(const std::string& text, std::string& error) {
    ReplayScript script;
    std::istringstream lines(text);
    std::string line;
    std::size_t number = 0;
    bool header = false;
    double last_tx_s = 0.0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(lines, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        std::string why;
        const auto r = read_capture_line(line, why);
        if (!r) {
            return fail(why);
        }
        if (!header) {
            const auto* format = r->text("format");
            const auto* version = r->number("version");
            if (format == nullptr || *format != kFormat) {
                return fail("not a kx5180 capture (no header with \"format\": \"kx5180-capture\")");
            }
            if (version == nullptr || *version != kFormatVersion) {
                return fail("capture format version not known here (this simulator reads version 1)");
            }
            header = true;
            continue;
        }
        const auto* event = r->text("event");
        if (event == nullptr) {
            return fail("a record without an \"event\" name");
        }
        if (*event != "tx" && *event != "rx") {
            continue;  // what the host noted: the bytes of the line are all in tx and rx
        }
        const auto* hex = r->text("hex");
        const auto* t = r->number("t");
        std::vector<std::uint8_t> bytes;
        if (hex == nullptr || t == nullptr || !from_hex(*hex, bytes) || bytes.empty()) {
            return fail("a " + *event + " event needs \"t\" and \"hex\" bytes");
        }
        if (*event == "tx") {
            if (bytes.size() != protocol::kFrameLength) {
                return fail("a frame written is " + std::to_string(protocol::kFrameLength) + " bytes");
            }
            ReplayStep step;
            std::copy(bytes.begin(), bytes.end(), step.frame.begin());
            script.steps.push_back(std::move(step));
            last_tx_s = *t;
            continue;
        }
        const auto* after = r->number("after");
        const auto* seen = r->number("seen");
        if ((r->has("after") && after == nullptr) || (r->has("seen") && seen == nullptr)) {
            return fail("an rx event's \"after\" and \"seen\" are numbers");
        }
        if (script.steps.empty()) {
            continue;  // bytes that were waiting before the first command
        }
        // The bytes came between the host's last look that found none of
        // them and its first look that found them; halfway between is the
        // safest guess on both sides.
        double at = *t;
        if (after != nullptr && seen != nullptr && *seen >= *after) {
            at = (*after + *seen) / 2.0;
        }
        script.steps.back().replies.push_back({std::max(0.0, at - last_tx_s), std::move(bytes)});
    }
    if (!header) {
        error = "empty capture";
        return std::nullopt;
    }
    return script;
}

std::optional<ReplayScript> load_replay(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "--replay " + path + ": cannot read it";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto script = parse_replay(text.str(), error);
    if (!script) {
        error = "--replay " + path + ": " + error;
    }
    return script;
}

Replayer::Replayer(ReplayScript script, bool match_command, const Log& log)
    : script_(std::move(script)), match_command_(match_command), log_(log), frames_(log) {}

void Replayer::receive(std::span<const std::uint8_t> bytes, double now) {
    frames_.arriving(now);
    for (const std::uint8_t b : bytes) {
        if (auto frame = frames_.take(b)) {
            take(*frame, now);
        }
    }
}

void Replayer::take(const protocol::Frame& frame, double now) {
    log_.frame("rx", frame);
    const std::size_t n = next_++;
    if (n >= script_.steps.size()) {
        differs("frame " + std::to_string(n + 1) + " " + hex_text(frame) +
                ": the recording has no more frames; no reply");
        return;
    }
    const ReplayStep& step = script_.steps[n];
    const bool same =
        match_command_ ? frame[protocol::kIndexCommand] == step.frame[protocol::kIndexCommand] : frame == step.frame;
    if (!same) {
        differs("frame " + std::to_string(n + 1) + " " + hex_text(frame) + " differs from the recording " +
                hex_text(step.frame) + "; no reply");
        return;
    }
    if (step.replies.empty()) {
        log_.note("recorded without a reply: none sent");
    }
    for (const ReplayChunk& chunk : step.replies) {
        Out out{now + chunk.delay_s, chunk.bytes};
        const auto at =
            std::upper_bound(out_.begin(), out_.end(), out.at_s, [](double t, const Out& o) { return t < o.at_s; });
        out_.insert(at, std::move(out));
    }
}

void Replayer::differs(const std::string& text) {
    ++differences_;
    // Always on standard error, log or not: this is what a replay is for.
    std::fprintf(stderr, "kx5180-sim: replay: %s\n", text.c_str());
}

std::span<const std::uint8_t> Replayer::due(double now) const {
    if (out_.empty() || out_.front().at_s > now) {
        return {};
    }
    const Out& o = out_.front();
    return std::span<const std::uint8_t>(o.bytes).subspan(o.sent);
}

void Replayer::sent(std::size_t n) {
    Out& o = out_.front();
    o.sent += n;
    if (o.sent >= o.bytes.size()) {
        log_.frame("tx", o.bytes, "(recorded)");
        out_.pop_front();
    }
}

void Replayer::hang_up() {
    frames_.clear();
    out_.clear();
}

std::optional<double> Replayer::next_deadline() const {
    if (out_.empty()) {
        return std::nullopt;
    }
    return out_.front().at_s;
}

int Replayer::finish() {
    if (next_ < script_.steps.size()) {
        differs(std::to_string(script_.steps.size() - next_) + " recorded frame(s) from frame " +
                std::to_string(next_ + 1) + " on never came");
    }
    if (differences_ > 0) {
        std::fprintf(stderr, "kx5180-sim: replay: the session differed from the recording in %zu place(s)\n",
                     differences_);
        return 1;
    }
    return 0;
}

}  // namespace kx::sim
