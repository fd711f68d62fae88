// SPDX-License-Identifier: Apache-2.0
#include "Runtime.hpp"

namespace orvex::python {

Runtime::Inflight::~Inflight() {
    if (count_.fetch_sub(1) == 1) {
        std::lock_guard lock(mutex_);
        idle_.notify_all();
    }
}

void Runtime::close(std::chrono::milliseconds limit) {
    closing_.store(true);
    py::gil_scoped_release release;
    std::unique_lock lock(mutex_);
    idle_.wait_for(lock, limit, [] { return count_.load() == 0; });
}

PyHandle::PyHandle(const PyHandle& other) {
    Runtime::withGil([&] { object_ = other.object_; });
}

PyHandle::~PyHandle() {
    if (!object_) return;
    const bool released = Runtime::withGil([&] { object_ = py::object(); });
    // The interpreter is going away: keep the reference rather than touch it.
    if (!released) object_.release();
}

}  // namespace orvex::python
