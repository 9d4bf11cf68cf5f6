// Status: the outcome of an operation that may fail, made without the interpreter.
//
// Engine and BSON code never touch Python: they return a Status whose code names the exception
// class the caller will see (tarnel.Error, TypeError, ...) and whose message is its text. The
// binding layer turns a Status into a Python exception at the method boundary (error/raise.h).
// An OK status carries no message and costs nothing to pass around.
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
    kOverflowError,
  };

  Status() = default;
  static Status ok_status() { return Status(); }
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

// An engine failure as tarnel.Error. `rc` is an LMDB return code or an errno value:
// errno values read "I/O error: {strerror} (os error {n})", LMDB's own codes keep
// mdb_strerror's text unchanged.
Status storage(int rc);

// A failure the system composed itself (undecodable stored data, BSON library refusals).
inline Status internal(std::string msg) { return Status::error(std::move(msg)); }

}  // namespace error
}  // namespace tarnel

#endif  // TARNEL_ERROR_STATUS_H_
