// What a thread does when the interpreter ends it at exit, in the middle
// of a driver call.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::device {

// At exit the interpreter ends a daemon thread that asks for the GIL back
// with pthread_exit, a forced unwind. Unwinding would release Python objects
// without the GIL and crash the process, so a thread caught in one instead
// gives up the ports it holds or waits for and sleeps until the process is
// gone, as Python 3.14 does with such threads itself.
[[noreturn]] void abandon_thread() noexcept;

// Runs `call`, a call into the interpreter that returns a new reference (or
// null), and abandons the thread if the interpreter ends it meanwhile. No
// C++ exception leaves the interpreter's C API (the module's own builtins
// catch theirs), so anything caught here is that forced unwind.
template <class Call>
PyObject* exit_safe(Call&& call) {
    try {
        return call();
    } catch (...) {
        abandon_thread();
    }
}

}  // namespace kx::device
