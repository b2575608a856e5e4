#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace nalto {

// Member order is part of the wire format.
using Json = nlohmann::ordered_json;

// A member that must be present: missing -> KeyError('key'), not an object -> TypeError.
const Json& subscript(const Json& j, std::string_view key);
Json& subscript(Json& j, std::string_view key);
// An element that must be present: out of range -> IndexError, not a list -> TypeError.
// A negative position counts from the end.
const Json& subscript(const Json& j, std::int64_t index);

// `j` itself when it is a list; else TypeError "expected <what> to be a list, got <kind>".
const Json& as_list(const Json& j, std::string_view what);

// A member that may be missing: missing or null -> nullptr; not an object -> TypeError.
const Json* lookup(const Json& j, std::string_view key);

// The member at this path of nested objects, or nullptr where a step is missing, null or no object:
// for reading what an outside answer may hold without failing on its shape.
const Json* member_at(const Json& j, std::initializer_list<std::string_view> path);

// How deep the values of outside text may nest. Observations, answers, bodies and state files nest a
// few levels (an object of sensors holding lists of vectors); far deeper text is hostile, and would
// make every copy and walk of the value recurse as deep.
constexpr std::size_t MAX_JSON_DEPTH = 128;

// Parses text as JSON; failure (also a NUL byte anywhere), a number out of a double's range or nesting
// deeper than MAX_JSON_DEPTH (NestedTooDeepError) -> JSONDecodeError (an UnparsedJSONError holding the
// text).
Json parse_json(std::string_view text);

// What the SAX builders of outside text share: the member types nlohmann's parser asks of a builder,
// and parse_json's refusals, which hold `text` (empty for text never whole in memory): a parse error
// -> UnparsedJSONError, nesting beyond MAX_JSON_DEPTH -> NestedTooDeepError, refused on the level's
// start, before it is built. A builder calls enter() and leave() as each container starts and ends.
class JsonSaxLimits {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit JsonSaxLimits(std::string_view text = {}) : text_(text) {}

  template <class Exception>
  [[noreturn]] bool parse_error(std::size_t, const std::string&, const Exception& error) {
    refuse(error);
  }

 protected:
  void enter();
  void leave() { --depth_; }

 private:
  [[noreturn]] void refuse(const std::exception& error) const;

  std::string_view text_;
  std::size_t depth_ = 0;
};

// Parses a sim's answer: JSON, with the tokens NaN, Infinity and -Infinity that common writers emit
// (Python's json.dumps) read as the non-finite numbers they stand for. Failure -> UnparsedJSONError.
Json parse_sim_json(std::string_view text);

// Serialises without ever throwing on invalid UTF-8 in texts (replaced by U+FFFD).
std::string dump_json(const Json& j);

// The plain text form of a value: a text unchanged, an integer in decimal, a floating-point number
// in its shortest form (87.5, 100.0, 1e+16), True/False, None; lists and objects as JSON.
std::string plain_text(const Json& j);

// The shortest text of a double that reads back to the same value: positional when
// 1e-4 <= |x| < 1e16 (with ".0" when integral), exponent form otherwise; inf, -inf, nan.
std::string plain_text(double x);

// A number as a user writes it: plain_text without the ".0" of an integral value ("2", "0.5").
std::string short_text(double x);

// A truth value: true, a non-zero number, a non-empty text, list or object.
bool truthy(const Json& j);

// An identifier handed through as text: a text as it is, an integer in decimal; else TypeError.
std::string id_text(const Json& j, std::string_view what);

// The name of a value's kind for error messages: "object", "list", "text", ...
std::string kind_name(const Json& j);

}  // namespace nalto
