// The one place where a C++ exception becomes a Python exception: every
// native entry point of the module runs its work through it, because an
// exception must never unwind into the interpreter.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>

namespace kx::module {

namespace py = pybind11;

// Runs `work` and returns its result; if it throws, sets the matching Python
// exception and returns `failed`.
// The handlers only set the interpreter's error indicator, which does not
// throw, but they are not declared noexcept, hence the NOLINT.
template <class Result, class Work>
Result catching(Result failed, Work&& work) noexcept {  // NOLINT(bugprone-exception-escape)
    try {
        return work();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in kx5180");
    }
    return failed;
}

}  // namespace kx::module
