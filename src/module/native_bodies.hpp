// The native half of each method of the driver class: a builtin that takes
// the arguments as the method passes them on, checks or converts the one
// after self as its annotation promises, and runs the method's body.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::module {

namespace py = pybind11;

// Calls `factory`, the class file's _driver_class, with every builtin as
// the keyword argument named for its method: "native_" and the method's
// name without its underscores (native_check_crc for __check_crc). The
// factory must take exactly these, all keyword-only; a body missing, extra
// or misnamed on either side stops the import with one ImportError that
// names it. Each builtin keeps `globals`, the module's namespace, in which
// its body looks globals up when it uses them.
void bind_native_bodies(const py::object& factory, const py::dict& globals);

}  // namespace kx::module
