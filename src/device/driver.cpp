// The driver object: one supply on one serial port, and its stored identity.
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

py::object init(const Call& call) {
    py::handle self = call.self();
    py::setattr(self, name<"port">(), call.arg(1));
    py::setattr(self, name<"_KX5180__addr">(), py::int_(255));
    py::setattr(self, name<"_KX5180__product_model">(), py::str(""));
    py::setattr(self, name<"_KX5180__product_number">(), py::str(""));
    py::setattr(self, name<"_KX5180__soft_version">(), py::int_(0));
    return py::none();
}

py::object show_device_version(const Call& call) {
    py::handle self = call.self();
    py::dict version;
    version[name<"model">()] = py::getattr(self, name<"_KX5180__product_model">());
    version[name<"SN">()] = py::getattr(self, name<"_KX5180__product_number">());
    version[name<"soft_version">()] = py::getattr(self, name<"_KX5180__soft_version">());
    return version;
}

}  // namespace kx::device
