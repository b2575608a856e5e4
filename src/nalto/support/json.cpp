#include "nalto/support/json.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "nalto/support/errors.hpp"
#include "nalto/support/strings.hpp"

namespace nalto {

std::string kind_name(const Json& j) {
  switch (j.type()) {
    case Json::value_t::object:
      return "object";
    case Json::value_t::array:
      return "list";
    case Json::value_t::string:
      return "text";
    case Json::value_t::boolean:
      return "boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "integer";
    case Json::value_t::number_float:
      return "floating-point number";
    case Json::value_t::null:
      return "null";
    default:
      return "value";
  }
}

bool truthy(const Json& j) {
  switch (j.type()) {
    case Json::value_t::boolean:
      return j.get<bool>();
    case Json::value_t::number_integer:
      return j.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return j.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return j.get<double>() != 0;
    case Json::value_t::string:
      return !j.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !j.empty();
    default:
      return false;
  }
}

std::string id_text(const Json& j, std::string_view what) {
  if (j.is_string()) return j.get<std::string>();
  if (j.is_number_integer()) return plain_text(j);
  throw TypeError("expected " + std::string(what) + " to be a text, got " + kind_name(j));
}

const Json& subscript(const Json& j, std::string_view key) {
  if (!j.is_object())
    throw TypeError("expected an object to read " + single_quoted(key) + " from, got " + kind_name(j));
  const auto it = j.find(key);
  if (it == j.end()) throw KeyError(single_quoted(key));
  return *it;
}

Json& subscript(Json& j, std::string_view key) {
  return const_cast<Json&>(subscript(static_cast<const Json&>(j), key));
}

const Json& subscript(const Json& j, std::int64_t index) {
  if (!j.is_array()) throw TypeError("expected a list to index, got " + kind_name(j));
  const auto size = static_cast<std::int64_t>(j.size());
  const std::int64_t at = index < 0 ? index + size : index;
  if (at < 0 || at >= size) throw IndexError("list index out of range");
  return j[static_cast<std::size_t>(at)];
}

const Json& as_list(const Json& j, std::string_view what) {
  if (!j.is_array()) throw TypeError("expected " + std::string(what) + " to be a list, got " + kind_name(j));
  return j;
}

const Json* lookup(const Json& j, std::string_view key) {
  if (!j.is_object())
    throw TypeError("expected an object to read " + single_quoted(key) + " from, got " + kind_name(j));
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return nullptr;
  return &*it;
}

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// JSON has no token for the non-finite numbers; while parsing, each stands in as a text no sim sends
// (it starts with a NUL character) and becomes its number afterwards.
struct NonFinite {
  std::string_view token;
  std::string_view stand_in;
  double value;
};
constexpr std::array<NonFinite, 3> NON_FINITE = {
    {{"-Infinity", "\\u0000nalto:-Infinity", -INF},
     {"Infinity", "\\u0000nalto:Infinity", INF},
     {"NaN", "\\u0000nalto:NaN", std::numeric_limits<double>::quiet_NaN()}}};

std::string stand_in_text(std::string_view stand_in) {
  return std::string(1, '\0') + std::string(stand_in.substr(std::string_view("\\u0000").size()));
}

// The text with each non-finite token outside a string replaced by its stand-in; false when none.
bool replace_non_finite(std::string_view text, std::string& out) {
  bool replaced = false;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    const NonFinite* found = nullptr;
    for (const NonFinite& candidate : NON_FINITE)
      if (text.substr(i).starts_with(candidate.token)) {
        found = &candidate;
        break;
      }
    if (found == nullptr) {
      out += c;
      continue;
    }
    out += '"';
    out += found->stand_in;
    out += '"';
    i += found->token.size() - 1;
    replaced = true;
  }
  return replaced;
}

void restore_non_finite(Json& value) {
  if (value.is_string()) {
    for (const NonFinite& candidate : NON_FINITE)
      if (value.get_ref<const std::string&>() == stand_in_text(candidate.stand_in)) {
        value = candidate.value;
        return;
      }
    return;
  }
  if (value.is_structured())
    for (Json& element : value) restore_non_finite(element);
}

}  // namespace

const Json* member_at(const Json& j, std::initializer_list<std::string_view> path) {
  const Json* at = &j;
  for (const std::string_view key : path) {
    if (!at->is_object()) return nullptr;
    at = lookup(*at, key);
    if (!at) return nullptr;
  }
  return at;
}

namespace {

// Builds the value as nlohmann's own parser does, refusing nesting beyond MAX_JSON_DEPTH before it
// is built: copies and walks of a value recurse once per level.
class DepthLimitedBuilder : public JsonSaxLimits {
 public:
  using Builder = nlohmann::detail::json_sax_dom_parser<Json>;

  DepthLimitedBuilder(Json& result, std::string_view text) : JsonSaxLimits(text), builder_(result) {}

  bool null() { return builder_.null(); }
  bool boolean(bool value) { return builder_.boolean(value); }
  bool number_integer(number_integer_t value) { return builder_.number_integer(value); }
  bool number_unsigned(number_unsigned_t value) { return builder_.number_unsigned(value); }
  bool number_float(number_float_t value, const string_t& text) { return builder_.number_float(value, text); }
  bool string(string_t& value) { return builder_.string(value); }
  bool binary(binary_t& value) { return builder_.binary(value); }
  bool key(string_t& value) { return builder_.key(value); }
  bool start_object(std::size_t size) {
    enter();
    return builder_.start_object(size);
  }
  bool end_object() {
    leave();
    return builder_.end_object();
  }
  bool start_array(std::size_t size) {
    enter();
    return builder_.start_array(size);
  }
  bool end_array() {
    leave();
    return builder_.end_array();
  }

 private:
  Builder builder_;
};

}  // namespace

void JsonSaxLimits::enter() {
  if (++depth_ > MAX_JSON_DEPTH)
    throw NestedTooDeepError("nested deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels",
                             std::string(text_));
}

void JsonSaxLimits::refuse(const std::exception& error) const {
  throw UnparsedJSONError(error.what(), std::string(text_));
}

Json parse_json(std::string_view text) {
  // nlohmann's reader takes a NUL byte for the end of the text: what follows one would go unread.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
    throw UnparsedJSONError("syntax error at byte " + std::to_string(nul + 1) + ": a NUL byte is no JSON",
                            std::string(text));
  Json result;
  DepthLimitedBuilder builder(result, text);
  Json::sax_parse(text, &builder);
  return result;
}

Json parse_sim_json(std::string_view text) {
  std::string rewritten;
  if (!replace_non_finite(text, rewritten)) return parse_json(text);
  Json value = parse_json(rewritten);
  restore_non_finite(value);
  return value;
}

std::string dump_json(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string short_text(double x) {
  std::string text = plain_text(x);
  if (text.size() > 2 && text.ends_with(".0")) text.resize(text.size() - 2);
  return text;
}

std::string plain_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: d[.ddd]e±XX.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string sign;
  if (sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits += c;
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int magnitude = std::abs(exponent);
    out += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) out += "0";
    return out + std::to_string(magnitude);
  }
  const int n = static_cast<int>(digits.size());
  std::string out;
  if (exponent < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else if (exponent + 1 >= n) {
    out = digits + std::string(static_cast<std::size_t>(exponent + 1 - n), '0') + ".0";
  } else {
    out = digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
          digits.substr(static_cast<std::size_t>(exponent + 1));
  }
  return sign + out;
}

std::string plain_text(const Json& j) {
  switch (j.type()) {
    case Json::value_t::string:
      return j.get_ref<const std::string&>();
    case Json::value_t::number_integer:
      return std::to_string(j.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return std::to_string(j.get<std::uint64_t>());
    case Json::value_t::number_float:
      return plain_text(j.get<double>());
    case Json::value_t::boolean:
      return j.get<bool>() ? "True" : "False";
    case Json::value_t::null:
      return "None";
    default:
      return dump_json(j);
  }
}

}  // namespace nalto
