#include "conversation.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "thread_exit.hpp"

namespace kx::device {

namespace {

// How long a waiter sleeps between looks at pending signals, so that
// Ctrl-C still reaches a thread that waits for a busy port.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

struct Entry {
    std::shared_ptr<PortState> state;
    // A weak reference whose callback drops the entry, or, for a port
    // object that cannot be weakly referenced, the object itself (its state
    // then lives as long as the process).
    py::object anchor;
};

struct Registry {
    std::unordered_map<PyObject*, Entry> by_port;
    std::unordered_map<PyObject*, PyObject*> port_of_ref;  // weak reference -> port
};

// Never destroyed: its Python references must not be released after the
// interpreter has gone.
Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

// One callback for every port's weak reference, made once: a port object
// is often made for a single open, and a new callable for each would cost
// more than the exchange itself.
py::handle forget_port() {
    static PyObject* const callback =
        py::cpp_function([](const py::handle& ref) {
            auto& r = registry();
            if (auto found = r.port_of_ref.find(ref.ptr()); found != r.port_of_ref.end()) {
                PyObject* port = found->second;
                r.port_of_ref.erase(found);
                r.by_port.erase(port);
            }
        })
            .release()
            .ptr();
    return callback;
}

// What this thread holds, innermost last, and where it waits: what it gives
// up when it is abandoned.
thread_local std::vector<ConversationLock*> held;
thread_local ConversationLock* waiting_in = nullptr;

}  // namespace

void abandon_thread() noexcept {
    const std::thread::id me = std::this_thread::get_id();
    if (waiting_in != nullptr) {
        waiting_in->withdraw(me);
    }
    for (ConversationLock* lock : held) {
        lock->withdraw(me);
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

void ConversationLock::acquire() {
    const std::thread::id me = std::this_thread::get_id();
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (depth_ > 0 && owner_ == me) {
            ++depth_;
            held.push_back(this);
            return;
        }
        if (depth_ == 0 && waiting_.empty()) {
            owner_ = me;
            depth_ = 1;
            held.push_back(this);
            return;
        }
        waiting_.push_back(me);
    }
    // Whatever ends the wait other than the port, Ctrl-C for one, takes this
    // thread out of the line (passing the port on if it was handed over
    // meanwhile), or the port would wait for it for ever.
    struct Withdraw {
        ConversationLock& lock;
        std::thread::id me;
        bool waiting = true;
        Withdraw(ConversationLock& l, std::thread::id id) : lock(l), me(id) { waiting_in = &l; }
        Withdraw(const Withdraw&) = delete;
        Withdraw& operator=(const Withdraw&) = delete;
        ~Withdraw() {
            waiting_in = nullptr;
            if (waiting) {
                lock.withdraw(me);
            }
        }
    } withdraw{*this, me};
    for (;;) {
        bool mine = false;
        PyThreadState* const saved = PyEval_SaveThread();
        try {
            std::unique_lock<std::mutex> lock(mutex_);
            mine = handed_.wait_for(lock, kSignalCheckInterval, [&] { return depth_ > 0 && owner_ == me; });
        } catch (...) {
            PyEval_RestoreThread(saved);
            throw;
        }
        // Not from a destructor, as gil_scoped_release would: this is where
        // the interpreter ends a daemon thread at exit (see abandon_thread).
        exit_safe([saved]() -> PyObject* {
            PyEval_RestoreThread(saved);
            return nullptr;
        });
        if (mine) {
            withdraw.waiting = false;
            held.push_back(this);
            return;
        }
        if (PyErr_CheckSignals() < 0) {
            throw py::error_already_set();
        }
    }
}

void ConversationLock::release() noexcept {
    if (auto mine = std::find(held.rbegin(), held.rend(), this); mine != held.rend()) {
        held.erase(std::next(mine).base());
    }
    const std::lock_guard<std::mutex> guard(mutex_);
    if (--depth_ == 0) {
        hand_on();
    }
}

void ConversationLock::withdraw(std::thread::id me) noexcept {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (depth_ > 0 && owner_ == me) {
        depth_ = 0;
        hand_on();
    } else {
        std::erase(waiting_, me);
    }
}

void ConversationLock::hand_on() noexcept {
    if (waiting_.empty()) {
        owner_ = std::thread::id();
        return;
    }
    owner_ = waiting_.front();
    waiting_.pop_front();
    depth_ = 1;
    handed_.notify_all();
}

std::shared_ptr<PortState> port_state(py::handle port) {
    auto& r = registry();
    PyObject* key = port.ptr();
    if (auto found = r.by_port.find(key); found != r.by_port.end()) {
        return found->second.state;
    }
    Entry entry{std::make_shared<PortState>(), py::object()};
    if (PyType_SUPPORTS_WEAKREFS(Py_TYPE(key)) != 0) {
        entry.anchor = py::weakref(port, forget_port());
        r.port_of_ref.emplace(entry.anchor.ptr(), key);
    } else {
        entry.anchor = py::reinterpret_borrow<py::object>(port);
    }
    auto state = entry.state;
    r.by_port.emplace(key, std::move(entry));
    return state;
}

}  // namespace kx::device
