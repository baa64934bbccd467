#include "function.hpp"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <exception>

namespace kx::module {

namespace {

namespace py = pybind11;

constexpr std::size_t kMaxParams = 4;

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* globals;
};

PyObject* function_type = nullptr;

Function* as_function(PyObject* o) {
    return reinterpret_cast<Function*>(o);
}

// ---- argument binding, worded as the interpreter words it ----------------

void too_many_positional(const Function* f, Py_ssize_t given) {
    const auto argcount = static_cast<Py_ssize_t>(f->spec->params.size());
    const Py_ssize_t defcount =
        f->defaults != nullptr && PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    PyObject* sig = defcount != 0 ? PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount)
                                  : PyUnicode_FromFormat("%zd", argcount);
    if (sig == nullptr) {
        return;
    }
    const bool plural = defcount != 0 || argcount != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname, sig,
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
    Py_DECREF(sig);
}

void missing_arguments(const Function* f, PyObject* const* bound, Py_ssize_t required) {
    py::list names;
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            names.append(py::repr(py::str(f->spec->params[static_cast<std::size_t>(i)].name)));
        }
    }
    const auto n = static_cast<Py_ssize_t>(names.size());
    py::str text;
    if (n == 1) {
        text = names[0];
    } else if (n == 2) {
        text = py::str("{} and {}").format(names[0], names[1]);
    } else {
        py::list head(names[py::slice(0, n - 2, 1)]);
        text = py::str("{}, {}, and {}").format(py::str(", ").attr("join")(head), names[n - 2], names[n - 1]);
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n,
                 n == 1 ? "" : "s", text.ptr());
}

bool bind(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const auto& params = f->spec->params;
    const auto argcount = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = 0; i < nargs && i < argcount; ++i) {
        bound[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        for (; j < argcount; ++j) {
            if (PyUnicode_CompareWithASCIIString(key, params[static_cast<std::size_t>(j)].name) == 0) {
                break;
            }
        }
        if (j == argcount) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return false;
        }
        if (bound[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return false;
        }
        bound[j] = args[nargs + k];
    }
    if (nargs > argcount) {
        too_many_positional(f, nargs);
        return false;
    }
    const Py_ssize_t defcount =
        f->defaults != nullptr && PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t required = argcount - defcount;
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            missing_arguments(f, bound, required);
            return false;
        }
    }
    for (Py_ssize_t i = required; i < argcount; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - required);
        }
    }
    return true;
}

bool wrong_type(const Param& p, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected, Py_TYPE(given)->tp_name);
    return false;
}

// Checks the bound arguments; a converted argument is kept alive in `owned`.
bool check(const Function* f, PyObject** bound, std::array<py::object, kMaxParams>& owned) {
    const auto& params = f->spec->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        PyObject* a = bound[i];
        const Param& p = params[i];
        switch (p.check) {
            case Check::None:
                break;
            case Check::ExactStr:
                if (!PyUnicode_CheckExact(a)) {
                    return wrong_type(p, "str", a);
                }
                break;
            case Check::ExactList:
                if (!PyList_CheckExact(a)) {
                    return wrong_type(p, "list", a);
                }
                break;
            case Check::ExactInt:
                if (!PyLong_CheckExact(a)) {
                    return wrong_type(p, "int", a);
                }
                break;
            case Check::ListOrBytes:
                if (!PyList_Check(a) && !PyBytes_Check(a)) {
                    return wrong_type(p, "list or bytes", a);
                }
                break;
            case Check::Double:
                if (!PyFloat_CheckExact(a)) {
                    const double d = PyFloat_AsDouble(a);
                    if (d == -1.0 && PyErr_Occurred()) {
                        return false;
                    }
                    owned[i] = py::float_(d);
                    bound[i] = owned[i].ptr();
                }
                break;
        }
    }
    return true;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Function* f = as_function(callable);
    std::array<PyObject*, kMaxParams> bound{};
    std::array<py::object, kMaxParams> owned;
    try {
        if (!bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound.data()) || !check(f, bound.data(), owned)) {
            return nullptr;
        }
        const device::Call call{bound.data(), f->globals};
        return f->spec->impl(call).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// ---- what the interpreter and inspect see ---------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_signature(PyObject* self, void* /*closure*/) {
    const Function* f = as_function(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object empty = parameter.attr("empty");
        py::list params;
        for (const Param& p : f->spec->params) {
            params.append(parameter(p.name, parameter.attr("POSITIONAL_OR_KEYWORD"),
                                    py::arg("default") = p.default_value ? py::object(py::str(p.default_value)) : empty,
                                    py::arg("annotation") = p.annotation ? py::object(py::str(p.annotation)) : empty));
        }
        py::object returns = f->spec->returns ? py::object(py::str(f->spec->returns)) : empty;
        return inspect.attr("Signature")(params, py::arg("return_annotation") = returns).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->globals);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->globals);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(Function, kwdefaults), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kx5180.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyObject* build_annotations(const MethodSpec& spec) {
    PyObject* d = PyDict_New();
    if (d == nullptr) {
        return nullptr;
    }
    auto put = [d](const char* key, const char* value) {
        PyObject* v = PyUnicode_FromString(value);
        const int rc = v == nullptr ? -1 : PyDict_SetItemString(d, key, v);
        Py_XDECREF(v);
        return rc == 0;
    };
    for (const Param& p : spec.params) {
        if (p.annotation != nullptr && !put(p.name, p.annotation)) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    if (spec.returns != nullptr && !put("return", spec.returns)) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

PyObject* build_defaults(const MethodSpec& spec) {
    PyObject* defaults = PyList_New(0);
    if (defaults == nullptr) {
        return nullptr;
    }
    for (const Param& p : spec.params) {
        if (p.default_value == nullptr) {
            continue;
        }
        PyObject* v = PyUnicode_FromString(p.default_value);
        if (v == nullptr || PyList_Append(defaults, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(defaults);
            return nullptr;
        }
        Py_DECREF(v);
    }
    if (PyList_GET_SIZE(defaults) == 0) {
        Py_DECREF(defaults);
        Py_RETURN_NONE;
    }
    PyObject* tuple = PyList_AsTuple(defaults);
    Py_DECREF(defaults);
    return tuple;
}

}  // namespace

bool ready_function_type() {
    if (function_type == nullptr) {
        function_type = PyType_FromSpec(&function_spec);
    }
    return function_type != nullptr;
}

PyObject* new_function(const MethodSpec& spec, PyObject* module_name, PyObject* globals) {
    if (spec.params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters in a method table entry");
        return nullptr;
    }
    Function* f = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(function_type));
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = PyUnicode_FromString(spec.name);
    f->qualname = PyUnicode_FromFormat("KX5180.%s", spec.name);
    f->doc = spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    f->module = Py_NewRef(module_name);
    f->annotations = build_annotations(spec);
    f->defaults = build_defaults(spec);
    f->kwdefaults = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    PyObject* self = reinterpret_cast<PyObject*>(f);
    PyObject_GC_Track(self);
    if (f->name == nullptr || f->qualname == nullptr || f->doc == nullptr || f->annotations == nullptr ||
        f->defaults == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

}  // namespace kx::module
