// A small native function type that behaves like a Python function: it
// binds to instances as a method, is called through vectorcall, binds
// arguments by position or keyword with the interpreter's own messages, and
// carries a function's metadata so that help() and inspect read it.
#pragma once

#include <Python.h>

#include <span>

#include "../device/context.hpp"

namespace kx::module {

// How an argument is checked, and possibly converted, before the body runs.
enum class Check {
    None,         // taken as given
    ExactStr,     // exactly str
    ExactList,    // exactly list
    ExactInt,     // exactly int (bool and subclasses refused)
    ListOrBytes,  // a list or a bytes object (subclasses too)
    Double,       // converted as float() does
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // string annotation, or none
    Check check = Check::None;
    const char* default_value = nullptr;  // a string default, or none
};

struct MethodSpec {
    const char* name;               // as written in the class body, e.g. "__check_crc"
    const char* doc;                // or null for no docstring
    std::span<const Param> params;  // self first
    const char* returns;            // return annotation, or null
    device::Impl impl;
};

// Readies the type once per process.
bool ready_function_type();

// A new method object for `spec`, whose globals are the module's namespace.
PyObject* new_function(const MethodSpec& spec, PyObject* module_name, PyObject* globals);

}  // namespace kx::module
