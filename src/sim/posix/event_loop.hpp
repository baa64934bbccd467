// The event loop: waits for bytes from the client, for the next thing due on
// the line, or for a stop request, whichever comes first.
#pragma once

#include <optional>

#include "sim/line.hpp"

namespace kx::sim::posix {

enum class Woken { Other, Readable, Failed, LifelineEnded };

// Waits until `fd` (if not -1) or the stop pipe is readable, until
// `deadline` (none: no time limit), or until `lifeline` (if not -1) reaches
// its end of file.
Woken wait_readable(int fd, const std::optional<double>& deadline, int lifeline = -1);

// Runs until SIGINT or SIGTERM, or until `lifeline` (if not -1) reaches its
// end of file; returns the exit status.
int run(Line& line, int master, int lifeline);

}  // namespace kx::sim::posix
