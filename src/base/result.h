#pragma once

#include <string>
#include <utility>
#include <variant>

namespace korvel {

// Why an operation failed, in the words an operator reads, and what kind of
// failure it was, so a caller (the web API, the command-line client) can
// answer with the matching status.
struct Failure {
    enum class Kind { Invalid, NotFound, Conflict, Failed, Unavailable };
    Kind kind = Kind::Failed;
    std::string reason;
};

inline Failure Fail(std::string reason, Failure::Kind kind = Failure::Kind::Failed)
{
    return Failure { kind, std::move(reason) };
}

// A value or the reason there is none: the one way failures come back.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value)
        : state_(std::move(value))
    {
    }
    Result(Failure failure)
        : state_(std::move(failure))
    {
    }

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const Failure& failure() const { return std::get<1>(state_); }
    const std::string& error() const { return failure().reason; }

private:
    std::variant<T, Failure> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure)
        : failure_(std::move(failure))
        , ok_(false)
    {
    }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Failure& failure() const { return failure_; }
    const std::string& error() const { return failure_.reason; }

private:
    Failure failure_;
    bool ok_ = true;
};

} // namespace korvel
