// Building command frames and reading replies the way every command and
// readout of the driver does: through the object, so that subclasses and
// tests can substitute the checksum and exchange steps.
#pragma once

#include "../protocol/frame.hpp"
#include "context.hpp"

namespace kx::device {

// A new list copied from the class template, with the stored address in
// byte 1 and the named command-word constant in byte 2.
py::list new_command(py::handle self, py::handle word_attr);

// __cal_crc on the frame, then __write_and_read; returns the reply or None.
py::object send(py::handle self, const py::list& command);

// The 26 byte values of a reply frame.
protocol::Frame reply_values(py::handle reply);

// "prefix" followed by the reply's byte values as a list's text.
py::str reply_line(const char* prefix, py::handle reply);

}  // namespace kx::device
