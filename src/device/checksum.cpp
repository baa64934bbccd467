// __check_crc and __cal_crc: the low 8 bits of the plain sum of every item
// but the last, as Python's own arithmetic computes it.
#include <span>

#include "../protocol/frame.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

namespace {

// sum(data[:-1]) & 0xFF. Only the low 8 bits of each item reach the low
// 8 bits of the sum, so exact ints (and bools) are added as their low bits
// in wrapping unsigned arithmetic, whatever their size or sign. Anything
// else is added by the interpreter, from the start, so that an int subclass
// or a non-number behaves exactly as in sum().
py::object sequence_checksum(py::handle data) {
    if (PyBytes_Check(data.ptr())) {
        const std::span<const std::uint8_t> view{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
                                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
        if (view.empty()) {
            raise(PyExc_IndexError, "index out of range");
        }
        return py::int_(protocol::checksum(view));
    }
    const Py_ssize_t n = PyList_GET_SIZE(data.ptr());
    if (n == 0) {
        raise(PyExc_IndexError, "list index out of range");
    }
    unsigned long low = 0;
    bool fast = true;
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        PyObject* item = PyList_GET_ITEM(data.ptr(), i);
        if (!PyLong_CheckExact(item) && !PyBool_Check(item)) {
            fast = false;
            break;
        }
        low += PyLong_AsUnsignedLongMask(item) & 0xFFUL;
    }
    if (fast) {
        return py::int_(low & 0xFFUL);
    }
    py::list items = py::reinterpret_borrow<py::list>(data)[py::slice(0, n - 1, 1)];
    py::object total = py::int_(0);
    for (py::handle item : items) {
        total = total + py::reinterpret_borrow<py::object>(item);
    }
    return total & py::int_(0xFF);
}

py::object last_item(py::handle data) {
    return py::reinterpret_borrow<py::object>(data)[py::int_(-1)];
}

}  // namespace

py::object check_crc(const Call& call) {
    py::handle data = call.arg(1);
    py::object checksum = sequence_checksum(data);
    return py::bool_(last_item(data).equal(checksum));
}

py::object cal_crc(const Call& call) {
    py::handle data = call.arg(1);
    py::object checksum = sequence_checksum(data);
    py::reinterpret_borrow<py::object>(data)[py::int_(-1)] = checksum;
    return py::none();
}

}  // namespace kx::device
