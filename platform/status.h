#pragma once
// What a call that can fail gives back: success, or the reason it failed as
// one line of text (and the system's error number when a system call said
// no). The caller that decides what a failure means reports it, once; the
// function that failed writes nothing. See "Errors" in platform/README.md.
//
// Both types test true when they hold success (`if (!WriteAll(...))`), as
// std::optional does, and must not be dropped unread: a caller that means to
// go on whatever happened says so with a (void) cast.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;

  // A failure told by `reason`; `error` is the errno behind it, 0 for none.
  static Status Failure(std::string reason, int error = 0) {
    Status s;
    s.failed_ = true;
    s.reason_ = std::move(reason);
    s.error_ = error;
    return s;
  }
  // A failed system call: the system's words for `error` ("No such file or
  // directory"), after `context` and ": " when a context is given. errno is
  // left as it was, for callers that still print it.
  static Status FromErrno(int error, std::string_view context = {});

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  // "" on success.
  const std::string& reason() const { return reason_; }
  int error() const { return error_; }

 private:
  bool failed_ = false;
  std::string reason_;
  int error_ = 0;
};

// A value, or the Status of the failure that left none.
template <typename T>
class [[nodiscard]] Result {
 public:
  // Implicit both ways, so a function returns its value or a failure as it is.
  Result(T value) : value_(std::move(value)) {}
  Result(Status failure) : status_(std::move(failure)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  // Only when ok().
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const T& operator*() const { return *value_; }
  T value_or(T fallback) const { return value_ ? *value_ : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace platform
