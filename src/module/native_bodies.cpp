#include "native_bodies.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "../device/methods.hpp"
#include "errors.hpp"

namespace kx::module {

namespace {

// How the argument after self is checked, and possibly converted, on entry.
enum class Check {
    None,         // taken as given
    ExactStr,     // exactly str
    ExactList,    // exactly list
    ExactInt,     // exactly int (bool and other subclasses refused)
    ListOrBytes,  // a list or a bytes object, subclasses too
    Double,       // converted as PyFloat_AsDouble does
};

// The one parameter after self; every method has at most one.
struct Param {
    const char* name = nullptr;  // null: the method takes only self
    Check check = Check::None;
};

struct Method {
    const char* name;  // as written in the class body, e.g. "__check_crc"
    Param param;
    device::Impl impl;

    [[nodiscard]] constexpr bool takes_param() const { return param.name != nullptr; }
};

// In the order the class file defines the methods.
constexpr std::array<Method, 18> kMethods{{
    {"__init__", {"serial_port", Check::ExactStr}, device::init},
    {"__check_crc", {"data", Check::ListOrBytes}, device::check_crc},
    {"__cal_crc", {"data", Check::ExactList}, device::cal_crc},
    {"__read", {}, device::read},
    {"__write_and_read", {"cmd", Check::ListOrBytes}, device::write_and_read},
    {"show_device_version", {}, device::show_device_version},
    {"set_work_mode", {"mode", Check::None}, device::set_work_mode},
    {"set_ouput_mode", {"mode", Check::None}, device::set_ouput_mode},
    {"set_voltage_max", {"voltage", Check::Double}, device::set_voltage_max},
    {"set_out_voltage", {"voltage", Check::Double}, device::set_out_voltage},
    {"set_out_current", {"current", Check::Double}, device::set_out_current},
    {"set_new_addr", {"address", Check::ExactInt}, device::set_new_addr},
    {"restore_factory", {}, device::restore_factory},
    {"read_dev_status", {}, device::read_dev_status},
    {"__read_device_version", {}, device::read_device_version},
    {"check_port_available", {}, device::check_port_available},
    {"open", {}, device::open},
    {"close", {}, device::close},
}};

[[noreturn]] void wrong_type(const Param& p, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected, Py_TYPE(given)->tp_name);
    throw py::error_already_set();
}

// Only reachable by calling a builtin taken out of a method's closure: the
// method always passes self and its own arguments.
[[noreturn]] void wrong_count(const Method& m, Py_ssize_t given) {
    const Py_ssize_t expected = m.takes_param() ? 2 : 1;
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd argument%s (%zd given)", m.name, expected,
                 expected == 1 ? "" : "s", given);
    throw py::error_already_set();
}

template <Check C>
void check(const Param& p, PyObject* arg) {
    if constexpr (C == Check::ExactStr) {
        if (!PyUnicode_CheckExact(arg)) {
            wrong_type(p, "str", arg);
        }
    } else if constexpr (C == Check::ExactList) {
        if (!PyList_CheckExact(arg)) {
            wrong_type(p, "list", arg);
        }
    } else if constexpr (C == Check::ExactInt) {
        if (!PyLong_CheckExact(arg)) {
            wrong_type(p, "int", arg);
        }
    } else if constexpr (C == Check::ListOrBytes) {
        if (!PyList_Check(arg) && !PyBytes_Check(arg)) {
            wrong_type(p, "list or bytes", arg);
        }
    }
}

// The argument as an exact float, as the body expects it.
py::float_ to_double(PyObject* arg) {
    const double d = PyFloat_AsDouble(arg);
    if (d == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::float_(d);
}

template <std::size_t I>
PyObject* body(PyObject* globals, PyObject* const* args, Py_ssize_t nargs) {
    static constexpr const Method& m = kMethods[I];
    return catching<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != (m.takes_param() ? 2 : 1)) {
            wrong_count(m, nargs);
        }
        if constexpr (m.param.check == Check::Double) {
            if (!PyFloat_CheckExact(args[1])) {
                const py::float_ converted = to_double(args[1]);
                PyObject* const bound[] = {args[0], converted.ptr()};
                return m.impl(device::Call{bound, globals}).release().ptr();
            }
        } else if constexpr (m.param.check != Check::None) {
            check<m.param.check>(m.param, args[1]);
        }
        return m.impl(device::Call{args, globals}).release().ptr();
    });
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> definitions(std::index_sequence<I...> /*indices*/) {
    // A fast-call function travels in the PyCFunction slot; the detour through
    // void (*)() is the cast the interpreter's own headers make.
    return {{{kMethods[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&body<I>)), METH_FASTCALL,
              nullptr}...}};
}

// The interpreter keeps pointers to these for the life of each builtin.
std::array<PyMethodDef, kMethods.size()> method_definitions = definitions(std::make_index_sequence<kMethods.size()>());

// The keyword of each body: "native_" and the method's name without its
// underscores ("native_check_crc" for "__check_crc"), made at compile time.
struct Keyword {
    std::array<char, 48> text{};
};

constexpr Keyword keyword_of(std::string_view method) {
    const std::string_view prefix = "native_";
    const auto first = method.find_first_not_of('_');
    const auto core = method.substr(first, method.find_last_not_of('_') - first + 1);
    Keyword k;
    std::copy(prefix.begin(), prefix.end(), k.text.begin());
    std::copy(core.begin(), core.end(), k.text.begin() + static_cast<std::ptrdiff_t>(prefix.size()));
    return k;
}

constexpr auto kKeywords = [] {
    std::array<Keyword, kMethods.size()> out{};
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        out[i] = keyword_of(kMethods[i].name);
    }
    return out;
}();

// Keyword-only parameters, as many as there are bodies, no *args or
// **kwargs: then the call binds every body to its own parameter or fails.
bool takes_bodies_by_name(const py::object& code) {
    return code.attr("co_argcount").cast<Py_ssize_t>() == 0 &&
           code.attr("co_kwonlyargcount").cast<std::size_t>() == kMethods.size() &&
           (code.attr("co_flags").cast<long>() & (CO_VARARGS | CO_VARKEYWORDS)) == 0;
}

// What keeps the factory from taking exactly `bodies` by name; empty when
// nothing does. Only worked out when the call did not bind.
std::string mismatch_of(const py::object& code, const py::dict& bodies) {
    if (code.attr("co_argcount").cast<Py_ssize_t>() != 0 ||
        (code.attr("co_flags").cast<long>() & (CO_VARARGS | CO_VARKEYWORDS)) != 0) {
        return "_driver_class takes the bodies as keyword-only parameters and nothing else";
    }
    const auto names = py::reinterpret_borrow<py::tuple>(code.attr("co_varnames"));
    const auto count = code.attr("co_kwonlyargcount").cast<std::size_t>();
    std::set<std::string> parameters;
    std::string out;
    auto add = [&out](const std::string& text) { out += (out.empty() ? "" : "; ") + text; };
    for (std::size_t i = 0; i < count; ++i) {
        const auto name = names[i].cast<std::string>();
        if (!bodies.contains(name)) {
            add("no native body for the parameter " + name);
        }
        parameters.insert(name);
    }
    for (const auto& item : bodies) {
        const auto name = item.first.cast<std::string>();
        if (parameters.count(name) == 0) {
            add("no parameter of _driver_class for the native body " + name);
        }
    }
    return out;
}

}  // namespace

void bind_native_bodies(const py::object& factory, const py::dict& globals) {
    py::dict bodies;
    for (std::size_t i = 0; i < method_definitions.size(); ++i) {
        const auto builtin =
            py::reinterpret_steal<py::object>(PyCFunction_NewEx(&method_definitions[i], globals.ptr(), nullptr));
        if (!builtin || PyDict_SetItemString(bodies.ptr(), kKeywords[i].text.data(), builtin.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
    const py::object code = factory.attr("__code__");
    if (takes_bodies_by_name(code)) {
        try {
            const py::tuple no_args;
            if (py::reinterpret_steal<py::object>(PyObject_Call(factory.ptr(), no_args.ptr(), bodies.ptr()))) {
                return;
            }
            throw py::error_already_set();
        } catch (py::error_already_set& e) {
            // With the shape right, a TypeError can still be a name on one
            // side only, or else the class body's own.
            if (!e.matches(PyExc_TypeError) || mismatch_of(code, bodies).empty()) {
                throw;
            }
        }
    }
    PyErr_SetString(PyExc_ImportError,
                    ("kx5180.class.py and the module's native bodies differ: " + mismatch_of(code, bodies)).c_str());
    throw py::error_already_set();
}

}  // namespace kx::module
