#include "faults.hpp"

#include <array>
#include <utility>

namespace kx::sim {

namespace {

constexpr std::array<std::pair<std::string_view, Fault>, 7> kFaultNames{{
    {"silent", Fault::Silent},
    {"bad-checksum", Fault::BadChecksum},
    {"bad-sync", Fault::BadSync},
    {"split", Fault::Split},
    {"extra-byte", Fault::Extra},
    {"late", Fault::Late},
    {"ignore", Fault::Ignore},
}};

// A split reply breaks after this many bytes.
constexpr std::size_t kSplitAt = 10;

Chunk chunk(std::vector<std::uint8_t> bytes, double not_before_s, bool late = false) {
    Chunk c;
    c.bytes = std::move(bytes);
    c.not_before_s = not_before_s;
    c.late = late;
    return c;
}

}  // namespace

const char* fault_name(Fault f) {
    for (const auto& [name, fault] : kFaultNames) {
        if (fault == f) {
            return name.data();
        }
    }
    return "?";
}

std::optional<Fault> fault_named(std::string_view name) {
    for (const auto& [n, fault] : kFaultNames) {
        if (n == name) {
            return fault;
        }
    }
    return std::nullopt;
}

std::optional<Fault> FaultPicker::next() {
    ++replies_;
    if (plan_.modes.empty()) {
        return std::nullopt;
    }
    bool hit = true;
    if (plan_.nth) {
        hit = replies_ == *plan_.nth;
    } else if (plan_.every) {
        hit = replies_ % *plan_.every == 0;
    } else if (plan_.rate) {
        hit = std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < *plan_.rate;
    }
    if (!hit) {
        return std::nullopt;
    }
    Fault which{};
    if (plan_.rate) {
        which = plan_.modes[std::uniform_int_distribution<std::size_t>(0, plan_.modes.size() - 1)(rng_)];
    } else {
        which = plan_.modes[faults_ % plan_.modes.size()];
    }
    ++faults_;
    return which;
}

std::vector<Chunk> shape_reply(const protocol::Frame& reply, std::optional<Fault> fault, double received_s,
                               double ready_s, const FaultPlan& plan, const Pacer& pacer) {
    std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
    if (!fault) {
        return {chunk(std::move(bytes), ready_s)};
    }
    switch (*fault) {
        case Fault::Silent:
            return {};
        case Fault::BadChecksum:
            bytes.back() = static_cast<std::uint8_t>(bytes.back() + 1);
            break;
        case Fault::BadSync:
            bytes.front() = 0x55;
            break;
        case Fault::Extra:
            bytes.push_back(0x00);
            break;
        case Fault::Split: {
            std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + kSplitAt);
            std::vector<std::uint8_t> tail(bytes.begin() + kSplitAt, bytes.end());
            const double resume = ready_s + pacer.wire_s(kSplitAt) + plan.split_pause_ms / 1000.0;
            return {chunk(std::move(head), ready_s), chunk(std::move(tail), resume)};
        }
        case Fault::Late:
            return {chunk(std::move(bytes), received_s + plan.late_ms / 1000.0, true)};
        case Fault::Ignore:
            break;  // the harm is done to the unit's state, not to the reply
    }
    return {chunk(std::move(bytes), ready_s)};
}

}  // namespace kx::sim
