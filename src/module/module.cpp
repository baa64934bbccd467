// Entry point of the extension module kx5180. Multi-phase initialisation:
// the module object is created first and executed afterwards, so that a
// launcher can rename it "__main__" in between and have the demonstration
// run (see kx5180_lab/demo.py).
//
// The module's body is Python, kx5180.class.py, built into the module as
// bytes and installed beside it (kx5180/kx5180.class.py): executed in the
// module's namespace, it binds the imports and, called with the native
// bodies by name, the class.
#include <pybind11/pybind11.h>

#include "class_source.hpp"
#include "demonstration.hpp"
#include "errors.hpp"
#include "native_bodies.hpp"

namespace kx::module {

namespace {

namespace py = pybind11;

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

// The installed source's path, so that tracebacks name a file that holds
// the lines they point at.
py::object source_file_name(const py::dict& globals) {
    if (!globals.contains("__file__") || !py::isinstance<py::str>(globals["__file__"])) {
        return py::str(kClassSourceName);
    }
    const py::object path = py::module_::import("os").attr("path");
    return path.attr("join")(path.attr("dirname")(globals["__file__"]), "kx5180", kClassSourceName);
}

void run_class_source(const py::dict& globals) {
    // Optimisation level 0 whatever -O says: the module docstring is API.
    const auto code = py::reinterpret_steal<py::object>(Py_CompileStringObject(
        reinterpret_cast<const char*>(kClassSource), source_file_name(globals).ptr(), Py_file_input, nullptr, 0));
    if (!code) {
        throw py::error_already_set();
    }
    const auto done = py::reinterpret_steal<py::object>(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    if (!done) {
        throw py::error_already_set();
    }
    bind_native_bodies(globals.attr("pop")("_driver_class"), globals);
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
        run_class_source(globals);
        const py::object module_name = globals["__name__"];
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

// The docstring comes with the module's body.
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "kx5180", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kx::module

PyMODINIT_FUNC PyInit_kx5180() {
    return PyModuleDef_Init(&kx::module::definition);
}
