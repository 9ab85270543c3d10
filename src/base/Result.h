#pragma once

// The one way an operation of a lower layer tells its caller that it failed: a value that
// holds either the result or the error. The operation logs nothing and shows nothing; the caller
// decides whether the error becomes a log line, a message box or the next tick's work.

#include <QString>

#include <optional>
#include <utility>

namespace lw::base {

// Why an operation failed, in words fit for the activity log or a message box.
struct Error {
    enum class Kind {
        Failed, // the operation could not be done
        Busy,   // another process held what it needed; the same call may work later
    };
    QString text;
    Kind kind = Kind::Failed;
};

// Either a value or the Error that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Error error) : m_error(std::move(error)) {}

    bool Ok() const { return m_value.has_value(); }
    explicit operator bool() const { return Ok(); }

    // Only when Ok.
    const T& Value() const& { return *m_value; }
    T& Value() & { return *m_value; }
    T&& Value() && { return std::move(*m_value); }
    const T& operator*() const& { return *m_value; }
    const T* operator->() const { return &*m_value; }

    // Only when not Ok.
    const Error& Failure() const { return m_error; }
    const QString& ErrorText() const { return m_error.text; }
    bool Busy() const { return !Ok() && m_error.kind == Error::Kind::Busy; }

private:
    std::optional<T> m_value;
    Error m_error;
};

// Done, or the Error that kept it from being done.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_failed(true), m_error(std::move(error)) {}

    bool Ok() const { return !m_failed; }
    explicit operator bool() const { return Ok(); }

    // Only when not Ok.
    const Error& Failure() const { return m_error; }
    const QString& ErrorText() const { return m_error.text; }
    bool Busy() const { return m_failed && m_error.kind == Error::Kind::Busy; }

private:
    bool m_failed = false;
    Error m_error;
};

using Status = Result<void>;

// A failed Status or Result with a text; the kind is Failed.
inline Error Fail(QString text)
{
    return Error{std::move(text), Error::Kind::Failed};
}

// Done when done, else failed with the reason an inner step gave.
inline Status StatusOf(bool done, QString reason)
{
    if (done) return {};
    return Fail(std::move(reason));
}

} // namespace lw::base
