// The driver object: one supply on one serial port, and its stored identity.
#include "methods.hpp"

namespace kx::device {

py::object init(const Call& call) {
    py::handle self = call.self();
    self.attr("port") = call.arg(1);
    self.attr("_KX5180__addr") = py::int_(255);
    self.attr("_KX5180__product_model") = py::str("");
    self.attr("_KX5180__product_number") = py::str("");
    self.attr("_KX5180__soft_version") = py::int_(0);
    return py::none();
}

py::object show_device_version(const Call& call) {
    py::handle self = call.self();
    py::dict version;
    version["model"] = self.attr("_KX5180__product_model");
    version["SN"] = self.attr("_KX5180__product_number");
    version["soft_version"] = self.attr("_KX5180__soft_version");
    return version;
}

}  // namespace kx::device
