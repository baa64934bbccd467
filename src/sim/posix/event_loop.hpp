// The event loop: waits for bytes from the client, for the next thing due on
// the line, or for a stop request, whichever comes first.
#pragma once

#include "sim/line.hpp"

namespace kx::sim::posix {

// Runs until SIGINT or SIGTERM, or until `lifeline` (if not -1) reaches its
// end of file; returns the exit status.
int run(Line& line, int master, int lifeline);

}  // namespace kx::sim::posix
