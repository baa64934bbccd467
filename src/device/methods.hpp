// The bodies of the driver class's methods. Arguments arrive bound and
// checked against their annotations (see the module's method table).
#pragma once

#include "context.hpp"

namespace kx::device {

// driver.cpp
py::object init(const Call& call);
py::object show_device_version(const Call& call);

// checksum.cpp
py::object check_crc(const Call& call);
py::object cal_crc(const Call& call);

// exchange.cpp
py::object read(const Call& call);
py::object write_and_read(const Call& call);

// commands.cpp
py::object set_work_mode(const Call& call);
py::object set_ouput_mode(const Call& call);
py::object set_voltage_max(const Call& call);
py::object set_out_voltage(const Call& call);
py::object set_out_current(const Call& call);
py::object set_new_addr(const Call& call);
py::object restore_factory(const Call& call);

// readouts.cpp
py::object read_dev_status(const Call& call);
py::object read_device_version(const Call& call);

// connection.cpp
py::object check_port_available(const Call& call);
py::object open(const Call& call);
py::object close(const Call& call);

}  // namespace kx::device
