// Status: the outcome of an operation that may fail, made without the interpreter.
//
// Engine and BSON code never touch Python: they return a Status whose code names the exception
// class the caller will see (tarnel.Error, TypeError, ...) and whose message is its text. The
// method that called them raises it (error::raise in error/error.h). An OK status carries no
// message and costs nothing to pass around. No Python here.
#ifndef TARNEL_ERROR_STATUS_H_
#define TARNEL_ERROR_STATUS_H_

#include <string>
#include <string_view>
#include <utility>

namespace tarnel {

class Status {
 public:
  enum class Code : unsigned char {
    kOk = 0,
    kError,          // tarnel.Error
    kTypeError,
    kValueError,
    kKeyError,
  };

  Status() = default;
  static Status error(std::string msg) { return Status(Code::kError, std::move(msg)); }
  static Status type_error(std::string msg) { return Status(Code::kTypeError, std::move(msg)); }
  static Status value_error(std::string msg) { return Status(Code::kValueError, std::move(msg)); }
  static Status key_error(std::string msg) { return Status(Code::kKeyError, std::move(msg)); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return msg_; }

 private:
  Status(Code code, std::string msg) : code_(code), msg_(std::move(msg)) {}
  Code code_ = Code::kOk;
  std::string msg_;
};

namespace error {

// The text of the closed-store error, shared by every operation that needs the engine.
inline constexpr std::string_view kClosed = "database is closed";

}  // namespace error
}  // namespace tarnel

#endif  // TARNEL_ERROR_STATUS_H_
