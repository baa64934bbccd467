// The pseudo-terminal that stands in for the serial port.
#pragma once

#include <string>

namespace kx::sim::posix {

// Opens a pseudo-terminal pair and returns its master side, non-blocking,
// or -1 after printing why. `slave_path` receives the path a client opens.
int open_master(std::string& slave_path);

}  // namespace kx::sim::posix
