// SIGINT and SIGTERM ask the simulator to stop. The handler only records the
// request and writes a byte to a pipe that the event loop also waits on, so
// a request is never lost between a check and a wait, with no signal mask to juggle.
#pragma once

namespace kx::sim::posix {

// False when the pipe or the handlers could not be set up.
bool install_stop_handlers();

bool stop_requested();

// Readable once a stop has been requested.
int stop_fd();

}  // namespace kx::sim::posix
