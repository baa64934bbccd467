#include "driver_class.hpp"

#include <array>
#include <string>
#include <string_view>

#include "../protocol/frame.hpp"
#include "forwarders.hpp"
#include "method_table.hpp"

namespace kx::module {

namespace {

using protocol::Command;

struct Word {
    const char* name;
    Command word;
};

// Command-word constants in definition order; the template comes before
// them and the frame length after.
constexpr std::array<Word, 10> kWords{{
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
std::string stored_name(std::string_view name) {
    const bool private_name = name.starts_with("__") && !name.ends_with("__");
    return private_name ? "_KX5180" + std::string(name) : std::string(name);
}

py::tuple frame_template() {
    py::tuple t(protocol::kFrameLength);
    for (std::size_t i = 0; i < protocol::kFrameLength; ++i) {
        t[i] = py::int_(protocol::kTemplate[i]);
    }
    return t;
}

}  // namespace

py::object driver_class(const py::object& module_name, const py::dict& globals) {
    py::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "KX5180";
    ns[py::str(stored_name("__CMD_TEMPLATE"))] = frame_template();
    for (const Word& w : kWords) {
        ns[py::str(stored_name(w.name))] = py::int_(static_cast<int>(w.word));
    }
    ns[py::str(stored_name("__CMD_LENGTH"))] = py::int_(protocol::kFrameLength);
    const py::list methods = method_functions(globals);
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        ns[py::str(stored_name(kMethods[i].name))] = methods[i];
    }
    const auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type("KX5180", py::tuple(), ns);
}

}  // namespace kx::module
