// What a method body sees of its call: the bound arguments and the module's
// namespace. Module globals and builtins are looked up when used, as a
// Python function would, so tests and programs can substitute them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "names.hpp"

namespace kx::device {

namespace py = pybind11;

struct Call {
    PyObject* const* args;  // bound arguments, self first
    PyObject* globals;      // the module's namespace

    [[nodiscard]] py::handle self() const { return args[0]; }
    [[nodiscard]] py::handle arg(std::size_t i) const { return args[i]; }

    // A module global, else a builtin, else NameError.
    [[nodiscard]] py::object global(py::handle key) const;

    // One line to standard output through whatever `print` resolves to.
    void print(const py::object& line) const;
};

using Impl = py::object (*)(const Call&);

// Raise a Python exception of the given type from a method body.
[[noreturn]] void raise(PyObject* type, const char* message);

}  // namespace kx::device
