// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace orvex::sim {

// A block for the run loop: a move-only callable kept in place when it is small, on the
// heap otherwise. The simulator's own blocks (a weak pointer or two and a few values) and
// a std::function all fit in place, so posting them allocates nothing: a run loop that
// carries a session's every notification and timer spends much of its time in the
// allocator otherwise.
class Task {
public:
    // Room for two weak pointers, a UUID and a byte vector.
    static constexpr std::size_t kInlineSize = 80;

    Task() = default;

    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
    Task(F&& f) {  // NOLINT(google-explicit-constructor): lambdas become tasks where posted
        construct(std::forward<F>(f));
    }

    // Makes `f` the task's callable in place (whatever it held before is released first).
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
    void emplace(F&& f) {
        reset();
        construct(std::forward<F>(f));
    }

    Task(Task&& other) noexcept { take(other); }
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    explicit operator bool() const { return ops_ != nullptr; }
    void operator()() { ops_->call(storage_); }

    // Destroys the callable (and what it holds); the task is empty afterwards.
    void reset() {
        if (ops_) {
            const Ops* ops = ops_;
            ops_ = nullptr;
            ops->destroy(storage_);
        }
    }

private:
    struct Ops {
        void (*call)(void* storage);
        // Moves the callable from `from` to the empty `to` and ends it in `from`.
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <class Fn>
    static constexpr bool fitsInline() {
        return sizeof(Fn) <= kInlineSize && alignof(Fn) <= alignof(std::max_align_t) &&
               std::is_nothrow_move_constructible_v<Fn>;
    }

    template <class Fn>
    static constexpr Ops inlineOps{
        [](void* s) { (*std::launder(static_cast<Fn*>(s)))(); },
        [](void* from, void* to) noexcept {
            Fn* f = std::launder(static_cast<Fn*>(from));
            ::new (to) Fn(std::move(*f));
            f->~Fn();
        },
        [](void* s) noexcept { std::launder(static_cast<Fn*>(s))->~Fn(); },
    };

    template <class Fn>
    static constexpr Ops heapOps{
        [](void* s) { (**std::launder(static_cast<Fn**>(s)))(); },
        [](void* from, void* to) noexcept {
            ::new (to) Fn*(*std::launder(static_cast<Fn**>(from)));
        },
        [](void* s) noexcept { delete *std::launder(static_cast<Fn**>(s)); },
    };

    template <class F>
    void construct(F&& f) {
        using Fn = std::decay_t<F>;
        if constexpr (fitsInline<Fn>()) {
            ::new (static_cast<void*>(storage_)) Fn(std::forward<F>(f));
            ops_ = &inlineOps<Fn>;
        } else {
            ::new (static_cast<void*>(storage_)) Fn*(new Fn(std::forward<F>(f)));
            ops_ = &heapOps<Fn>;
        }
    }

    void take(Task& other) noexcept {
        if (other.ops_) {
            other.ops_->relocate(other.storage_, storage_);
            ops_ = other.ops_;
            other.ops_ = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char storage_[kInlineSize];
    const Ops* ops_ = nullptr;
};

}  // namespace orvex::sim
