// Command frames as every command and readout builds them (through the
// object, so that subclasses and tests can substitute the checksum and
// exchange steps), and reply frames as they read them.
#pragma once

#include "../protocol/frame.hpp"
#include "context.hpp"

namespace kx::device {

// A new list copied from the class template, with the stored address in
// byte 1 and the named command-word constant in byte 2.
py::list new_command(py::handle self, py::handle word_attr);

// __cal_crc on the frame, then __write_and_read; returns the reply or None.
py::object send(py::handle self, const py::list& command);

// The command frame as the bytes that go on the wire; a value that is not
// a byte is refused before anything is written.
py::bytes wire_bytes(py::handle cmd);

// The 26 byte values of a reply frame.
protocol::Frame reply_values(py::handle reply);

// `prefix` followed by the reply's byte values written as a list of ints.
py::str reply_line(const char* prefix, py::handle reply);

}  // namespace kx::device
