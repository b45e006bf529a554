#pragma once
// Errors are values: every fallible operation of the core returns a Result.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vellicor {

enum class ErrorCode {
    None = 0,
    BadInput,     // an argument the caller gave cannot be used
    BadAddress,   // an address that does not split into scheme, host, port and path
    Connect,      // refused, unreachable, name not resolved
    Timeout,      // connect or total time-out
    Transfer,     // reset, truncated body, protocol error
    TooLarge,     // a body over the configured cap
    Tls,          // certificate or handshake failure
    Io,           // files
    Parse,        // a page or file that lacks what the caller looks for
    Unavailable,  // a device or service that is not there
    Proxy,        // the proxy unreachable, refusing the credentials, or not reaching the mall
    LoggedOut,    // the portal says the session is not (or no longer) logged in
    Internal,
};

struct Error {
    ErrorCode code = ErrorCode::Internal;
    std::string message;
};

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
    Result(Error error) : state_(std::move(error)) {}  // NOLINT

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<T>(state_); }
    T& value() & { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    const T* operator->() const { return &std::get<T>(state_); }
    T* operator->() { return &std::get<T>(state_); }
    const T& operator*() const { return value(); }

    const Error& error() const { return std::get<Error>(state_); }

  private:
    std::variant<T, Error> state_;
};

struct Ok {};
using Status = Result<Ok>;

inline Error makeError(ErrorCode code, std::string message) {
    return Error{code, std::move(message)};
}

}  // namespace vellicor
