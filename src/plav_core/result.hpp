// Errors are values until the Python boundary. PendingError holds no Python
// object, so it can be made with the GIL released; raise_error turns it into an
// exception when a Python-facing function returns.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace plav {

enum class ErrorKind : uint8_t {
    PassThrough, // CPython's error indicator already holds the exception to raise
    ValueError,
    TypeError,
    MemoryError,
    RuntimeError,
    InternalFailure, // the module's own BaseException subclass
};

struct PendingError {
    ErrorKind kind = ErrorKind::PassThrough;
    std::string message;

    static PendingError pass_through() { return {ErrorKind::PassThrough, {}}; }
    static PendingError value_error(std::string m) { return {ErrorKind::ValueError, std::move(m)}; }
    static PendingError type_error(std::string m) { return {ErrorKind::TypeError, std::move(m)}; }
    static PendingError memory_error(std::string m) {
        return {ErrorKind::MemoryError, std::move(m)};
    }
    // MemoryError without a message: raised without allocating.
    static PendingError out_of_memory() noexcept { return {ErrorKind::MemoryError, {}}; }
    static PendingError runtime_error(std::string m) {
        return {ErrorKind::RuntimeError, std::move(m)};
    }
    static PendingError internal(std::string m) {
        return {ErrorKind::InternalFailure, std::move(m)};
    }
};

// An error in the text read: message (already filled in) and byte position.
// `note_position`: the raised text ends with the approximate position; errors
// whose messages never carried one (numbers) are raised with the bare message.
struct ParseError {
    std::string message;
    uint64_t position = 0;
    bool note_position = true;
};

using Error = std::variant<ParseError, PendingError>;

template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(ParseError e) : v_(Error(std::move(e))) {}
    Result(PendingError e) : v_(Error(std::move(e))) {}
    Result(Error e) : v_(std::move(e)) {}

    explicit operator bool() const noexcept { return v_.index() == 0; }
    T &value() & { return std::get<0>(v_); }
    T &&value() && { return std::get<0>(std::move(v_)); }
    Error &error() & { return std::get<1>(v_); }
    Error &&error() && { return std::get<1>(std::move(v_)); }

  private:
    std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok() {
    return Ok{};
}

} // namespace plav
