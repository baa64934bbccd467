// kx5180-sim: a simulated kx5100 series supply on a pseudo-terminal.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "event_loop.hpp"
#include "link.hpp"
#include "pty.hpp"
#include "replay_loop.hpp"
#include "signals.hpp"
#include "sim/clock.hpp"
#include "sim/line.hpp"
#include "sim/options.hpp"
#include "sim/replay.hpp"

int main(int argc, char** argv) {
    using namespace kx::sim;
    std::string error;
    bool help = false;
    const auto options = parse_options(argc, argv, error, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "kx5180-sim: %s\n", error.c_str());
        return 2;
    }
    if (options->version) {
        std::printf("kx5180-sim %s\n", kVersion);
        return 0;
    }
    std::optional<ReplayScript> script;
    if (!options->replay.empty()) {
        script = load_replay(options->replay, error);
        if (!script) {
            std::fprintf(stderr, "kx5180-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (!posix::install_stop_handlers()) {
        return 1;
    }
    std::string slave;
    const int master = posix::open_master(slave);
    if (master < 0) {
        return 1;
    }
    if (!options->link.empty() && !posix::make_link(options->link, slave)) {
        return 1;
    }
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    const double start = monotonic_s();
    const int lifeline = options->watch_stdin ? STDIN_FILENO : -1;
    int rc = 0;
    if (script) {
        const Log log(options->log, start);
        Replayer replayer(std::move(*script), options->replay_match_command, log);
        rc = posix::run_replay(replayer, master, lifeline);
    } else {
        Line line(*options, start);
        rc = posix::run(line, master, lifeline);
    }
    if (!options->link.empty()) {
        posix::remove_link(options->link, slave);
    }
    ::close(master);
    return rc;
}
