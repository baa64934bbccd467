// Interned attribute and global names, made once per process, and calls of
// methods through the object without building argument tuples.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

#include "thread_exit.hpp"

namespace kx::device {

namespace py = pybind11;

template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT(google-explicit-constructor)
};

// The interned string for a name written in the source; kept for the life
// of the process, like the interpreter's own identifiers (the module
// refuses sub-interpreters, so there is one interpreter to keep it for).
template <Name N>
py::handle name() {
    static PyObject* const interned = [] {
        PyObject* s = PyUnicode_InternFromString(N.text);
        if (s == nullptr) {
            throw py::error_already_set();
        }
        return s;
    }();
    return interned;
}

// self.<method>(args...) looked up on the object, as Python code calls it.
// The arguments are borrowed: nothing here owns a Python object while the
// call runs, which is where a thread is ended at exit.
template <class... Args>
py::object call_method(py::handle self, py::handle method, const Args&... args) {
    PyObject* argv[] = {self.ptr(), py::handle(args).ptr()...};
    PyObject* result =
        exit_safe([&] { return PyObject_VectorcallMethod(method.ptr(), argv, sizeof...(Args) + 1, nullptr); });
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

// callable(positional..., **keywords) in one vectorcall: the last
// len(kwnames) arguments are the values of the keywords named, in order, by
// the tuple `kwnames` (made once, from interned names).
template <class... Args>
py::object call_with_keywords(py::handle callable, py::handle kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    const auto positional =
        static_cast<std::size_t>(sizeof...(Args)) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
    PyObject* result = exit_safe([&] {
        return PyObject_Vectorcall(callable.ptr(), argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames.ptr());
    });
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

// A tuple of interned names, made once per process (see name()).
template <Name... Ns>
py::handle names_tuple() {
    static PyObject* const tuple = [] {
        PyObject* t = PyTuple_Pack(sizeof...(Ns), name<Ns>().ptr()...);
        if (t == nullptr) {
            throw py::error_already_set();
        }
        return t;
    }();
    return tuple;
}

}  // namespace kx::device
