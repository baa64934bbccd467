// The one place where a C++ exception becomes a Python exception: every
// native entry point of the module runs its work through it, because an
// exception must never unwind into the interpreter.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>

#if !defined(_MSC_VER) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

namespace kx::module {

namespace py = pybind11;

// Runs `work` and returns its result; if it throws, sets the matching Python
// exception and returns `failed`.
//
// Not noexcept, and no handler keeps a forced unwind: at exit the
// interpreter ends a daemon thread that wants the GIL back with
// pthread_exit, which unwinds the thread's stack through here (without the
// GIL). Stopping that unwind (catch (...) sees it) or meeting a noexcept
// frame on its way aborts the whole process.
template <class Result, class Work>
Result catching(Result failed, Work&& work) {
    try {
        return work();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
#if defined(_LIBCPPABI_VERSION)
        // libc++abi: a forced unwind is a foreign exception, of no C++ type.
        if (abi::__cxa_current_exception_type() == nullptr) {
            throw;
        }
#endif
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in kx5180");
    }
    return failed;
}

}  // namespace kx::module
