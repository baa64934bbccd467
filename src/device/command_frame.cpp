#include "command_frame.hpp"

#include <cstring>
#include <span>
#include <string>

#include "names.hpp"

namespace kx::device {

namespace {

using protocol::kFrameLength;

std::span<const std::uint8_t> bytes_view(py::handle b) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

[[noreturn]] void not_a_byte(Py_ssize_t index, py::handle value) {
    PyErr_Format(PyExc_ValueError,
                 "command frame byte %zd is %R, which does not fit in a byte (0 to 255); nothing was sent", index,
                 value.ptr());
    throw py::error_already_set();
}

// The byte an exact int stands for, or -1 when it is not one.
long exact_byte(PyObject* item) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(item, &overflow);
    return overflow == 0 && v >= 0 && v <= 255 ? v : -1;
}

// Items that are not exact ints run Python code (__index__), which could
// change the list under us: they are converted from a copy.
py::bytes wire_bytes_slow(const py::list& cmd) {
    py::list items = cmd[py::slice(0, static_cast<Py_ssize_t>(py::len(cmd)), 1)];
    std::string out;
    out.reserve(py::len(items));
    Py_ssize_t i = 0;
    for (py::handle item : items) {
        py::int_ index = py::reinterpret_steal<py::int_>(PyNumber_Index(item.ptr()));
        if (!index) {
            throw py::error_already_set();
        }
        const long v = exact_byte(index.ptr());
        if (v < 0) {
            not_a_byte(i, index);
        }
        out.push_back(static_cast<char>(v));
        ++i;
    }
    return {out};
}

}  // namespace

py::list new_command(py::handle self, py::handle word_attr) {
    // Always a copy, whatever sequence the template is.
    auto command =
        py::reinterpret_steal<py::list>(PySequence_List(py::getattr(self, name<"_KX5180__CMD_TEMPLATE">()).ptr()));
    if (!command) {
        throw py::error_already_set();
    }
    command[1] = py::getattr(self, name<"_KX5180__addr">());
    command[2] = py::getattr(self, word_attr);
    return command;
}

py::object send(py::handle self, const py::list& command) {
    call_method(self, name<"_KX5180__cal_crc">(), command);
    return call_method(self, name<"_KX5180__write_and_read">(), command);
}

py::bytes wire_bytes(py::handle cmd) {
    if (PyBytes_CheckExact(cmd.ptr())) {
        return py::reinterpret_borrow<py::bytes>(cmd);
    }
    if (PyBytes_Check(cmd.ptr())) {
        const auto view = bytes_view(cmd);
        return {reinterpret_cast<const char*>(view.data()), view.size()};
    }
    auto list = py::reinterpret_borrow<py::list>(cmd);
    const Py_ssize_t n = PyList_GET_SIZE(cmd.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyLong_CheckExact(PyList_GET_ITEM(cmd.ptr(), i))) {
            return wire_bytes_slow(list);
        }
    }
    // Only exact ints: no Python code runs below, so the list stays as it is
    // while its values are written straight into the new bytes object.
    auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, n));
    if (!out) {
        throw py::error_already_set();
    }
    char* dst = PyBytes_AS_STRING(out.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(cmd.ptr(), i);
        const long v = exact_byte(item);
        if (v < 0) {
            not_a_byte(i, item);
        }
        dst[i] = static_cast<char>(v);
    }
    return out;
}

protocol::Frame reply_values(py::handle reply) {
    auto raw = PyBytes_Check(reply.ptr()) ? py::reinterpret_borrow<py::bytes>(reply)
                                          : py::reinterpret_steal<py::bytes>(PyBytes_FromObject(reply.ptr()));
    if (!raw) {
        throw py::error_already_set();
    }
    const auto view = bytes_view(raw);
    if (view.size() < kFrameLength) {
        raise(PyExc_IndexError, ("reply frame is shorter than " + std::to_string(kFrameLength) + " bytes").c_str());
    }
    protocol::Frame out{};
    std::memcpy(out.data(), view.data(), kFrameLength);
    return out;
}

py::str reply_line(const char* prefix, py::handle reply) {
    if (!PyBytes_Check(reply.ptr())) {
        return py::str(py::str(prefix) + py::str(py::list(py::reinterpret_borrow<py::object>(reply))));
    }
    // The text str(list(reply)) gives, written straight from the bytes.
    std::string line(prefix);
    line += '[';
    bool first = true;
    for (const std::uint8_t b : bytes_view(reply)) {
        if (!first) {
            line += ", ";
        }
        first = false;
        line += std::to_string(b);
    }
    line += ']';
    return {line};
}

}  // namespace kx::device
