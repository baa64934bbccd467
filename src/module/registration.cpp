#include "registration.hpp"

#include <array>
#include <string_view>

#include "../device/methods.hpp"
#include "../protocol/frame.hpp"
#include "docstrings.hpp"
#include "function.hpp"

namespace kx::module {

namespace {

using protocol::Command;

constexpr Param kSelf{"self"};

constexpr std::array kInitParams{kSelf, Param{"serial_port", "str", Check::ExactStr}};
constexpr std::array kCheckCrcParams{kSelf, Param{"data", "list", Check::ListOrBytes}};
constexpr std::array kCalCrcParams{kSelf, Param{"data", "list", Check::ExactList}};
constexpr std::array kWriteAndReadParams{kSelf, Param{"cmd", "bytes", Check::ListOrBytes}};
constexpr std::array kWorkModeParams{kSelf, Param{"mode", nullptr, Check::None, "remote"}};
constexpr std::array kOutModeParams{kSelf, Param{"mode", nullptr, Check::None, "off"}};
constexpr std::array kVoltageParams{kSelf, Param{"voltage", "float", Check::Double}};
constexpr std::array kCurrentParams{kSelf, Param{"current", "float", Check::Double}};
constexpr std::array kAddressParams{kSelf, Param{"address", "int", Check::ExactInt}};
constexpr std::array kSelfOnly{kSelf};

// In definition order: the class dictionary receives them in this order.
const std::array<MethodSpec, 18> kMethods{{
    {"__init__", docs::kInit, kInitParams, nullptr, device::init},
    {"__check_crc", docs::kCheckCrc, kCheckCrcParams, "bool", device::check_crc},
    {"__cal_crc", docs::kCalCrc, kCalCrcParams, "None", device::cal_crc},
    {"__read", docs::kRead, kSelfOnly, nullptr, device::read},
    {"__write_and_read", docs::kWriteAndRead, kWriteAndReadParams, nullptr, device::write_and_read},
    {"show_device_version", docs::kShowDeviceVersion, kSelfOnly, "dict", device::show_device_version},
    {"set_work_mode", docs::kSetWorkMode, kWorkModeParams, "bool", device::set_work_mode},
    {"set_ouput_mode", docs::kSetOuputMode, kOutModeParams, "bool", device::set_ouput_mode},
    {"set_voltage_max", docs::kSetVoltageMax, kVoltageParams, "bool", device::set_voltage_max},
    {"set_out_voltage", docs::kSetOutVoltage, kVoltageParams, "bool", device::set_out_voltage},
    {"set_out_current", docs::kSetOutCurrent, kCurrentParams, "bool", device::set_out_current},
    {"set_new_addr", docs::kSetNewAddr, kAddressParams, "bool", device::set_new_addr},
    {"restore_factory", docs::kRestoreFactory, kSelfOnly, "bool", device::restore_factory},
    {"read_dev_status", docs::kReadDevStatus, kSelfOnly, "dict", device::read_dev_status},
    {"__read_device_version", docs::kReadDeviceVersion, kSelfOnly, nullptr, device::read_device_version},
    {"check_port_available", docs::kCheckPortAvailable, kSelfOnly, "bool", device::check_port_available},
    {"open", docs::kOpen, kSelfOnly, "bool", device::open},
    {"close", nullptr, kSelfOnly, nullptr, device::close},
}};

struct Constant {
    const char* name;
    Command word;
};

// Command-word constants in definition order; the template comes first and
// the frame length last.
constexpr std::array<Constant, 10> kWords{{
    {"__CMD_WORD_SET_WORK_MODE", Command::SetWorkMode},
    {"__CMD_WORD_SET_OUT_MODE", Command::SetOutMode},
    {"__CMD_WORD_SET_MAX_OUT_VOLTAGE", Command::SetMaxOutVoltage},
    {"__CMD_WORD_SET_OUT_VOLTAGE", Command::SetOutVoltage},
    {"__CMD_WORD_SET_OUT_CURRENT", Command::SetOutCurrent},
    {"__CMD_WORD_SET_NEW_ADDR", Command::SetNewAddr},
    {"__CMD_WORD_READ_DEV_REAL_STATUS", Command::ReadDevRealStatus},
    {"__CMD_WORD_READ_DEV_VERSION", Command::ReadDevVersion},
    {"__CMD_WORD_RESTORE_FACTORY", Command::RestoreFactory},
    {"__CMD_WORD_DEV_RETURN", Command::DevReturn},
}};

// Names written with two leading underscores (and not ending in two) are
// stored with the class prefix, as the compiler mangles them.
PyObject* stored_name(const char* name) {
    const std::string_view n(name);
    const bool private_name = n.starts_with("__") && !n.ends_with("__");
    return private_name ? PyUnicode_FromFormat("_KX5180%s", name) : PyUnicode_FromString(name);
}

bool put(PyObject* ns, const char* name, PyObject* value) {
    PyObject* key = stored_name(name);
    const int rc = (key == nullptr || value == nullptr) ? -1 : PyDict_SetItem(ns, key, value);
    Py_XDECREF(key);
    Py_XDECREF(value);
    return rc == 0;
}

PyObject* template_tuple() {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(protocol::kFrameLength));
    if (t == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < protocol::kFrameLength; ++i) {
        PyObject* v = PyLong_FromLong(protocol::kTemplate[i]);
        if (v == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
    }
    return t;
}

bool fill_namespace(PyObject* ns, PyObject* module_name, PyObject* globals) {
    if (PyDict_SetItemString(ns, "__module__", module_name) < 0 ||
        !put(ns, "__qualname__", PyUnicode_FromString("KX5180")) || !put(ns, "__CMD_TEMPLATE", template_tuple())) {
        return false;
    }
    for (const Constant& c : kWords) {
        if (!put(ns, c.name, PyLong_FromLong(static_cast<long>(c.word)))) {
            return false;
        }
    }
    if (!put(ns, "__CMD_LENGTH", PyLong_FromSize_t(protocol::kFrameLength))) {
        return false;
    }
    for (const MethodSpec& m : kMethods) {
        if (!put(ns, m.name, new_function(m, module_name, globals))) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* build_driver_class(PyObject* module_name, PyObject* globals) {
    if (!ready_function_type()) {
        return nullptr;
    }
    PyObject* ns = PyDict_New();
    if (ns == nullptr) {
        return nullptr;
    }
    PyObject* cls = nullptr;
    if (fill_namespace(ns, module_name, globals)) {
        cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "KX5180", ns);
    }
    Py_DECREF(ns);
    return cls;
}

}  // namespace kx::module
