// A class attribute that many threads may read while one assigns it: each read returns a whole value,
// and the first read computes the initial value (for instance from the environment).
#pragma once

#include <mutex>
#include <optional>
#include <utility>

namespace zorv_git_gitlab {

template <typename T>
class Attribute {
public:
    using Init = T (*)();
    constexpr explicit Attribute(Init init) noexcept : init_(init) {}
    Attribute(const Attribute&) = delete;
    Attribute& operator=(const Attribute&) = delete;

    [[nodiscard]] T get() const {
        std::lock_guard lock(mutex_);
        materialize();
        return value_;
    }
    operator T() const { return get(); }  // NOLINT(google-explicit-constructor)
    // The value when one was assigned (or changed with update), not merely computed on first use.
    [[nodiscard]] std::optional<T> assigned() const {
        std::lock_guard lock(mutex_);
        if (!assigned_) return std::nullopt;
        return value_;
    }

    Attribute& operator=(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
        ready_ = true;
        assigned_ = true;
        return *this;
    }

    // Changes the value in place under the guard (for instance one field of a settings struct).
    template <typename F>
    void update(F&& change) {
        std::lock_guard lock(mutex_);
        materialize();
        std::forward<F>(change)(value_);
        assigned_ = true;
    }

private:
    void materialize() const {
        if (!ready_) {
            value_ = init_();
            ready_ = true;
        }
    }

    Init init_;
    mutable std::mutex mutex_;
    mutable T value_{};
    mutable bool ready_ = false;
    bool assigned_ = false;
};

}  // namespace zorv_git_gitlab
