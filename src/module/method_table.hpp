// The method table of the driver class: for each method, in definition
// order, its name, parameter, annotations, default, docstring, the check its
// argument gets on entry and the native body that does the work.
#pragma once

#include <array>
#include <cstddef>

#include "../device/methods.hpp"
#include "docstrings.hpp"

namespace kx::module {

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
    const char* name = nullptr;        // null: the method takes only self
    const char* annotation = nullptr;  // the annotation text, or none
    Check check = Check::None;
    const char* default_value = nullptr;  // a str default, or none
};

struct Method {
    const char* name;  // as written in the class body, e.g. "__check_crc"
    const char* doc;   // or null for no docstring
    Param param;
    const char* returns;  // return annotation text, or null
    device::Impl impl;

    [[nodiscard]] constexpr bool takes_param() const { return param.name != nullptr; }
};

// In definition order: the class dictionary receives them in this order.
inline constexpr std::array<Method, 18> kMethods{{
    {"__init__", docs::kInit, {"serial_port", "str", Check::ExactStr}, nullptr, device::init},
    {"__check_crc", docs::kCheckCrc, {"data", "list", Check::ListOrBytes}, "bool", device::check_crc},
    {"__cal_crc", docs::kCalCrc, {"data", "list", Check::ExactList}, "None", device::cal_crc},
    {"__read", docs::kRead, {}, nullptr, device::read},
    {"__write_and_read", docs::kWriteAndRead, {"cmd", "bytes", Check::ListOrBytes}, nullptr, device::write_and_read},
    {"show_device_version", docs::kShowDeviceVersion, {}, "dict", device::show_device_version},
    {"set_work_mode", docs::kSetWorkMode, {"mode", nullptr, Check::None, "remote"}, "bool", device::set_work_mode},
    {"set_ouput_mode", docs::kSetOuputMode, {"mode", nullptr, Check::None, "off"}, "bool", device::set_ouput_mode},
    {"set_voltage_max", docs::kSetVoltageMax, {"voltage", "float", Check::Double}, "bool", device::set_voltage_max},
    {"set_out_voltage", docs::kSetOutVoltage, {"voltage", "float", Check::Double}, "bool", device::set_out_voltage},
    {"set_out_current", docs::kSetOutCurrent, {"current", "float", Check::Double}, "bool", device::set_out_current},
    {"set_new_addr", docs::kSetNewAddr, {"address", "int", Check::ExactInt}, "bool", device::set_new_addr},
    {"restore_factory", docs::kRestoreFactory, {}, "bool", device::restore_factory},
    {"read_dev_status", docs::kReadDevStatus, {}, "dict", device::read_dev_status},
    {"__read_device_version", docs::kReadDeviceVersion, {}, nullptr, device::read_device_version},
    {"check_port_available", docs::kCheckPortAvailable, {}, "bool", device::check_port_available},
    {"open", docs::kOpen, {}, "bool", device::open},
    {"close", nullptr, {}, nullptr, device::close},
}};

}  // namespace kx::module
