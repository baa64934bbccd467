#include "forwarders.hpp"

#include <string>

#include "method_table.hpp"
#include "native_bodies.hpp"

namespace kx::module {

namespace {

using namespace pybind11::literals;

// "self" or "self, voltage": the forwarder's parameters, and its call.
std::string parameters(const Method& m) {
    return m.takes_param() ? std::string("self, ") + m.param.name : std::string("self");
}

// The forwarders are nested in one outer function so that each closes over
// `body`; only their code objects are kept. A forwarder does nothing but
// the call, so the function costs one frame above its native body.
std::string forwarder_source() {
    std::string source = "def forwarders(body):\n";
    for (const Method& m : kMethods) {
        const std::string params = parameters(m);
        source += "    def " + std::string(m.name) + "(" + params + "):\n";
        source += "        return body(" + params + ")\n";
    }
    return source;
}

// The code objects of the forwarders, by name.
py::dict forwarder_code() {
    py::object compile = py::module_::import("builtins").attr("compile");
    py::object code_type = py::module_::import("types").attr("CodeType");
    py::object outer = compile(forwarder_source(), "<kx5180>", "exec");
    py::dict by_name;
    for (py::handle constant : outer.attr("co_consts")) {
        if (py::isinstance(constant, code_type)) {
            for (py::handle inner : constant.attr("co_consts")) {
                if (py::isinstance(inner, code_type)) {
                    by_name[inner.attr("co_name")] = inner;
                }
            }
        }
    }
    return by_name;
}

py::dict annotations(const Method& m) {
    py::dict d;
    if (m.takes_param() && m.param.annotation != nullptr) {
        d[m.param.name] = m.param.annotation;
    }
    if (m.returns != nullptr) {
        d["return"] = m.returns;
    }
    return d;
}

py::object defaults(const Method& m) {
    if (m.param.default_value == nullptr) {
        return py::none();
    }
    return py::make_tuple(m.param.default_value);
}

}  // namespace

py::list method_functions(const py::dict& globals) {
    py::module_ types = py::module_::import("types");
    py::object function_type = types.attr("FunctionType");
    py::object cell_type = types.attr("CellType");
    py::dict code = forwarder_code();
    py::list functions;
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        const Method& m = kMethods[i];
        py::str name(m.name);
        py::object own_code = code[name].attr("replace")("co_qualname"_a = "KX5180." + std::string(m.name));
        py::object function =
            function_type(own_code, globals, name, defaults(m), py::make_tuple(cell_type(native_body(i, globals))));
        function.attr("__doc__") = m.doc != nullptr ? py::object(py::str(m.doc)) : py::none();
        function.attr("__annotations__") = annotations(m);
        functions.append(function);
    }
    return functions;
}

}  // namespace kx::module
