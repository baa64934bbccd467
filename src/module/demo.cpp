#include "demo.hpp"

#include <string>

#include "../device/context.hpp"
#include "../device/names.hpp"

namespace kx::module {

namespace py = pybind11;

namespace {

// Module-level code looks its names up in the module's namespace each time,
// as the statements of a script do.
void steps(const device::Call& g) {
    PyDict_SetItemString(g.globals, "opat_port", py::str("/dev/cu.usbserial-21320").ptr());
    py::object supply = g.global(device::name<"KX5180">())(g.global(device::name<"opat_port">()));
    PyDict_SetItemString(g.globals, "kx5100", supply.ptr());
    auto kx5100 = [&] { return g.global(device::name<"kx5100">()); };

    if (!py::bool_(kx5100().attr("open")())) {
        g.print(
            py::str("open serial port:" + std::string(py::str(g.global(device::name<"opat_port">()))) + " failed!"));
        return;
    }
    g.print(py::str("set work mode to remote controll"));
    kx5100().attr("set_work_mode")("remote");
    kx5100().attr("set_new_addr")(6);
    kx5100().attr("set_voltage_max")(2.0);
    kx5100().attr("set_out_voltage")(1.222);
    kx5100().attr("set_out_current")(0.888);
    kx5100().attr("set_ouput_mode")("on");
    g.global(device::name<"time">()).attr("sleep")(3);
    g.print(py::str("------------ local -------------"));
    kx5100().attr("read_dev_status")();
    kx5100().attr("set_work_mode")("local");
    kx5100().attr("set_ouput_mode")("off");
    kx5100().attr("restore_factory")();
    kx5100().attr("close")();
    g.print(py::str("kx5100 series closed!"));
}

}  // namespace

bool run_demo(PyObject* globals) {
    try {
        steps(device::Call{nullptr, globals});
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return false;
}

}  // namespace kx::module
