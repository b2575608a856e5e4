#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nalto {

// Every failure of ours has a type name and a message; the type name is shown where the message is empty.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual std::string_view type_name() const noexcept = 0;  // the bare class name
};

#define NALTO_DECLARE_ERROR(Name)                                          \
  class Name : public Error {                                              \
   public:                                                                 \
    using Error::Error;                                                    \
    std::string_view type_name() const noexcept override { return #Name; } \
  }

NALTO_DECLARE_ERROR(TimeoutError);     // a time limit of the event loop passed; empty message
NALTO_DECLARE_ERROR(KeyError);         // a member read by subscript is missing; message: the quoted key
NALTO_DECLARE_ERROR(IndexError);       // a list position out of range
NALTO_DECLARE_ERROR(TypeError);        // a value of the wrong kind
NALTO_DECLARE_ERROR(ValueError);       // a value that cannot be converted
NALTO_DECLARE_ERROR(LiteralError);     // a slot key that is no literal constant
NALTO_DECLARE_ERROR(JSONDecodeError);  // text that is not JSON
NALTO_DECLARE_ERROR(ConnectError);     // the node cannot be reached
NALTO_DECLARE_ERROR(ReadTimeout);      // an HTTP request's time-out passed
NALTO_DECLARE_ERROR(SimCallError);     // a call into the sim failed

#undef NALTO_DECLARE_ERROR

// Text that is not JSON, kept whole so that a checker can quote it or read it by other rules.
class UnparsedJSONError : public JSONDecodeError {
 public:
  UnparsedJSONError(std::string message, std::string text);
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// JSON text nested deeper than the parser takes.
class NestedTooDeepError : public UnparsedJSONError {
 public:
  using UnparsedJSONError::UnparsedJSONError;
};

// A status >= 400 that is no refusal.
class HTTPStatusError : public Error {
 public:
  HTTPStatusError(int status, std::string message);
  int status() const noexcept { return status_; }
  std::string_view type_name() const noexcept override { return "HTTPStatusError"; }

 private:
  int status_;
};

// Why the report could not be made, as the user can act on it.
class PublishReportError : public Error {
 public:
  explicit PublishReportError(std::string message, std::exception_ptr cause = nullptr);
  const std::exception_ptr& cause() const noexcept { return cause_; }
  std::string_view type_name() const noexcept override { return "PublishReportError"; }

 private:
  std::exception_ptr cause_;
};

// Ours: type_name(); foreign: the demangled class name without namespaces or template arguments.
std::string type_name_of(const std::exception& e);

// The message of a failure (what()), or "unknown error" for one that is no std::exception.
std::string message_of(const std::exception_ptr& failure);

// True when `e` is the cancellation of an awaited operation (directly, or as the first of several).
bool is_cancellation(const std::exception_ptr& e);
bool is_cancellation(const std::exception& e);

// Whether `failure` holds an E (or a failure derived from it).
template <class E>
bool failure_is(const std::exception_ptr& failure) {
  if (!failure) return false;
  try {
    std::rethrow_exception(failure);
  } catch (const E&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace nalto
