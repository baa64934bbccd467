#include "pty.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "protocol/line.hpp"

namespace kx::sim::posix {

// Only the master side stays open, so `lsof` on the terminal shows nothing
// until a client opens it. The slave is left raw, so that bytes such as 0x0D
// cross it unchanged even before a client configures it.
int open_master(std::string& slave_path) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("kx5180-sim: pseudo-terminal");
        if (master >= 0) {
            ::close(master);
        }
        return -1;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        std::perror("kx5180-sim: ptsname");
        ::close(master);
        return -1;
    }
    slave_path = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            static_assert(protocol::kBaudRate == 4800, "the terminal's speed below is the line's");
            cfsetispeed(&t, B4800);
            cfsetospeed(&t, B4800);
            tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    }
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    return master;
}

}  // namespace kx::sim::posix
