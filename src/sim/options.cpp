#include "options.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace kx::sim {

const char* const kUsage = R"(usage: kx5180-sim [options]

Serves a simulated kx5100 series power supply on a pseudo-terminal. The first
line of standard output is the path of the terminal to open (4800 8N1, as the
driver does); the log goes to standard error. Stop it with SIGINT or SIGTERM.

Port:
  --link PATH           also make a symbolic link PATH to the terminal
                        (replaces an existing link, removed on exit)
  --baud N              pace the line at N baud, 10 bits a byte (default 4800);
                        0 answers at once
  --turnaround-ms T     delay between a command and its reply (default 2)
  --log                 log every frame both ways, in hex, with a timestamp

Unit:
  --address N           bus address 0..254 (default 1); frames to 255 are
                        answered too, other addresses are ignored
  --model CODE          model code, 4 characters (default 5180)
  --number SN           product number, 9 characters (default 518000001)
  --soft-version N      software version 0..65535 (default 373)
  --load-ohms R         resistive load on the output, ohms (default 10);
                        0 is a short, inf an open circuit
  --ambient-c T         ambient temperature, Celsius (default 25)
  --thermal-c-per-w K   temperature rise per watt delivered (default 2)
  --thermal-tau-s S     thermal time constant, seconds (default 20; 0 = at once)
  --over-temp-c T       over-temperature trip point (default 85)

Faults (for testing the driver's failure paths):
  --fault MODES         comma-separated: silent, bad-checksum, bad-sync,
                        split, extra-byte, late; alone it faults every reply
  --fault-nth N         fault only the Nth reply
  --fault-every N       fault every Nth reply
  --fault-rate P        fault this fraction (0..1) of replies, drawn from --seed
  --seed S              seed for --fault-rate (default 1)
  --split-pause-ms T    pause inside a split reply (default 30)
  --late-ms T           a late reply comes this long after the command
                        (default 400, past the driver's 0.3 s wait); a new
                        command arriving first cancels it

The model:
  At power-up (and after a factory reset) the output is off, the ceiling is
  30.000 V, the voltage setpoint 5.000 V and the current limit 1.000 A;
  control starts local. Setting commands are accepted in either control mode.
  With the output on, the unit regulates to V = min(setpoint, ceiling):
  constant voltage (CV) while V / R stays within the current limit, otherwise
  constant current (CC) at the limit, with V = limit x R. Measured values
  are rounded to whole mV and mA; the status frame reports the low 16 bits
  of currents. The temperature follows ambient + K x delivered power with the
  time constant S; the fan runs 0 below 35 C, then one step per 7 C up to 7.
  At the trip point the output switches off and the over-temperature bit is
  set until the output is switched on again.
  Replies: status (0x26) and identity (0x31) replies carry their own command
  word; setting commands are answered with command word 0x12, byte 3 the
  command answered and byte 4 0x80 (done). Unknown command words, frames for
  other addresses and frames with a bad sync byte or checksum get no reply.
  A new bus address (0x25) is stored for the next power-up, which never comes
  within one run: the unit keeps answering at its address, as the driver
  keeps sending to it. A factory reset also forgets a stored new address.
)";

namespace {

constexpr std::array<std::pair<std::string_view, Fault>, 6> kFaultNames{{
    {"silent", Fault::Silent},
    {"bad-checksum", Fault::BadChecksum},
    {"bad-sync", Fault::BadSync},
    {"split", Fault::Split},
    {"extra-byte", Fault::Extra},
    {"late", Fault::Late},
}};

bool parse_long(std::string_view text, long lo, long hi, long& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= lo && out <= hi;
}

bool parse_double(const std::string& text, double lo, double hi, double& out) {
    if (text == "inf") {
        out = INFINITY;
        return hi == INFINITY;
    }
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(out) && out >= lo && out <= hi;
}

bool parse_faults(const std::string& text, std::vector<Fault>& out) {
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        bool found = false;
        for (const auto& [n, f] : kFaultNames) {
            if (n == name) {
                out.push_back(f);
                found = true;
            }
        }
        if (!found) {
            return false;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return !out.empty();
}

bool takes_value(std::string_view name) {
    constexpr std::array<std::string_view, 19> kNames{
        "--link",          "--baud",         "--turnaround-ms",  "--address",   "--model",
        "--number",        "--soft-version", "--load-ohms",      "--ambient-c", "--thermal-c-per-w",
        "--thermal-tau-s", "--over-temp-c",  "--fault",          "--fault-nth", "--fault-every",
        "--fault-rate",    "--seed",         "--split-pause-ms", "--late-ms"};
    for (std::string_view n : kNames) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* fault_name(Fault f) {
    for (const auto& [n, fault] : kFaultNames) {
        if (fault == f) {
            return n.data();
        }
    }
    return "?";
}

std::optional<Options> parse_options(int argc, char** argv, std::string& error, bool& help) {
    Options o;
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const auto eq = name.find('=');
        const bool flag = name == "--log" || name == "--help" || name == "-h";
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (!flag) {
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
        long n = 0;
        double d = 0.0;
        bool ok = true;
        if (name == "--help" || name == "-h") {
            help = true;
            return o;
        } else if (name == "--log") {
            o.log = true;
        } else if (name == "--link") {
            o.link = value;
            ok = !value.empty();
        } else if (name == "--baud") {
            ok = parse_long(value, 0, 10'000'000, o.baud);
        } else if (name == "--turnaround-ms") {
            ok = parse_double(value, 0.0, 10'000.0, o.turnaround_ms);
        } else if (name == "--address") {
            ok = parse_long(value, 0, 254, n);
            o.supply.identity.address = static_cast<std::uint8_t>(n);
        } else if (name == "--model") {
            ok = value.size() == protocol::kIdentityModelLength;
            o.supply.identity.model = value;
        } else if (name == "--number") {
            ok = value.size() == protocol::kIdentityNumberLength;
            o.supply.identity.number = value;
        } else if (name == "--soft-version") {
            ok = parse_long(value, 0, 65535, n);
            o.supply.identity.soft_version = static_cast<std::uint16_t>(n);
        } else if (name == "--load-ohms") {
            ok = parse_double(value, 0.0, INFINITY, o.supply.load_ohms);
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
            ok = parse_long(value, 1, 1'000'000'000, n);
            o.faults.nth = n;
        } else if (name == "--fault-every") {
            ok = parse_long(value, 1, 1'000'000'000, n);
            o.faults.every = n;
        } else if (name == "--fault-rate") {
            ok = parse_double(value, 0.0, 1.0, d);
            o.faults.rate = d;
        } else if (name == "--seed") {
            ok = parse_long(value, 0, 0x7FFFFFFFFFFFFFFFL, n);
            o.faults.seed = static_cast<std::uint64_t>(n);
        } else if (name == "--split-pause-ms") {
            ok = parse_double(value, 0.0, 10'000.0, o.faults.split_pause_ms);
        } else if (name == "--late-ms") {
            ok = parse_double(value, 0.0, 60'000.0, o.faults.late_ms);
        } else {
            error = "unknown option " + name + " (see --help)";
            return std::nullopt;
        }
        if (!ok) {
            error = "bad value '";
            error += value;
            error += "' for ";
            error += name;
            error += " (see --help)";
            return std::nullopt;
        }
    }
    const int selectors =
        int(o.faults.nth.has_value()) + int(o.faults.every.has_value()) + int(o.faults.rate.has_value());
    if (selectors > 1) {
        error = "give at most one of --fault-nth, --fault-every and --fault-rate";
        return std::nullopt;
    }
    if (selectors == 1 && o.faults.modes.empty()) {
        error = "--fault-nth, --fault-every and --fault-rate need --fault MODES";
        return std::nullopt;
    }
    return o;
}

}  // namespace kx::sim
