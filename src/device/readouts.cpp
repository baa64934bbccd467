// The identity and live-status readouts.
#include <string>

#include "../protocol/codec.hpp"
#include "frames.hpp"
#include "methods.hpp"

namespace kx::device {

namespace {

py::str latin1(const std::uint8_t* bytes, std::size_t n) {
    PyObject* s = PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(n), nullptr);
    if (s == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(s);
}

py::float_ units(std::uint32_t milli) {
    return py::float_(static_cast<double>(milli) / 1000.0);
}

const char* regulation_name(protocol::Regulation r) {
    switch (r) {
        case protocol::Regulation::CV:
            return "CV";
        case protocol::Regulation::CC:
            return "CC";
        default:
            return "XX";
    }
}

}  // namespace

py::object read_device_version(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, "_KX5180__CMD_WORD_READ_DEV_VERSION");
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Frame b = reply_values(reply);
    using namespace protocol;
    self.attr("_KX5180__addr") = py::int_(b[kIndexAddress]);
    self.attr("_KX5180__product_model") = latin1(&b[kIdentityModel], kIdentityModelLength);
    self.attr("_KX5180__product_number") = latin1(&b[kIdentityNumber], kIdentityNumberLength);
    self.attr("_KX5180__soft_version") = py::int_(get_u16le(b, kIdentityVersion));
    return py::none();
}

py::object read_dev_status(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, "_KX5180__CMD_WORD_READ_DEV_REAL_STATUS");
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Status s = protocol::decode_status(reply_values(reply));
    py::dict status;
    status["current_real"] = units(s.current_real_ma);
    status["voltage_real"] = units(s.voltage_real_mv);
    status["current_set"] = units(s.current_set_ma);
    status["voltage_max_set"] = units(s.voltage_max_mv);
    status["voltage_set"] = units(s.voltage_set_mv);
    status["out_status"] = py::str(s.output_on ? "on" : "off");
    status["beyond_temp"] = py::bool_(s.over_temperature);
    status["out_mode"] = py::str(regulation_name(s.regulation));
    status["fan_speed"] = py::int_(s.fan_speed);
    status["work_mode"] = py::str(s.remote ? "remote" : "local");
    return status;
}

}  // namespace kx::device
