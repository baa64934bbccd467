// The fixed demonstration sequence run when the module executes as the
// main program.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::module {

namespace py = pybind11;

// Throws py::error_already_set when a step raised; the remaining steps
// are not run.
void run_demonstration(const py::dict& globals);

}  // namespace kx::module
