#include "conversation.hpp"

#include <chrono>
#include <unordered_map>

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

// Never destroyed: its Python references must not be released after the
// interpreter has gone.
std::unordered_map<PyObject*, Entry>& registry() {
    static auto* map = new std::unordered_map<PyObject*, Entry>();
    return *map;
}

}  // namespace

void ConversationLock::acquire() {
    const std::thread::id me = std::this_thread::get_id();
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (depth_ > 0 && owner_ == me) {
            ++depth_;
            return;
        }
        if (depth_ == 0) {
            owner_ = me;
            depth_ = 1;
            return;
        }
    }
    for (;;) {
        bool taken = false;
        {
            const py::gil_scoped_release released;
            std::unique_lock<std::mutex> lock(mutex_);
            taken = free_.wait_for(lock, kSignalCheckInterval, [this] { return depth_ == 0; });
            if (taken) {
                owner_ = me;
                depth_ = 1;
            }
        }
        if (taken) {
            return;
        }
        if (PyErr_CheckSignals() < 0) {
            throw py::error_already_set();
        }
    }
}

void ConversationLock::release() noexcept {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (--depth_ == 0) {
        owner_ = std::thread::id();
        free_.notify_one();
    }
}

std::shared_ptr<PortState> port_state(py::handle port) {
    auto& map = registry();
    PyObject* key = port.ptr();
    if (auto found = map.find(key); found != map.end()) {
        return found->second.state;
    }
    Entry entry{std::make_shared<PortState>(), py::object()};
    if (PyType_SUPPORTS_WEAKREFS(Py_TYPE(key))) {
        py::cpp_function forget([key](const py::handle&) { registry().erase(key); });
        entry.anchor = py::weakref(port, forget);
    } else {
        entry.anchor = py::reinterpret_borrow<py::object>(port);
    }
    auto state = entry.state;
    map.emplace(key, std::move(entry));
    return state;
}

}  // namespace kx::device
