// The native half of each method of the driver class: a builtin that takes
// the arguments as the method passes them on, checks or converts the one
// after self as its annotation promises, and runs the method's body.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::module {

namespace py = pybind11;

// The builtins in the order of _driver_class's parameters (the methods'
// definition order). Each keeps `globals`, the module's namespace, in which
// its body looks globals up when it uses them.
py::tuple native_bodies(const py::dict& globals);

}  // namespace kx::module
