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

py::handle regulation_name(protocol::Regulation r) {
    switch (r) {
        case protocol::Regulation::CV:
            return name<"CV">();
        case protocol::Regulation::CC:
            return name<"CC">();
        default:
            return name<"XX">();
    }
}

void put(const py::dict& d, py::handle key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

}  // namespace

py::object read_device_version(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, name<"_KX5180__CMD_WORD_READ_DEV_VERSION">());
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Frame b = reply_values(reply);
    using namespace protocol;
    set_attr(self, name<"_KX5180__addr">(), py::int_(b[kIndexAddress]));
    set_attr(self, name<"_KX5180__product_model">(), latin1(&b[kIdentityModel], kIdentityModelLength));
    set_attr(self, name<"_KX5180__product_number">(), latin1(&b[kIdentityNumber], kIdentityNumberLength));
    set_attr(self, name<"_KX5180__soft_version">(), py::int_(get_u16le(b, kIdentityVersion)));
    return py::none();
}

py::object read_dev_status(const Call& call) {
    py::handle self = call.self();
    py::list command = new_command(self, name<"_KX5180__CMD_WORD_READ_DEV_REAL_STATUS">());
    py::object reply = send(self, command);
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Status s = protocol::decode_status(reply_values(reply));
    py::dict status;
    put(status, name<"current_real">(), units(s.current_real_ma));
    put(status, name<"voltage_real">(), units(s.voltage_real_mv));
    put(status, name<"current_set">(), units(s.current_set_ma));
    put(status, name<"voltage_max_set">(), units(s.voltage_max_mv));
    put(status, name<"voltage_set">(), units(s.voltage_set_mv));
    put(status, name<"out_status">(), s.output_on ? name<"on">() : name<"off">());
    put(status, name<"beyond_temp">(), py::bool_(s.over_temperature));
    put(status, name<"out_mode">(), regulation_name(s.regulation));
    put(status, name<"fan_speed">(), py::int_(s.fan_speed));
    put(status, name<"work_mode">(), s.remote ? name<"remote">() : name<"local">());
    return status;
}

}  // namespace kx::device
