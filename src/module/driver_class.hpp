// The driver class KX5180: its constants and methods, put into a namespace
// in definition order and made into a class by type(), as a class
// statement would.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::module {

namespace py = pybind11;

py::object driver_class(const py::object& module_name, const py::dict& globals);

}  // namespace kx::module
