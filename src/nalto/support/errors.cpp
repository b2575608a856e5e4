#include "nalto/support/errors.hpp"

#include <cxxabi.h>

#include <asio/error.hpp>
#include <asio/multiple_exceptions.hpp>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace nalto {

HTTPStatusError::HTTPStatusError(int status, std::string message)
    : Error(std::move(message)), status_(status) {}

UnparsedJSONError::UnparsedJSONError(std::string message, std::string text)
    : JSONDecodeError(std::move(message)), text_(std::move(text)) {}

PublishReportError::PublishReportError(std::string message, std::exception_ptr cause)
    : Error(std::move(message)), cause_(std::move(cause)) {}

namespace {

// "a::b<c::d>::e<f>" -> "e": the last component at bracket depth zero, its template arguments dropped.
std::string bare_class_name(std::string_view name) {
  int depth = 0;
  std::size_t start = 0;
  std::size_t end = name.size();
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<') {
      if (depth == 0) end = i;
      ++depth;
    } else if (c == '>') {
      --depth;
    } else if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      start = i + 2;
      end = name.size();
      ++i;
    }
  }
  if (end < start) end = name.size();
  return std::string(name.substr(start, end - start));
}

}  // namespace

std::string type_name_of(const std::exception& e) {
  if (const auto* ours = dynamic_cast<const Error*>(&e)) return std::string(ours->type_name());
  const char* mangled = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return bare_class_name(status == 0 && demangled ? demangled.get() : mangled);
}

std::string message_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

bool is_cancellation(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& error) {
    return is_cancellation(error);
  } catch (...) {
    return false;
  }
}

bool is_cancellation(const std::exception& e) {
  if (const auto* many = dynamic_cast<const asio::multiple_exceptions*>(&e))
    return is_cancellation(many->first_exception());
  const auto* error = dynamic_cast<const std::system_error*>(&e);
  return error != nullptr && error->code() == asio::error::operation_aborted;
}

}  // namespace nalto
