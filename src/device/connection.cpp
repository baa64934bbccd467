// Port availability, opening (with identification and acceptance of the
// unit) and closing.
#include "../protocol/line.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace kx::device {

namespace {

constexpr const char* kBusyLine = "serial port already opened!, Please close and try                       again!";
// "检查端口时出错: " as UTF-8 bytes, so that no compiler's idea of the source
// file's code page can change it.
constexpr const char* kCheckErrorPrefix =
    "\xe6\xa3\x80\xe6\x9f\xa5\xe7\xab\xaf\xe5\x8f\xa3\xe6\x97\xb6\xe5\x87\xba\xe9\x94\x99: ";
constexpr const char* kOpenErrorPrefix = "Cannot open serial port";

// Concatenated as Python text: port names and exception texts may hold
// characters (surrogate escapes of undecodable file names) that no C++
// string conversion survives.
py::str joined(const char* prefix, const py::handle& value) {
    return py::str(py::str(prefix) + py::str(value));
}

bool matches_serial_exception(const Call& call, const py::error_already_set& e) {
    return e.matches(py::getattr(call.global(name<"serial">()), name<"SerialException">()));
}

bool is_model(const py::object& model, const char* code) {
    return PyUnicode_Check(model.ptr()) && model.equal(py::str(code));
}

// Runs the identity read through the object and tells whether this very
// read stored an identity. The stored model code is blanked for the
// duration, so that a silent unit cannot pass on an earlier unit's code;
// when nothing was stored the earlier identity is put back untouched.
bool identify(py::handle self) {
    py::object previous = py::getattr(self, name<"_KX5180__product_model">());
    py::setattr(self, name<"_KX5180__product_model">(), py::str(""));
    auto restore_if_unread = [&] {
        py::object now = py::getattr(self, name<"_KX5180__product_model">());
        if (is_model(now, "")) {
            py::setattr(self, name<"_KX5180__product_model">(), previous);
            return false;
        }
        return true;
    };
    try {
        call_method(self, name<"_KX5180__read_device_version">());
    } catch (py::error_already_set&) {
        restore_if_unread();
        throw;
    }
    return restore_if_unread();
}

// After a failure a port that open created must not stay open behind the
// caller's back; an error while closing it would only hide the first one.
void close_quietly(const py::object& port) {
    if (!port) {
        return;
    }
    try {
        call_method(port, name<"close">());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
    }
}

}  // namespace

py::object check_port_available(const Call& call) {
    py::handle self = call.self();
    py::object system = call_method(call_method(call.global(name<"platform">()), name<"system">()), name<"lower">());
    if (system.equal(name<"windows">())) {
        try {
            py::object port =
                py::getattr(call.global(name<"serial">()), name<"Serial">())(py::getattr(self, name<"port">()));
            call_method(port, name<"close">());
            return py::bool_(true);
        } catch (py::error_already_set& e) {
            if (matches_serial_exception(call, e)) {
                return py::bool_(false);
            }
            throw;
        }
    }
    try {
        // subprocess.run(["lsof", self.port], stdout=subprocess.PIPE,
        // stderr=subprocess.PIPE): each use looks the global up anew.
        py::object run = py::getattr(call.global(name<"subprocess">()), name<"run">());
        py::list argv(2);
        argv[0] = name<"lsof">();
        argv[1] = py::getattr(self, name<"port">());
        py::object out = py::getattr(call.global(name<"subprocess">()), name<"PIPE">());
        py::object err = py::getattr(call.global(name<"subprocess">()), name<"PIPE">());
        py::object result = call_with_keywords(run, names_tuple<"stdout", "stderr">(), argv, out, err);
        return py::bool_(!py::bool_(py::getattr(result, name<"stdout">())));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        call.print(joined(kCheckErrorPrefix, e.value()));
        return py::bool_(false);
    }
}

py::object open(const Call& call) {
    py::handle self = call.self();
    py::object port;
    try {
        if (!py::bool_(call_method(self, name<"check_port_available">()))) {
            call.print(py::str(kBusyLine));
            return py::bool_(false);
        }
        port = call_with_keywords(py::getattr(call.global(name<"serial">()), name<"Serial">()),
                                  names_tuple<"timeout", "stopbits">(), py::getattr(self, name<"port">()),
                                  py::int_(protocol::kBaudRate), py::int_(protocol::kDataBits),
                                  name<protocol::kParity>(), py::int_(50), py::int_(protocol::kStopBits));
        py::setattr(self, name<"ser">(), port);
        const bool identified = identify(self);
        py::object model = py::getattr(self, name<"_KX5180__product_model">());
        if (identified && (is_model(model, "5180") || is_model(model, "5181"))) {
            return py::bool_(true);
        }
        call_method(self, name<"close">());
        return py::bool_(false);
    } catch (py::error_already_set& e) {
        // Whatever ended open, Ctrl-C included, the port it created is
        // closed before anything else can fail.
        close_quietly(port);
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        if (matches_serial_exception(call, e)) {
            call.print(joined(kOpenErrorPrefix, e.value()));
        }
        return py::bool_(false);
    }
}

py::object close(const Call& call) {
    call_method(py::getattr(call.self(), name<"ser">()), name<"close">());
    return py::none();
}

}  // namespace kx::device
