// The fixed demonstration sequence run when the module executes as the
// main program.
#pragma once

#include <Python.h>

namespace kx::module {

// Returns false with an exception set when a step raised.
bool run_demo(PyObject* globals);

}  // namespace kx::module
