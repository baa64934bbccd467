#include "context.hpp"

namespace kx::device {

py::object Call::global(const char* name) const {
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) {
        throw py::error_already_set();
    }
    PyObject* found = PyDict_GetItemWithError(globals, key);
    if (found == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) {
            found = PyDict_GetItemWithError(builtins, key);
        }
    }
    Py_DECREF(key);
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        }
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(found);
}

void Call::print(const py::object& line) const {
    global("print")(line);
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

}  // namespace kx::device
