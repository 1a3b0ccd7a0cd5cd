#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vela {

// The outcome of an operation that can fail: success, or a failure with the reason
// the operator will read. Errors are values in the core; nothing throws.
class [[nodiscard]] Status {
public:
    static Status Ok() { return Status(); }
    static Status Fail(std::string message) { return Status(std::move(message)); }

    bool ok() const { return !message_.has_value(); }
    explicit operator bool() const { return ok(); }
    // The reason of a failure; empty for success.
    const std::string& message() const {
        static const std::string kEmpty;
        return message_ ? *message_ : kEmpty;
    }

private:
    Status() = default;
    explicit Status(std::string message) : message_(std::move(message)) {}
    std::optional<std::string> message_;
};

// A value or the reason why there is none.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    Result(Status failure) : failure_(std::move(failure)) {}  // NOLINT: implicit by design
    static Result Fail(std::string message) { return Result(Status::Fail(std::move(message))); }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T& operator*() const& { return *value_; }
    const T* operator->() const { return &*value_; }
    const std::string& message() const { return failure_.message(); }
    Status status() const { return ok() ? Status::Ok() : failure_; }

private:
    std::optional<T> value_;
    Status failure_ = Status::Ok();
};

}  // namespace vela
