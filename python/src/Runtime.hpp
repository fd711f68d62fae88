// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

// Python code called from the library's own threads (delegate calls, write completions)
// goes through here. Once the interpreter starts shutting down, such calls are skipped:
// taking the GIL on a thread Python no longer knows about would hang or crash the
// process, and the library may still call back while its statics are destroyed.

namespace orvex::python {

namespace py = pybind11;

class Runtime {
public:
    // Runs `fn` with the GIL held, unless the interpreter is closing. Returns whether it ran.
    template <class F>
    static bool withGil(F&& fn) {
        Inflight guard;
        if (closing_.load()) return false;
        py::gil_scoped_acquire gil;
        std::forward<F>(fn)();
        return true;
    }

    static bool closing() { return closing_.load(); }

    // Called once at interpreter exit, with the GIL held: no new calls start, and the calls
    // under way finish (bounded wait, with the GIL released so that they can).
    static void close(std::chrono::milliseconds limit);

private:
    struct Inflight {
        Inflight() { count_.fetch_add(1); }
        ~Inflight();
    };

    static inline std::atomic<bool> closing_{false};
    static inline std::atomic<int> count_{0};
    static inline std::mutex mutex_;
    static inline std::condition_variable idle_;
};

// A Python object held by library-owned C++ state (a delegate, a completion). It can be
// copied and dropped on any thread: the reference is given back with the GIL taken, or
// deliberately kept when the interpreter is closing.
class PyHandle {
public:
    PyHandle() = default;
    explicit PyHandle(py::object object) : object_(std::move(object)) {}
    PyHandle(const PyHandle& other);
    PyHandle& operator=(const PyHandle&) = delete;
    ~PyHandle();

    // Only with the GIL held.
    const py::object& get() const { return object_; }

private:
    py::object object_;
};

}  // namespace orvex::python
