// The setting commands: each one exchange, judged only by whether a valid
// reply came back.
#include "../protocol/codec.hpp"
#include "command_frame.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

namespace {

// The flag byte of a two-valued mode, the words compared in the order the
// protocol documents: an object that equals everything gets the first
// word's flag. Anything but the two exact words is refused: a look-alike
// such as 'OFF' must never switch an output on.
int mode_flag(py::handle mode, py::handle first, int first_flag, py::handle second) {
    if (mode.equal(first)) {
        return first_flag;
    }
    if (mode.equal(second)) {
        return 1 - first_flag;
    }
    py::handle on = first_flag == 1 ? first : second;
    py::handle off = first_flag == 1 ? second : first;
    PyErr_Format(PyExc_ValueError, "mode must be '%U' or '%U', not %R; nothing was sent", on.ptr(), off.ptr(),
                 mode.ptr());
    throw py::error_already_set();
}

py::object set_flag(const Call& call, py::handle word_attr, int flag) {
    py::handle self = call.self();
    py::list command = new_command(self, word_attr);
    command[3] = py::int_(flag);
    return py::bool_(send(self, command));
}

struct Setpoint {
    py::handle word_attr;
    const char* quantity;  // "voltage" or "current"
    const char* unit;      // "V" or "A"
    const char* printed;   // prefix of the line printed on success, or null
};

py::object set_setpoint(const Call& call, const Setpoint& sp) {
    py::handle self = call.self();
    const double x = PyFloat_AS_DOUBLE(call.arg(1).ptr());  // converted on entry
    py::list command = new_command(self, sp.word_attr);
    const protocol::Milli m = protocol::to_milli(x);
    switch (m.error) {
        case protocol::SetpointError::NotANumber:
            raise(PyExc_ValueError, "cannot convert float NaN to integer");
        case protocol::SetpointError::Infinite:
            raise(PyExc_OverflowError, "cannot convert float infinity to integer");
        case protocol::SetpointError::OutOfRange:
            PyErr_Format(PyExc_ValueError,
                         "%s %R %s is out of range: the accepted range is 0 to 4294967.295 %s "
                         "(0 to 4294967295 milli%s after truncation); nothing was sent",
                         sp.quantity, call.arg(1).ptr(), sp.unit, sp.unit, sp.unit[0] == 'V' ? "volts" : "amperes");
            throw py::error_already_set();
        case protocol::SetpointError::None:
            break;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        command[protocol::kIndexData + i] = py::int_((m.value >> (8 * i)) & 0xFFU);
    }
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::bool_(false);
    }
    if (sp.printed != nullptr) {
        call.print(reply_line(sp.printed, reply));
    }
    return py::bool_(true);
}

}  // namespace

py::object set_work_mode(const Call& call) {
    return set_flag(call, name<"_KX5180__CMD_WORD_SET_WORK_MODE">(),
                    mode_flag(call.arg(1), name<"remote">(), 1, name<"local">()));
}

py::object set_ouput_mode(const Call& call) {
    return set_flag(call, name<"_KX5180__CMD_WORD_SET_OUT_MODE">(),
                    mode_flag(call.arg(1), name<"off">(), 0, name<"on">()));
}

py::object set_voltage_max(const Call& call) {
    return set_setpoint(call, {name<"_KX5180__CMD_WORD_SET_MAX_OUT_VOLTAGE">(), "voltage", "V", nullptr});
}

py::object set_out_voltage(const Call& call) {
    return set_setpoint(call, {name<"_KX5180__CMD_WORD_SET_OUT_VOLTAGE">(), "voltage", "V", "set voltage, read:"});
}

py::object set_out_current(const Call& call) {
    return set_setpoint(call, {name<"_KX5180__CMD_WORD_SET_OUT_CURRENT">(), "current", "A", "set current, read:"});
}

// The stored address is left alone: the object learns an address only
// from the identity read that open makes, so later frames still go to the
// address the unit answered at.
py::object set_new_addr(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, name<"_KX5180__CMD_WORD_SET_NEW_ADDR">());
    command[3] = call.arg(1);
    return py::bool_(send(self, command));
}

py::object restore_factory(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, name<"_KX5180__CMD_WORD_RESTORE_FACTORY">());
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::bool_(false);
    }
    call.print(reply_line("Restore FACTORY:", reply));
    return py::bool_(true);
}

}  // namespace kx::device
