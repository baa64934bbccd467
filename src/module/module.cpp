// Entry point of the extension module kx5180. Multi-phase initialisation:
// the module object is created first and executed afterwards, so that a
// launcher can rename it "__main__" in between and have the demonstration
// run (see kx5180_lab/demo.py).
#include <pybind11/pybind11.h>

#include <array>

#include "demonstration.hpp"
#include "docstrings.hpp"
#include "driver_class.hpp"
#include "errors.hpp"

namespace kx::module {

namespace {

namespace py = pybind11;

constexpr std::array<const char*, 5> kImports{"platform", "serial", "time", "subprocess", "binascii"};

// The device code keeps its interned names for the life of the process, and
// pybind11's error handling takes the GIL through the main interpreter's
// thread state; in a sub-interpreter that would share objects across
// interpreters and can deadlock, so the module refuses to load there.
bool refuse_sub_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return false;
    }
    PyErr_SetString(PyExc_ImportError, "module kx5180 does not support loading in subinterpreters");
    return true;
}

int exec_module(PyObject* module) {
    if (refuse_sub_interpreter()) {
        return -1;
    }
    return catching(-1, [module] {
        const auto globals = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module));
        // A dunder, as the host's own are: the module's named globals stay
        // exactly the imports and the class.
        globals["__version__"] = KX5180_VERSION;
        for (const char* name : kImports) {
            globals[name] = py::module_::import(name);
        }
        const py::object module_name = globals["__name__"];
        globals["KX5180"] = driver_class(module_name, globals);
        if (py::isinstance<py::str>(module_name) && module_name.equal(py::str("__main__"))) {
            run_demonstration(globals);
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
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
