// The event loop of --replay: the same waits as the simulator's own, with
// the recording in place of the units.
#pragma once

#include "sim/replay.hpp"

namespace kx::sim::posix {

// Runs until SIGINT or SIGTERM, or until `lifeline` (if not -1) reaches its
// end of file; returns the exit status (non-zero when the session differed
// from the recording).
int run_replay(Replayer& replayer, int master, int lifeline);

}  // namespace kx::sim::posix
