#include "replay.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>

namespace kx::sim {

namespace {

constexpr std::string_view kFormat = "kx5180-capture";
constexpr double kFormatVersion = 1.0;

// One line of a capture: its top-level members that are strings or
// numbers. Nested values are read and passed over; a capture has no use
// for them here.
struct Record {
    std::map<std::string, std::string, std::less<>> text;
    std::map<std::string, double, std::less<>> number;
};

class JsonLine {
public:
    explicit JsonLine(std::string_view s) : s_(s) {}

    bool read(Record& out) {
        skip_space();
        const bool ok = object([&](const std::string& key) {
            if (peek() == '"') {
                std::string v;
                if (!string(v)) {
                    return false;
                }
                out.text[key] = std::move(v);
                return true;
            }
            if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
                double v = 0.0;
                if (!number(v)) {
                    return false;
                }
                out.number[key] = v;
                return true;
            }
            return value(0);
        });
        return ok && at_end();
    }

private:
    static constexpr int kMaxDepth = 32;

    [[nodiscard]] char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool eat(char c) {
        if (peek() != c || pos_ >= s_.size()) {
            return false;
        }
        ++pos_;
        return true;
    }
    void skip_space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
            ++pos_;
        }
    }
    bool at_end() {
        skip_space();
        return pos_ == s_.size();
    }
    bool literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }

    // Escapes other than \" and \\ never occur in what the capture needs
    // (hex digits, words); they are kept as the letter after the backslash.
    bool string(std::string& out) {
        if (!eat('"')) {
            return false;
        }
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c == '\\') {
                if (pos_ >= s_.size()) {
                    return false;
                }
                const char e = s_[pos_++];
                if (e == 'u') {
                    if (pos_ + 4 > s_.size()) {
                        return false;
                    }
                    pos_ += 4;
                    out += '?';
                    continue;
                }
                out += e;
                continue;
            }
            out += c;
        }
        return false;
    }

    bool number(double& out) {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[pos_]) != std::string_view::npos) {
            ++pos_;
        }
        const std::string text(s_.substr(start, pos_ - start));
        char* end = nullptr;
        out = std::strtod(text.c_str(), &end);
        return !text.empty() && end == text.c_str() + text.size();
    }

    // An object, each member's key handed to `member`, which reads the value.
    template <class Member>
    bool object(Member&& member) {
        if (!eat('{')) {
            return false;
        }
        skip_space();
        if (eat('}')) {
            return true;
        }
        for (;;) {
            std::string key;
            skip_space();
            if (!string(key)) {
                return false;
            }
            skip_space();
            if (!eat(':')) {
                return false;
            }
            skip_space();
            if (!member(key)) {
                return false;
            }
            skip_space();
            if (eat('}')) {
                return true;
            }
            if (!eat(',')) {
                return false;
            }
        }
    }

    bool value(int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        skip_space();
        const char c = peek();
        if (c == '"') {
            std::string ignored;
            return string(ignored);
        }
        if (c == '{') {
            return object([&](const std::string&) { return value(depth + 1); });
        }
        if (c == '[') {
            ++pos_;
            skip_space();
            if (eat(']')) {
                return true;
            }
            for (;;) {
                if (!value(depth + 1)) {
                    return false;
                }
                skip_space();
                if (eat(']')) {
                    return true;
                }
                if (!eat(',')) {
                    return false;
                }
            }
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            double ignored = 0.0;
            return number(ignored);
        }
        return literal("true") || literal("false") || literal("null");
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

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

template <class Map>
const typename Map::mapped_type* member(const Map& map, std::string_view key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
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
        Record r;
        if (!JsonLine(line).read(r)) {
            return fail("not a JSON object");
        }
        if (!header) {
            const auto* format = member(r.text, "format");
            const auto* version = member(r.number, "version");
            if (format == nullptr || *format != kFormat) {
                return fail("not a kx5180 capture (no header with \"format\": \"kx5180-capture\")");
            }
            if (version == nullptr || *version != kFormatVersion) {
                return fail("capture format version not known here (this simulator reads version 1)");
            }
            header = true;
            continue;
        }
        const auto* event = member(r.text, "event");
        if (event == nullptr || (*event != "tx" && *event != "rx")) {
            continue;  // notes of the host: no bytes on the wire
        }
        const auto* hex = member(r.text, "hex");
        const auto* t = member(r.number, "t");
        std::vector<std::uint8_t> bytes;
        if (hex == nullptr || t == nullptr || !from_hex(*hex, bytes) || bytes.empty()) {
            return fail("a " + *event + " event needs \"t\" and \"hex\" bytes");
        }
        if (*event == "tx") {
            if (bytes.size() != protocol::kFrameLength) {
                return fail("a frame written is 26 bytes");
            }
            ReplayStep step;
            std::copy(bytes.begin(), bytes.end(), step.frame.begin());
            script.steps.push_back(std::move(step));
            last_tx_s = *t;
            continue;
        }
        if (script.steps.empty()) {
            continue;  // bytes that were waiting before the first command
        }
        // The bytes came between the host's last look that found none of
        // them and its first look that found them; halfway between is the
        // safest guess on both sides.
        const auto* after = member(r.number, "after");
        const auto* seen = member(r.number, "seen");
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
