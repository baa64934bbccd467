// The driver object: one supply on one serial port, and its stored identity.
#include "methods.hpp"

namespace kx::device {

py::object init(const Call& call) {
    py::handle self = call.self();
    set_attr(self, name<"port">(), call.arg(1));
    set_attr(self, name<"_KX5180__addr">(), py::int_(255));
    set_attr(self, name<"_KX5180__product_model">(), py::str(""));
    set_attr(self, name<"_KX5180__product_number">(), py::str(""));
    set_attr(self, name<"_KX5180__soft_version">(), py::int_(0));
    return py::none();
}

py::object show_device_version(const Call& call) {
    py::handle self = call.self();
    py::dict version;
    if (PyDict_SetItem(version.ptr(), name<"model">().ptr(), get_attr(self, name<"_KX5180__product_model">()).ptr()) <
        0) {
        throw py::error_already_set();
    }
    if (PyDict_SetItem(version.ptr(), name<"SN">().ptr(), get_attr(self, name<"_KX5180__product_number">()).ptr()) <
        0) {
        throw py::error_already_set();
    }
    if (PyDict_SetItem(version.ptr(), name<"soft_version">().ptr(),
                       get_attr(self, name<"_KX5180__soft_version">()).ptr()) < 0) {
        throw py::error_already_set();
    }
    return version;
}

}  // namespace kx::device
