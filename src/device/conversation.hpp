// One conversation per port at a time, and whether a port's line is known
// to be quiet. Both belong to the port object, not to the driver object:
// several driver objects may share one port (units on one bus), and their
// exchanges must not interleave or take each other's replies.
#pragma once

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace kx::device {

namespace py = pybind11;

// A recursive lock whose waiters release the interpreter lock, so that the
// thread holding the port can sleep and poll while others wait; a port
// method that calls back into the driver on the same thread re-enters it.
// Waiters are served first come, first served: the holder hands the port
// to the longest waiter, so a thread polling in a loop cannot starve the
// others (a monitor beside a script, units of one bus on their threads).
class ConversationLock {
public:
    // Called with the interpreter lock held; raises KeyboardInterrupt (or
    // whatever a signal handler raises) while waiting.
    void acquire();
    void release() noexcept;

    // Gives the lock up, however often re-entered, or leaves the line of
    // waiters: for a thread that stops taking part (see abandon_thread).
    void withdraw(std::thread::id me) noexcept;

private:
    void hand_on() noexcept;  // with mutex_ held and depth_ back to 0

    std::mutex mutex_;
    std::condition_variable handed_;
    std::thread::id owner_;
    int depth_ = 0;
    std::deque<std::thread::id> waiting_;
};

struct PortState {
    ConversationLock lock;
    // False once an exchange ended without reading a reply: a reply may
    // still be on its way, and must not be taken for the next command's.
    bool settled = true;
};

// The state of a port object, made on first use and dropped when the port
// object dies. Kept outside every namespace, keyed by the object itself.
std::shared_ptr<PortState> port_state(py::handle port);

// Holds a port's conversation for one scope.
class Conversation {
public:
    explicit Conversation(py::handle port) : state_(port_state(port)) { state_->lock.acquire(); }
    ~Conversation() { state_->lock.release(); }
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    PortState& state() { return *state_; }

private:
    std::shared_ptr<PortState> state_;
};

}  // namespace kx::device
