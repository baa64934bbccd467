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
//
// Not noexcept, and no handler keeps a forced unwind: at exit the
// interpreter ends a daemon thread that wants the GIL back with
// pthread_exit, which unwinds the thread's stack (without the GIL) through
// here where the driver's own calls did not stop it (see
// device/thread_exit.hpp). Stopping that unwind or meeting a noexcept frame
// on its way aborts the whole process.
template <class Result, class Work>
Result catching(Result failed, Work&& work) {
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
        // Caught without the GIL: the forced unwind of a thread that the
        // interpreter ends at exit. It must go on, or the process aborts.
        if (PyGILState_Check() == 0) {
            throw;
        }
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in kx5180");
    }
    return failed;
}

}  // namespace kx::module
