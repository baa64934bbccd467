// The native half of each method: a builtin that takes the arguments as the
// method's Python forwarder passes them, checks or converts them as the
// method table says, and runs the method's body.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace kx::module {

namespace py = pybind11;

// The builtin for kMethods[index]. It keeps `globals`, the module's
// namespace, in which the body looks its globals up when it uses them.
py::object native_body(std::size_t index, const py::dict& globals);

}  // namespace kx::module
