#include "line.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace kx::sim {

Line::Line(const Options& options, double start_s)
    : options_(options),
      log_(options.log, start_s),
      bus_(options.units),
      pacer_(options.baud),
      frames_(log_),
      faults_(options.faults),
      schedule_start_s_(start_s),
      schedule_waiting_(options.schedule_on_open) {}

void Line::receive(std::span<const std::uint8_t> bytes, double now) {
    if (schedule_waiting_ && !bytes.empty()) {
        start_schedule(now);
    }
    frames_.arriving(now);
    pacer_.begin_receive(now);
    for (const std::uint8_t b : bytes) {
        const double done = pacer_.byte_received();
        if (auto frame = frames_.take(b)) {
            pending_.push_back({*frame, done});
        }
    }
    // A real unit sends a late reply all the same; --late-cancels keeps the
    // gentler line where a new command drops it if it has not begun.
    if (options_.faults.late_cancels) {
        for (std::size_t n = pacer_.cancel_late(); n > 0; --n) {
            log_.note("late reply cancelled by a new command");
        }
    }
}

// Load changes and commands take turns in the order of their times, so that
// a command sees the load of its moment.
void Line::serve(double now) {
    for (;;) {
        const auto load_at = next_load_change();
        const bool command_due = !pending_.empty() && pending_.front().ready_s <= now;
        if (load_at && *load_at <= now && (!command_due || *load_at <= pending_.front().ready_s)) {
            change_load(*load_at);
        } else if (command_due) {
            const Pending p = pending_.front();
            pending_.pop_front();
            answer(p);
        } else {
            return;
        }
    }
}

std::optional<double> Line::next_load_change() const {
    if (schedule_waiting_ || load_steps_done_ >= options_.load_schedule.size()) {
        return std::nullopt;
    }
    return schedule_start_s_ + options_.load_schedule[load_steps_done_].at_s;
}

void Line::change_load(double at_s) {
    const LoadStep& step = options_.load_schedule[load_steps_done_++];
    bus_.set_load(step.ohms, at_s);
    char text[96];
    std::snprintf(text, sizeof text, "load now %g ohms (scheduled at %g s)", step.ohms, step.at_s);
    log_.note(text);
}

// A terminal that a client opens says nothing until the client writes, so
// the first byte after a hang-up is the moment the line was opened.
void Line::start_schedule(double now) {
    if (load_steps_done_ > 0) {
        bus_.set_load(options_.supply.load_ohms, now);
    }
    load_steps_done_ = 0;
    schedule_start_s_ = now;
    schedule_waiting_ = false;
    char text[96];
    std::snprintf(text, sizeof text, "line opened: the load schedule starts, load %g ohms", options_.supply.load_ohms);
    log_.note(text);
}

void Line::answer(const Pending& cmd) {
    log_.frame("rx", cmd.frame);
    const std::vector<Supply*> units = bus_.addressed(cmd.frame[protocol::kIndexAddress]);
    if (units.empty()) {
        log_.note("addressed to another unit: no reply");
        return;
    }
    const std::uint8_t word = cmd.frame[protocol::kIndexCommand];
    const CommandKind kind = command_kind(word);
    if (kind == CommandKind::Unknown) {
        char text[64];
        std::snprintf(text, sizeof text, "unknown command word 0x%02X: no reply", static_cast<unsigned>(word));
        log_.note(text);
        return;
    }
    if (units.size() > 1) {
        answer_at_once(cmd, units);
        return;
    }
    Supply& unit = *units.front();
    const std::string who = unit_name(unit.address());
    const auto fault = faults_.next();
    const bool ignored = fault == Fault::Ignore && kind == CommandKind::Setting;
    std::string note;
    const auto reply = unit.handle(cmd.frame, cmd.ready_s, note, !ignored);
    if (!note.empty()) {
        log_.note(note + " (" + who + ")");
    }
    if (!reply) {
        return;
    }
    if (fault) {
        std::string text =
            "fault: " + std::string(fault_name(*fault)) + " on reply " + std::to_string(faults_.replies());
        if (*fault == Fault::Ignore) {
            text += ignored ? ", acknowledged but not applied" : ", a readout: nothing to ignore";
        }
        log_.note(text + " (" + who + ")");
    }
    const double ready = cmd.ready_s + options_.turnaround_ms / 1000.0;
    for (Chunk& chunk : shape_reply(*reply, fault, cmd.ready_s, ready, options_.faults, pacer_)) {
        chunk.who = who;
        pacer_.queue(std::move(chunk));
    }
}

// Every unit acts on a broadcast, and all of them answer at once.
void Line::answer_at_once(const Pending& cmd, const std::vector<Supply*>& units) {
    faults_.skip();
    std::vector<protocol::Frame> replies;
    std::string names;
    for (Supply* unit : units) {
        std::string note;
        const auto reply = unit->handle(cmd.frame, cmd.ready_s, note);
        if (!note.empty()) {
            log_.note(note + " (" + unit_name(unit->address()) + ")");
        }
        if (reply) {
            replies.push_back(*reply);
        }
        if (!names.empty()) {
            names += ',';
        }
        names += std::to_string(unit->address());
    }
    log_.note("broadcast answered by " + std::to_string(units.size()) + " units at once: the replies collide");
    Chunk chunk;
    chunk.bytes = collide(replies);
    chunk.not_before_s = cmd.ready_s + options_.turnaround_ms / 1000.0;
    chunk.who = "units " + names + " at once: collided";
    pacer_.queue(std::move(chunk));
}

void Line::sent(std::size_t n) {
    if (auto done = pacer_.sent(n)) {
        log_.frame("tx", done->bytes, "(" + done->who + ")");
    }
}

void Line::hang_up() {
    // Called again and again while nobody holds the terminal: said once.
    if (options_.schedule_on_open && !schedule_waiting_) {
        schedule_waiting_ = true;
        log_.note("line closed: the load schedule waits for the next opening");
    }
    frames_.clear();
    pending_.clear();
    pacer_.clear();
}

std::optional<double> Line::next_deadline() const {
    std::optional<double> d = pacer_.next_deadline();
    for (const auto t : {pending_.empty() ? std::optional<double>() : pending_.front().ready_s, next_load_change()}) {
        if (t && (!d || *t < *d)) {
            d = t;
        }
    }
    return d;
}

}  // namespace kx::sim
