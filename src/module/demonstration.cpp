#include "demonstration.hpp"

namespace kx::module {

namespace {

// The module's namespace as the statements of a script see it: every name
// is looked up when it is used, in the module's globals and then in the
// builtins, so that a program can substitute any of them.
class Script {
public:
    explicit Script(const py::dict& globals) : globals_(globals) {}

    py::object operator[](const char* name) const {
        if (globals_.contains(name)) {
            return globals_[name];
        }
        const auto builtins = py::reinterpret_borrow<py::dict>(PyEval_GetBuiltins());
        if (builtins.contains(name)) {
            return builtins[name];
        }
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }

    void bind(const char* name, const py::object& value) const { globals_[name] = value; }

    void print(const char* line) const { (*this)["print"](line); }

private:
    py::dict globals_;
};

}  // namespace

void run_demonstration(const py::dict& globals) {
    const Script s(globals);
    s.bind("opat_port", py::str("/dev/cu.usbserial-21320"));
    s.bind("kx5100", s["KX5180"](s["opat_port"]));
    if (!py::bool_(s["kx5100"].attr("open")())) {
        s["print"](py::str("open serial port:") + s["opat_port"] + py::str(" failed!"));
        return;
    }
    s.print("set work mode to remote controll");
    s["kx5100"].attr("set_work_mode")("remote");
    s["kx5100"].attr("set_new_addr")(6);
    s["kx5100"].attr("set_voltage_max")(2.0);
    s["kx5100"].attr("set_out_voltage")(1.222);
    s["kx5100"].attr("set_out_current")(0.888);
    s["kx5100"].attr("set_ouput_mode")("on");
    s["time"].attr("sleep")(3);
    s.print("------------ local -------------");
    s["kx5100"].attr("read_dev_status")();
    s["kx5100"].attr("set_work_mode")("local");
    s["kx5100"].attr("set_ouput_mode")("off");
    s["kx5100"].attr("restore_factory")();
    s["kx5100"].attr("close")();
    s.print("kx5100 series closed!");
}

}  // namespace kx::module
