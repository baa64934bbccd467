// The JSON reader of capture files (--replay FILE), strict on purpose: a
// line is read as exactly what it says or refused with where and why, so
// that a replay never serves bytes the file did not hold. The toolkit
// writes each line with Python's json.dumps (ASCII only, everything else
// as \u escapes), which this reads in full.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kx::sim {

// A capture's header nests two levels (an object in the line's object);
// anything far deeper is not a capture.
inline constexpr int kCaptureMaxDepth = 32;

// One member of a capture line. Objects and arrays inside the line are
// read through but not kept: the replay needs none of what they hold.
struct CaptureValue {
    enum class Kind { String, Number, Literal, Object, Array };
    Kind kind = Kind::Literal;
    std::string text;     // a String, escapes decoded (UTF-8)
    double number = 0.0;  // a Number, always finite
};

struct CaptureRecord {
    std::map<std::string, CaptureValue, std::less<>> members;

    [[nodiscard]] bool has(std::string_view key) const { return members.find(key) != members.end(); }
    // The member when it is a string (a number), else null.
    [[nodiscard]] const std::string* text(std::string_view key) const;
    [[nodiscard]] const double* number(std::string_view key) const;
};

// Reads one line, which must hold one JSON object and nothing else. On a
// fault returns nothing and sets `error` to one line saying what, with its
// column where there is one ("not JSON: a number with a leading zero
// (column 7)").
std::optional<CaptureRecord> read_capture_line(std::string_view line, std::string& error);

}  // namespace kx::sim
