#include "context.hpp"

namespace kx::device {

py::object Call::global(py::handle key) const {
    PyObject* found = PyDict_GetItemWithError(globals, key.ptr());
    if (found == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) {
            found = PyDict_GetItemWithError(builtins, key.ptr());
        }
    }
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
        }
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(found);
}

void Call::print(const py::object& line) const {
    py::object print = global(name<"print">());
    PyObject* argv[] = {line.ptr()};
    PyObject* result = PyObject_Vectorcall(print.ptr(), argv, 1, nullptr);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(result);
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

}  // namespace kx::device
