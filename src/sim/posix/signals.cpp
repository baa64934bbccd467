#include "signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kx::sim::posix {

namespace {

volatile sig_atomic_t stop = 0;
int pipe_fds[2] = {-1, -1};

extern "C" void on_stop_signal(int /*sig*/) {
    const int saved = errno;
    stop = 1;
    const char byte = 1;
    [[maybe_unused]] const auto n = write(pipe_fds[1], &byte, 1);
    errno = saved;
}

bool nonblocking_cloexec(int fd) {
    const int fl = fcntl(fd, F_GETFL);
    const int fd_fl = fcntl(fd, F_GETFD);
    return fl >= 0 && fd_fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

}  // namespace

bool install_stop_handlers() {
    if (pipe(pipe_fds) != 0 || !nonblocking_cloexec(pipe_fds[0]) || !nonblocking_cloexec(pipe_fds[1])) {
        std::perror("kx5180-sim: pipe");
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) {
        std::perror("kx5180-sim: sigaction");
        return false;
    }
    return true;
}

bool stop_requested() {
    return stop != 0;
}

int stop_fd() {
    return pipe_fds[0];
}

}  // namespace kx::sim::posix
