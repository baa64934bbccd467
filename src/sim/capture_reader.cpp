#include "capture_reader.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace kx::sim {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_digit(char c) {
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
}

// The four hex digits at `at`, if there are four.
bool hex4(std::string_view s, std::size_t at, std::uint32_t& out) {
    if (at + 4 > s.size()) {
        return false;
    }
    out = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int d = hex_digit(s[at + i]);
        if (d < 0) {
            return false;
        }
        out = out * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
}

// A text as an error line shows it: printable ASCII, anything else as '?',
// so that the message stays one line.
std::string shown(std::string_view s) {
    std::string out;
    for (const char c : s) {
        out += c >= ' ' && c <= '~' ? c : '?';
    }
    return out;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    auto put = [&out](std::uint32_t byte) { out += static_cast<char>(static_cast<unsigned char>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0U | (cp >> 6U));
        put(0x80U | (cp & 0x3FU));
    } else if (cp < 0x10000) {
        put(0xE0U | (cp >> 12U));
        put(0x80U | ((cp >> 6U) & 0x3FU));
        put(0x80U | (cp & 0x3FU));
    } else {
        put(0xF0U | (cp >> 18U));
        put(0x80U | ((cp >> 12U) & 0x3FU));
        put(0x80U | ((cp >> 6U) & 0x3FU));
        put(0x80U | (cp & 0x3FU));
    }
}

class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    std::optional<CaptureRecord> line(std::string& error) {
        CaptureRecord record;
        CaptureValue top;
        skip_space();
        bool ok = value(0, top, &record);
        if (ok) {
            skip_space();
            if (pos_ < s_.size()) {
                ok = fail("more after the end of the value");
            } else if (top.kind != CaptureValue::Kind::Object) {
                error_ = "not a JSON object";
                ok = false;
            }
        }
        if (!ok) {
            error = error_;
            return std::nullopt;
        }
        return record;
    }

private:
    [[nodiscard]] bool at_end() const { return pos_ >= s_.size(); }
    [[nodiscard]] char peek() const { return at_end() ? '\0' : s_[pos_]; }

    bool eat(char c) {
        if (at_end() || s_[pos_] != c) {
            return false;
        }
        ++pos_;
        return true;
    }

    void skip_space() {
        while (!at_end() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
            ++pos_;
        }
    }

    bool fail_at(std::size_t at, const std::string& why) {
        error_ = "not JSON: " + why + " (column " + std::to_string(at + 1) + ")";
        return false;
    }
    bool fail(const std::string& why) { return fail_at(pos_, why); }
    // Where the line stops short, that is the fault, whatever was expected.
    bool fail_expecting(const char* what, const char* inside) {
        return fail(at_end() ? std::string("the line ends inside ") + inside : std::string("expected ") + what);
    }

    bool value(int depth, CaptureValue& out, CaptureRecord* record) {
        skip_space();
        if (at_end()) {
            return fail("the line ends where a value should be");
        }
        const char c = s_[pos_];
        if (c == '"') {
            out.kind = CaptureValue::Kind::String;
            return string(out.text);
        }
        if (c == '{') {
            out.kind = CaptureValue::Kind::Object;
            return object(depth + 1, record);
        }
        if (c == '[') {
            out.kind = CaptureValue::Kind::Array;
            return array(depth + 1);
        }
        if (c == '-' || is_digit(c)) {
            out.kind = CaptureValue::Kind::Number;
            return number(out.number);
        }
        for (const std::string_view word : {"true", "false", "null"}) {
            if (s_.substr(pos_, word.size()) == word) {
                out.kind = CaptureValue::Kind::Literal;
                out.text = word;
                pos_ += word.size();
                return true;
            }
        }
        return fail("expected a value");
    }

    bool too_deep(int depth) {
        if (depth <= kCaptureMaxDepth) {
            return false;
        }
        error_ = "nested deeper than " + std::to_string(kCaptureMaxDepth) + " levels (column " +
                 std::to_string(pos_ + 1) + ")";
        return true;
    }

    // The members go into `record` where one is given (the line's own
    // object), else they are read and dropped.
    bool object(int depth, CaptureRecord* record) {
        if (too_deep(depth)) {
            return false;
        }
        ++pos_;
        skip_space();
        if (eat('}')) {
            return true;
        }
        for (;;) {
            skip_space();
            if (peek() != '"') {
                return fail_expecting("a member name in double quotes", "an object");
            }
            std::string key;
            if (!string(key)) {
                return false;
            }
            skip_space();
            if (!eat(':')) {
                return fail_expecting("':' after a member name", "an object");
            }
            CaptureValue v;
            if (!value(depth, v, nullptr)) {
                return false;
            }
            // Python's reader would keep the last of two; which one was
            // meant is not for a replay to guess.
            if (record != nullptr && !record->members.try_emplace(key, std::move(v)).second) {
                error_ = "member \"" + shown(key) + "\" given twice";
                return false;
            }
            skip_space();
            if (eat('}')) {
                return true;
            }
            if (!eat(',')) {
                return fail_expecting("',' or '}'", "an object");
            }
        }
    }

    bool array(int depth) {
        if (too_deep(depth)) {
            return false;
        }
        ++pos_;
        skip_space();
        if (eat(']')) {
            return true;
        }
        for (;;) {
            CaptureValue ignored;
            if (!value(depth, ignored, nullptr)) {
                return false;
            }
            skip_space();
            if (eat(']')) {
                return true;
            }
            if (!eat(',')) {
                return fail_expecting("',' or ']'", "an array");
            }
        }
    }

    // JSON's grammar exactly: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?,
    // and finite as a double.
    bool number(double& out) {
        const std::size_t start = pos_;
        eat('-');
        if (!is_digit(peek())) {
            return fail_at(start, "a malformed number");
        }
        if (eat('0')) {
            if (is_digit(peek())) {
                return fail_at(start, "a number with a leading zero");
            }
        } else {
            skip_digits();
        }
        if (eat('.')) {
            if (!is_digit(peek())) {
                return fail_at(start, "a malformed number");
            }
            skip_digits();
        }
        if (eat('e') || eat('E')) {
            if (!eat('+')) {
                eat('-');
            }
            if (!is_digit(peek())) {
                return fail_at(start, "a malformed number");
            }
            skip_digits();
        }
        // The simulator never sets a locale: strtod reads '.' as the point.
        const std::string text(s_.substr(start, pos_ - start));
        out = std::strtod(text.c_str(), nullptr);
        if (!std::isfinite(out)) {
            return fail_at(start, "a number out of range");
        }
        return true;
    }

    void skip_digits() {
        while (is_digit(peek())) {
            ++pos_;
        }
    }

    bool string(std::string& out) {
        ++pos_;
        for (;;) {
            if (at_end()) {
                return fail("the line ends inside a string");
            }
            const auto byte = static_cast<unsigned char>(s_[pos_]);
            if (byte == '"') {
                ++pos_;
                return true;
            }
            if (byte < 0x20) {
                return fail("a control character inside a string");
            }
            if (byte == '\\') {
                if (!escape(out)) {
                    return false;
                }
            } else if (byte >= 0x80) {
                if (!raw_utf8(out)) {
                    return false;
                }
            } else {
                out += static_cast<char>(byte);
                ++pos_;
            }
        }
    }

    bool escape(std::string& out) {
        const std::size_t start = pos_;
        ++pos_;
        if (at_end()) {
            return fail("the line ends inside a string");
        }
        const char e = s_[pos_++];
        constexpr std::string_view kLetters = "\"\\/bfnrt";
        constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
        if (const auto k = kLetters.find(e); k != std::string_view::npos) {
            out += kMeanings[k];
            return true;
        }
        if (e != 'u') {
            return fail_at(start, "a bad escape \\" + shown(std::string_view(&e, 1)));
        }
        std::uint32_t cp = 0;
        if (!hex4(s_, pos_, cp)) {
            return fail_at(start, "a \\u escape without four hex digits");
        }
        pos_ += 4;
        const std::string written(s_.substr(start, 6));
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail_at(start, "a low surrogate " + written + " without a high one before it");
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (s_.substr(pos_, 2) != "\\u" || !hex4(s_, pos_ + 2, low) || low < 0xDC00 || low > 0xDFFF) {
                return fail_at(start, "a high surrogate " + written + " without a low one after it");
            }
            pos_ += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10U) + (low - 0xDC00);
        }
        append_utf8(out, cp);
        return true;
    }

    // A character written as itself rather than escaped: well-formed UTF-8
    // (no overlong forms, no surrogates, nothing past U+10FFFF) or refused.
    bool raw_utf8(std::string& out) {
        const std::size_t start = pos_;
        const auto lead = static_cast<unsigned char>(s_[pos_]);
        std::size_t more = 0;
        std::uint32_t cp = 0;
        std::uint32_t least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            cp = lead & 0x1FU;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            cp = lead & 0x0FU;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            cp = lead & 0x07U;
            least = 0x10000;
        } else {
            return fail("a string that is not UTF-8");
        }
        for (std::size_t i = 1; i <= more; ++i) {
            if (start + i >= s_.size() || (static_cast<unsigned char>(s_[start + i]) & 0xC0U) != 0x80U) {
                return fail("a string that is not UTF-8");
            }
            cp = (cp << 6U) | (static_cast<unsigned char>(s_[start + i]) & 0x3FU);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return fail("a string that is not UTF-8");
        }
        out.append(s_.substr(start, more + 1));
        pos_ = start + more + 1;
        return true;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::string error_;
};

}  // namespace

const std::string* CaptureRecord::text(std::string_view key) const {
    const auto it = members.find(key);
    return it != members.end() && it->second.kind == CaptureValue::Kind::String ? &it->second.text : nullptr;
}

const double* CaptureRecord::number(std::string_view key) const {
    const auto it = members.find(key);
    return it != members.end() && it->second.kind == CaptureValue::Kind::Number ? &it->second.number : nullptr;
}

std::optional<CaptureRecord> read_capture_line(std::string_view line, std::string& error) {
    return Reader(line).line(error);
}

}  // namespace kx::sim
