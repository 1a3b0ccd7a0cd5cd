#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vela {

// The kind of a failure. Code decides by the kind, never by a message's words: the
// texts belong to the operator and may be reworded.
//   NotFound     what was asked for does not exist (a campaign ID, a tracker, a file).
//   Unavailable  a resource is out of reach for now (a database server away, a file
//                locked by another program); trying again later may succeed.
//   Refused      the request is understood but not allowed (permissions, a row fenced
//                off by another station, a name already in use).
//   Invalid      the input itself is wrong (a bad value, a damaged file, a setting
//                that cannot work); the same request will fail again.
//   Conflict     what is stored stands in the way (a target that is not empty, rows
//                changed by someone else since they were read); look, then decide.
//   Internal     anything else; the default of Fail.
enum class StatusCode { Ok, NotFound, Unavailable, Refused, Invalid, Conflict, Internal };

// The outcome of an operation that can fail: success, or a failure with the reason
// the operator will read and its kind. Errors are values in the core; nothing throws.
class [[nodiscard]] Status {
public:
    static Status Ok() { return Status(); }
    static Status Fail(std::string message, StatusCode code = StatusCode::Internal) {
        return Status(std::move(message), code == StatusCode::Ok ? StatusCode::Internal : code);
    }
    static Status NotFound(std::string message) {
        return Fail(std::move(message), StatusCode::NotFound);
    }
    static Status Unavailable(std::string message) {
        return Fail(std::move(message), StatusCode::Unavailable);
    }
    static Status Refused(std::string message) {
        return Fail(std::move(message), StatusCode::Refused);
    }
    static Status Invalid(std::string message) {
        return Fail(std::move(message), StatusCode::Invalid);
    }

    bool ok() const { return !message_.has_value(); }
    explicit operator bool() const { return ok(); }
    StatusCode code() const { return code_; }
    // The reason of a failure; empty for success.
    const std::string& message() const {
        static const std::string kEmpty;
        return message_ ? *message_ : kEmpty;
    }
    // The same failure, its text preceded by `context` ("cannot save: " + reason); the
    // kind is kept.
    Status withContext(const std::string& context) const {
        return ok() ? *this : Status(context + *message_, code_);
    }

private:
    Status() = default;
    Status(std::string message, StatusCode code) : message_(std::move(message)), code_(code) {}
    std::optional<std::string> message_;
    StatusCode code_ = StatusCode::Ok;
};

// A value or the reason why there is none.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}             // NOLINT: implicit by design
    Result(Status failure) : failure_(std::move(failure)) {}  // NOLINT: implicit by design
    static Result Fail(std::string message, StatusCode code = StatusCode::Internal) {
        return Result(Status::Fail(std::move(message), code));
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T& operator*() const& { return *value_; }
    const T* operator->() const { return &*value_; }
    const std::string& message() const { return failure_.message(); }
    StatusCode code() const { return ok() ? StatusCode::Ok : failure_.code(); }
    Status status() const { return ok() ? Status::Ok() : failure_; }

private:
    std::optional<T> value_;
    Status failure_ = Status::Ok();
};

}  // namespace vela
