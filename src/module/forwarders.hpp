// The methods of the driver class as the interpreter's own functions: each
// is a `def` forwarder, compiled from the method table, that passes its
// arguments to the method's native body held in its closure.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::module {

namespace py = pybind11;

// One function per entry of kMethods, in table order, whose __globals__ is
// `globals`. Nothing is added to `globals`.
py::list method_functions(const py::dict& globals);

}  // namespace kx::module
