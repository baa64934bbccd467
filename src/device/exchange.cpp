// The serial exchange and the raw read on the pyserial port object, one
// conversation per port at a time.
#include "../protocol/exchange.hpp"

#include <utility>

#include "command_frame.hpp"
#include "conversation.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

namespace {

using protocol::kFrameLength;

// One poll interval, made once rather than on every poll.
py::handle poll_interval() {
    static PyObject* const seconds = PyFloat_FromDouble(protocol::kPollIntervalSeconds);
    return seconds;
}

py::handle frame_length() {
    static PyObject* const length = PyLong_FromSize_t(kFrameLength);
    return length;
}

// A port object that says it is closed is refused before it is touched:
// pyserial itself would fail with an unrelated TypeError from deep inside.
// Objects without `is_open` (test doubles) are taken as they are.
void require_open(const Call& call, py::handle ser) {
    if (!py::hasattr(ser, name<"is_open">())) {
        return;
    }
    if (!py::bool_(py::getattr(ser, name<"is_open">()))) {
        PyErr_SetNone(py::getattr(call.global(name<"serial">()), name<"PortNotOpenError">()).ptr());
        throw py::error_already_set();
    }
}

// The pyserial port as the exchange policy sees it.
class PyPort {
public:
    using Reply = py::object;

    PyPort(const Call& call, py::object ser, PortState& state, py::bytes frame)
        : call_(call), ser_(std::move(ser)), state_(state), frame_(std::move(frame)) {}

    [[nodiscard]] bool settled() const { return state_.settled; }
    void mark_settled(bool settled) { state_.settled = settled; }

    bool frame_or_more_waiting() { return call_method(ser_, name<"inWaiting">()) >= frame_length(); }
    void discard_stale() {
        py::object stale = call_method(ser_, name<"inWaiting">());
        if (stale > py::int_(0)) {
            call_method(ser_, name<"read">(), stale);
        }
    }
    void write() { call_method(ser_, name<"write">(), frame_); }
    void pause() { call_method(call_.global(name<"time">()), name<"sleep">(), poll_interval()); }
    bool frame_waiting() {
        waiting_ = call_method(ser_, name<"inWaiting">());
        return waiting_.equal(py::getattr(call_.self(), name<"_KX5180__CMD_LENGTH">()));
    }
    py::object read_frame() { return call_method(ser_, name<"read">(), waiting_); }
    bool accept(const py::object& data) {
        if (py::len(data) != kFrameLength) {
            return false;
        }
        if (!py::object(data[py::int_(0)]).equal(py::int_(protocol::kSync))) {
            return false;
        }
        return py::bool_(call_method(call_.self(), name<"_KX5180__check_crc">(), data));
    }

private:
    const Call& call_;
    py::object ser_;
    PortState& state_;
    py::bytes frame_;
    py::object waiting_;
};

}  // namespace

py::object read(const Call& call) {
    py::object ser = py::getattr(call.self(), name<"ser">());
    const Conversation conversation(ser);
    require_open(call, ser);
    py::object waiting = call_method(ser, name<"inWaiting">());
    if (waiting > py::int_(0)) {
        return call_method(ser, name<"read">(), waiting);
    }
    return py::none();
}

py::object write_and_read(const Call& call) {
    py::bytes frame = wire_bytes(call.arg(1));
    py::object ser = py::getattr(call.self(), name<"ser">());
    Conversation conversation(ser);
    require_open(call, ser);
    PyPort port(call, ser, conversation.state(), std::move(frame));
    auto reply = protocol::write_and_read(port);
    return reply ? *reply : py::none();
}

}  // namespace kx::device
