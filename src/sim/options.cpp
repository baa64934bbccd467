#include "options.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>

namespace kx::sim {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool parse_int(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= lo && out <= hi;
}

// A plain decimal, [+-]digits[.digits][e[+-]digits] (".5" and "5." too), or
// "inf" where the range is open. strtod alone would also take leading
// blanks, hexadecimal, "infinity" and "nan".
bool is_decimal(std::string_view text) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return false;
        }
    }
    return i == text.size();
}

bool parse_double(const std::string& text, double lo, double hi, double& out) {
    if (text == "inf") {
        out = kInf;
        return hi == kInf;
    }
    if (!is_decimal(text)) {
        return false;
    }
    // The simulator never sets a locale: strtod reads '.' as the point.
    out = std::strtod(text.c_str(), nullptr);
    return std::isfinite(out) && out >= lo && out <= hi;
}

bool parse_faults(std::string_view rest, std::vector<Fault>& out) {
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const auto fault = fault_named(rest.substr(0, comma));
        if (!fault) {
            return false;
        }
        out.push_back(*fault);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return !out.empty();
}

// "T:R[,T:R...]" with times strictly increasing.
bool parse_schedule(std::string_view rest, std::vector<LoadStep>& out) {
    out.clear();
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const auto colon = item.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        LoadStep step;
        if (!parse_double(std::string(item.substr(0, colon)), 0.0, 1e9, step.at_s) ||
            !parse_double(std::string(item.substr(colon + 1)), 0.0, kInf, step.ohms) ||
            (!out.empty() && step.at_s <= out.back().at_s)) {
            return false;
        }
        out.push_back(step);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return !out.empty();
}

// "N" (a count) or "A,B,..." (distinct addresses 0..254).
bool parse_units(std::string_view text, Options& o) {
    o.unit_addresses.clear();
    o.unit_count = 0;
    if (text.find(',') == std::string_view::npos) {
        return parse_int(text, 1, protocol::kBroadcastAddress, o.unit_count);
    }
    while (true) {
        const auto comma = text.find(',');
        std::int64_t a = 0;
        if (!parse_int(text.substr(0, comma), 0, protocol::kBroadcastAddress - 1, a)) {
            return false;
        }
        for (const std::uint8_t seen : o.unit_addresses) {
            if (seen == a) {
                return false;
            }
        }
        o.unit_addresses.push_back(static_cast<std::uint8_t>(a));
        if (comma == std::string_view::npos) {
            return true;
        }
        text = text.substr(comma + 1);
    }
}

bool is_flag(std::string_view name) {
    return name == "--log" || name == "--late-cancels" || name == "--watch-stdin" || name == "--schedule-on-open" ||
           name == "--help" || name == "-h" || name == "--version";
}

bool takes_value(std::string_view name) {
    if (name == "--replay" || name == "--replay-match") {
        return true;
    }
    constexpr std::array<std::string_view, 21> kNames{
        "--units",         "--load-schedule",  "--link",         "--baud",      "--turnaround-ms", "--address",
        "--model",         "--number",         "--soft-version", "--load-ohms", "--ambient-c",     "--thermal-c-per-w",
        "--thermal-tau-s", "--over-temp-c",    "--fault",        "--fault-nth", "--fault-every",   "--fault-rate",
        "--seed",          "--split-pause-ms", "--late-ms"};
    for (std::string_view n : kNames) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

// Sets one option; false for a bad value.
bool apply(Options& o, const std::string& name, const std::string& value) {
    std::int64_t n = 0;
    double d = 0.0;
    bool ok = true;
    if (name == "--log") {
        o.log = true;
    } else if (name == "--watch-stdin") {
        o.watch_stdin = true;
    } else if (name == "--late-cancels") {
        o.faults.late_cancels = true;
    } else if (name == "--schedule-on-open") {
        o.schedule_on_open = true;
    } else if (name == "--link") {
        o.link = value;
        ok = !value.empty();
    } else if (name == "--baud") {
        ok = parse_int(value, 0, 10'000'000, o.baud);
    } else if (name == "--turnaround-ms") {
        ok = parse_double(value, 0.0, 10'000.0, o.turnaround_ms);
    } else if (name == "--address") {
        ok = parse_int(value, 0, 254, n);
        o.supply.identity.address = static_cast<std::uint8_t>(n);
        o.address_given = true;
    } else if (name == "--units") {
        ok = parse_units(value, o);
    } else if (name == "--model") {
        ok = value.size() == protocol::kIdentityModelLength;
        o.supply.identity.model = value;
    } else if (name == "--number") {
        ok = value.size() == protocol::kIdentityNumberLength;
        o.supply.identity.number = value;
    } else if (name == "--soft-version") {
        ok = parse_int(value, 0, 65535, n);
        o.supply.identity.soft_version = static_cast<std::uint16_t>(n);
    } else if (name == "--load-ohms") {
        ok = parse_double(value, 0.0, kInf, o.supply.load_ohms);
    } else if (name == "--load-schedule") {
        ok = parse_schedule(value, o.load_schedule);
    } else if (name == "--ambient-c") {
        ok = parse_double(value, -50.0, 100.0, o.supply.thermal.ambient_c);
    } else if (name == "--thermal-c-per-w") {
        ok = parse_double(value, 0.0, 1000.0, o.supply.thermal.c_per_watt);
    } else if (name == "--thermal-tau-s") {
        ok = parse_double(value, 0.0, 1e6, o.supply.thermal.tau_s);
    } else if (name == "--over-temp-c") {
        ok = parse_double(value, 0.0, 1000.0, o.supply.thermal.trip_c);
    } else if (name == "--fault") {
        o.faults.modes.clear();
        ok = parse_faults(value, o.faults.modes);
    } else if (name == "--fault-nth") {
        ok = parse_int(value, 1, 1'000'000'000, n);
        o.faults.nth = n;
    } else if (name == "--fault-every") {
        ok = parse_int(value, 1, 1'000'000'000, n);
        o.faults.every = n;
    } else if (name == "--fault-rate") {
        ok = parse_double(value, 0.0, 1.0, d);
        o.faults.rate = d;
    } else if (name == "--seed") {
        ok = parse_int(value, 0, std::numeric_limits<std::int64_t>::max(), n);
        o.faults.seed = static_cast<std::uint64_t>(n);
    } else if (name == "--split-pause-ms") {
        ok = parse_double(value, 0.0, 10'000.0, o.faults.split_pause_ms);
    } else if (name == "--late-ms") {
        ok = parse_double(value, 0.0, 60'000.0, o.faults.late_ms);
    } else if (name == "--replay") {
        o.replay = value;
        ok = !value.empty();
    } else if (name == "--replay-match") {
        ok = value == "frame" || value == "command";
        o.replay_match_command = value == "command";
    }
    return ok;
}

// Unit k (0 for the first) of several has the base product number with k
// added to its last three digits, modulo 1000, so that every unit's differs.
bool make_units(Options& o, std::string& error) {
    std::vector<std::uint8_t> addresses = o.unit_addresses;
    if (!addresses.empty() && o.address_given) {
        error = "give --address or a list of addresses in --units, not both";
        return false;
    }
    if (addresses.empty()) {
        const std::int64_t first = o.supply.identity.address;
        if (first + o.unit_count - 1 > protocol::kBroadcastAddress - 1) {
            error = "--units " + std::to_string(o.unit_count) + " from address " + std::to_string(first) +
                    " runs past address 254";
            return false;
        }
        for (std::int64_t k = 0; k < o.unit_count; ++k) {
            addresses.push_back(static_cast<std::uint8_t>(first + k));
        }
    }
    const std::string& base = o.supply.identity.number;
    const std::size_t tail = base.size() - 3;
    int serial = 0;
    if (addresses.size() > 1) {
        const std::string_view digits(base.data() + tail, 3);
        std::int64_t value = 0;
        if (!parse_int(digits, 0, 999, value) || digits.find_first_not_of("0123456789") != std::string_view::npos) {
            error = "several units need a --number whose last three characters are digits";
            return false;
        }
        serial = static_cast<int>(value);
    }
    o.units.clear();
    for (std::size_t k = 0; k < addresses.size(); ++k) {
        SupplyConfig unit = o.supply;
        unit.identity.address = addresses[k];
        if (addresses.size() > 1) {
            const auto v = (serial + static_cast<int>(k)) % 1000;
            const char digits[3] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
                                    static_cast<char>('0' + v % 10)};
            unit.identity.number.replace(tail, 3, digits, 3);
        }
        o.units.push_back(std::move(unit));
    }
    return true;
}

// Checks what single options cannot and derives the units; false with `error` set.
bool finish(Options& o, std::string& error) {
    const int selectors =
        int(o.faults.nth.has_value()) + int(o.faults.every.has_value()) + int(o.faults.rate.has_value());
    if (selectors > 1) {
        error = "give at most one of --fault-nth, --fault-every and --fault-rate";
        return false;
    }
    if (o.schedule_on_open && o.load_schedule.empty()) {
        error = "--schedule-on-open needs --load-schedule";
        return false;
    }
    if (selectors == 1 && o.faults.modes.empty()) {
        error = "--fault-nth, --fault-every and --fault-rate need --fault MODES";
        return false;
    }
    return make_units(o, error);
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, std::string& error, bool& help) {
    Options o;
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const auto eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (!is_flag(name)) {
            if (!takes_value(name)) {
                error = "unknown option " + name + " (see --help)";
                return std::nullopt;
            }
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value (see --help)";
                return std::nullopt;
            }
            value = argv[++i];
        }
        if (name == "--help" || name == "-h") {
            help = true;
            return o;
        }
        if (name == "--version") {
            o.version = true;
            return o;
        }
        if (!is_flag(name) && !takes_value(name)) {
            error = "unknown option " + name + " (see --help)";
            return std::nullopt;
        }
        if (!apply(o, name, value)) {
            error = "bad value '";
            error += value;
            error += "' for ";
            error += name;
            error += " (see --help)";
            return std::nullopt;
        }
    }
    if (!finish(o, error)) {
        return std::nullopt;
    }
    return o;
}

}  // namespace kx::sim
