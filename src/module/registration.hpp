// The driver class KX5180: its constants and method table, built into a
// namespace and created with type(), as a class statement would.
#pragma once

#include <Python.h>

namespace kx::module {

// A new reference to the class, or null with an exception set.
PyObject* build_driver_class(PyObject* module_name, PyObject* globals);

}  // namespace kx::module
