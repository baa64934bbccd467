// The identity and live-status readouts.
#include "../protocol/codec.hpp"
#include "command_frame.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

namespace {

py::str latin1(const std::uint8_t* bytes, std::size_t n) {
    auto s = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(n), nullptr));
    if (!s) {
        throw py::error_already_set();
    }
    return s;
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
        case protocol::Regulation::Unknown:
            break;
    }
    return name<"XX">();
}

// The ten status keys in their order, each with a placeholder. A copy of it
// is a dictionary of the final size with the keys in place, so filling it
// in never resizes it.
py::dict new_status() {
    static PyObject* const keys = [] {
        py::dict d;
        for (py::handle key : {name<"current_real">(), name<"voltage_real">(), name<"current_set">(),
                               name<"voltage_max_set">(), name<"voltage_set">(), name<"out_status">(),
                               name<"beyond_temp">(), name<"out_mode">(), name<"fan_speed">(), name<"work_mode">()}) {
            d[key] = py::none();
        }
        return d.release().ptr();
    }();
    auto status = py::reinterpret_steal<py::dict>(PyDict_Copy(keys));
    if (!status) {
        throw py::error_already_set();
    }
    return status;
}

}  // namespace

py::object read_device_version(const Call& call) {
    py::handle self = call.self();
    py::object reply = send(self, new_command(self, name<"_KX5180__CMD_WORD_READ_DEV_VERSION">()));
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Frame b = reply_values(reply);
    using namespace protocol;
    py::setattr(self, name<"_KX5180__addr">(), py::int_(b[kIndexAddress]));
    py::setattr(self, name<"_KX5180__product_model">(), latin1(&b[kIdentityModel], kIdentityModelLength));
    py::setattr(self, name<"_KX5180__product_number">(), latin1(&b[kIdentityNumber], kIdentityNumberLength));
    py::setattr(self, name<"_KX5180__soft_version">(), py::int_(get_u16le(b, kIdentityVersion)));
    return py::none();
}

py::object read_dev_status(const Call& call) {
    py::handle self = call.self();
    py::object reply = send(self, new_command(self, name<"_KX5180__CMD_WORD_READ_DEV_REAL_STATUS">()));
    if (!py::bool_(reply)) {
        return py::none();
    }
    const protocol::Status s = protocol::decode_status(reply_values(reply));
    py::dict status = new_status();
    status[name<"current_real">()] = units(s.current_real_ma);
    status[name<"voltage_real">()] = units(s.voltage_real_mv);
    status[name<"current_set">()] = units(s.current_set_ma);
    status[name<"voltage_max_set">()] = units(s.voltage_max_mv);
    status[name<"voltage_set">()] = units(s.voltage_set_mv);
    status[name<"out_status">()] = s.output_on ? name<"on">() : name<"off">();
    status[name<"beyond_temp">()] = py::bool_(s.over_temperature);
    status[name<"out_mode">()] = regulation_name(s.regulation);
    status[name<"fan_speed">()] = py::int_(s.fan_speed);
    status[name<"work_mode">()] = s.remote ? name<"remote">() : name<"local">();
    return status;
}

}  // namespace kx::device
