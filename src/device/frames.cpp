// Checksum, raw read and the serial exchange as the driver class exposes
// them, on Python lists, bytes and the pyserial port object.
#include "frames.hpp"

#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "../protocol/exchange.hpp"
#include "conversation.hpp"
#include "methods.hpp"

namespace kx::device {

namespace {

using protocol::kFrameLength;

std::span<const std::uint8_t> bytes_view(py::handle b) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

// sum(data[:-1]) & 0xFF with Python's own arithmetic, so that any integer
// (negative, above 255, unbounded, bool) is summed as it is and anything
// else raises the TypeError the addition raises. Frames of small exact ints
// take the fast path.
py::object sequence_checksum(py::handle data) {
    if (PyBytes_Check(data.ptr())) {
        const auto view = bytes_view(data);
        if (view.empty()) {
            raise(PyExc_IndexError, "index out of range");
        }
        return py::int_(protocol::checksum(view));
    }
    const Py_ssize_t n = PyList_GET_SIZE(data.ptr());
    if (n == 0) {
        raise(PyExc_IndexError, "list index out of range");
    }
    long long sum = 0;
    bool fast = true;
    for (Py_ssize_t i = 0; i + 1 < n && fast; ++i) {
        PyObject* item = PyList_GET_ITEM(data.ptr(), i);
        int overflow = 0;
        const long long v = PyLong_CheckExact(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
        // Any list length and any values: leave the fast path before the sum could overflow.
        fast = PyLong_CheckExact(item) && overflow == 0 && !__builtin_add_overflow(sum, v, &sum);
    }
    if (fast) {
        return py::int_(sum & 0xFF);
    }
    py::object slice = py::reinterpret_steal<py::object>(PyList_GetSlice(data.ptr(), 0, n - 1));
    if (!slice) {
        throw py::error_already_set();
    }
    py::object total = py::int_(0);
    for (py::handle item : slice) {
        total = py::reinterpret_steal<py::object>(PyNumber_Add(total.ptr(), item.ptr()));
        if (!total) {
            throw py::error_already_set();
        }
    }
    py::object low = py::reinterpret_steal<py::object>(PyNumber_And(total.ptr(), py::int_(0xFF).ptr()));
    if (!low) {
        throw py::error_already_set();
    }
    return low;
}

py::object last_item(py::handle data) {
    PyObject* item = PySequence_GetItem(data.ptr(), -1);
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(item);
}

// The command frame as the bytes that go on the wire. A value that is not a
// byte is refused before anything is written.
py::bytes wire_bytes(py::handle cmd) {
    if (PyBytes_CheckExact(cmd.ptr())) {
        return py::reinterpret_borrow<py::bytes>(cmd);
    }
    if (PyBytes_Check(cmd.ptr())) {
        const auto view = bytes_view(cmd);
        return {reinterpret_cast<const char*>(view.data()), view.size()};
    }
    // A copy, so that an item's __index__ cannot change the list under us.
    py::list items = py::reinterpret_steal<py::list>(PyList_GetSlice(cmd.ptr(), 0, PY_SSIZE_T_MAX));
    if (!items) {
        throw py::error_already_set();
    }
    std::string out;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
        if (!index) {
            throw py::error_already_set();
        }
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow != 0 || v < 0 || v > 255) {
            const std::string text = py::repr(index);
            PyErr_Format(PyExc_ValueError,
                         "command frame byte %zd is %s, which does not fit in a byte (0 to 255); "
                         "nothing was sent",
                         i, text.c_str());
            throw py::error_already_set();
        }
        out.push_back(static_cast<char>(v));
    }
    return {out};
}

// A port object that says it is closed is refused before it is touched:
// pyserial itself would fail with an unrelated TypeError from deep inside.
// Objects without `is_open` (test doubles) are taken as they are.
void require_open(const Call& call, py::handle ser) {
    if (!py::hasattr(ser, name<"is_open">())) {
        return;
    }
    if (!py::bool_(get_attr(ser, name<"is_open">()))) {
        PyErr_SetNone(get_attr(call.global(name<"serial">()), name<"PortNotOpenError">()).ptr());
        throw py::error_already_set();
    }
}

// The pyserial port as the exchange sees it.
class PyPort {
public:
    using Reply = py::object;

    PyPort(const Call& call, py::object ser, PortState& state, py::bytes frame)
        : call_(call), ser_(std::move(ser)), state_(state), frame_(std::move(frame)) {}

    [[nodiscard]] bool settled() const { return state_.settled; }
    void mark_settled(bool settled) { state_.settled = settled; }

    bool frame_or_more_waiting() {
        py::object waiting = call_method(ser_, name<"inWaiting">());
        return waiting >= py::int_(kFrameLength);
    }
    void discard_stale() {
        py::object stale = call_method(ser_, name<"inWaiting">());
        if (stale > py::int_(0)) {
            call_method(ser_, name<"read">(), stale);
        }
    }
    void write() { call_method(ser_, name<"write">(), frame_); }
    void pause() {
        call_method(call_.global(name<"time">()), name<"sleep">(), py::float_(protocol::kPollIntervalSeconds));
    }
    bool frame_waiting() {
        waiting_ = call_method(ser_, name<"inWaiting">());
        return waiting_.equal(get_attr(call_.self(), name<"_KX5180__CMD_LENGTH">()));
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

py::list new_command(py::handle self, py::handle word_attr) {
    auto command =
        py::reinterpret_steal<py::list>(PySequence_List(get_attr(self, name<"_KX5180__CMD_TEMPLATE">()).ptr()));
    if (!command) {
        throw py::error_already_set();
    }
    command[1] = get_attr(self, name<"_KX5180__addr">());
    command[2] = get_attr(self, word_attr);
    return command;
}

py::object send(py::handle self, const py::list& command) {
    call_method(self, name<"_KX5180__cal_crc">(), command);
    return call_method(self, name<"_KX5180__write_and_read">(), command);
}

protocol::Frame reply_values(py::handle reply) {
    protocol::Frame out{};
    py::bytes raw = PyBytes_Check(reply.ptr()) ? py::reinterpret_borrow<py::bytes>(reply)
                                               : py::reinterpret_steal<py::bytes>(PyBytes_FromObject(reply.ptr()));
    if (!raw) {
        throw py::error_already_set();
    }
    const auto view = bytes_view(raw);
    if (view.size() < kFrameLength) {
        raise(PyExc_IndexError, "reply frame is shorter than 26 bytes");
    }
    std::memcpy(out.data(), view.data(), kFrameLength);
    return out;
}

py::str reply_line(const char* prefix, py::handle reply) {
    auto values = py::reinterpret_steal<py::list>(PySequence_List(reply.ptr()));
    if (!values) {
        throw py::error_already_set();
    }
    return py::str(std::string(prefix) + std::string(py::str(values)));
}

py::object check_crc(const Call& call) {
    py::handle data = call.arg(1);
    py::object checksum = sequence_checksum(data);
    return py::bool_(last_item(data).equal(checksum));
}

py::object cal_crc(const Call& call) {
    py::handle data = call.arg(1);
    py::object checksum = sequence_checksum(data);
    if (PySequence_SetItem(data.ptr(), -1, checksum.ptr()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

py::object read(const Call& call) {
    py::object ser = get_attr(call.self(), name<"ser">());
    Conversation conversation(ser);
    require_open(call, ser);
    py::object waiting = call_method(ser, name<"inWaiting">());
    if (waiting > py::int_(0)) {
        return call_method(ser, name<"read">(), waiting);
    }
    return py::none();
}

py::object write_and_read(const Call& call) {
    py::bytes frame = wire_bytes(call.arg(1));
    py::object ser = get_attr(call.self(), name<"ser">());
    Conversation conversation(ser);
    require_open(call, ser);
    PyPort port(call, ser, conversation.state(), std::move(frame));
    auto reply = protocol::write_and_read(port);
    return reply ? *reply : py::none();
}

}  // namespace kx::device
