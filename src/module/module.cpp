// Entry point of the extension module kx5180. Multi-phase initialisation:
// the module object is created first and executed afterwards, so that a
// launcher can rename it "__main__" in between and have the demonstration
// run (see kx5180_demo.py).
#include <Python.h>

#include <array>

#include "demo.hpp"
#include "docstrings.hpp"
#include "registration.hpp"

namespace kx::module {

namespace {

constexpr std::array<const char*, 5> kImports{"platform", "serial", "time", "subprocess", "binascii"};

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) {
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) {
        return nullptr;
    }
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int exec_module(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    for (const char* name : kImports) {
        PyObject* key = PyUnicode_FromString(name);
        PyObject* imported = key != nullptr ? PyImport_Import(key) : nullptr;
        const int rc = imported != nullptr ? PyDict_SetItem(globals, key, imported) : -1;
        Py_XDECREF(imported);
        Py_XDECREF(key);
        if (rc < 0) {
            return -1;
        }
    }
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");
    if (module_name == nullptr) {
        PyErr_SetString(PyExc_SystemError, "module has no __name__");
        return -1;
    }
    PyObject* cls = build_driver_class(module_name, globals);
    const int rc = cls != nullptr ? PyDict_SetItemString(globals, "KX5180", cls) : -1;
    Py_XDECREF(cls);
    if (rc < 0) {
        return -1;
    }
    PyObject* main_name = PyDict_GetItemString(globals, "__name__");
    if (main_name != nullptr && PyUnicode_Check(main_name) &&
        PyUnicode_CompareWithASCIIString(main_name, "__main__") == 0) {
        return run_demo(globals) ? 0 : -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "kx5180", docs::kModule, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kx::module

PyMODINIT_FUNC PyInit_kx5180() {
    return PyModuleDef_Init(&kx::module::definition);
}
