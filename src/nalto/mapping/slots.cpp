#include "nalto/mapping/slots.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "nalto/mapping/path.hpp"
#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

std::string key_text(const Json& key) {
  return key.is_string() ? single_quoted(key.get_ref<const std::string&>()) : plain_text(key);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Digits with single underscores between them, as a number may be written; appends the digits.
bool scan_digits(std::string_view s, std::size_t& pos, std::string& out) {
  if (pos >= s.size() || !is_digit(s[pos])) return false;
  while (pos < s.size()) {
    if (is_digit(s[pos])) {
      out += s[pos++];
    } else if (s[pos] == '_' && pos + 1 < s.size() && is_digit(s[pos + 1])) {
      ++pos;
    } else {
      break;
    }
  }
  return true;
}

std::optional<double> parse_float(std::string_view text) {
  std::size_t pos = 0;
  std::string plain;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    if (text[pos] == '-') plain += '-';
    ++pos;
  }
  std::string word(text.substr(pos));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (word == "inf" || word == "infinity") return plain.empty() ? HUGE_VAL : -HUGE_VAL;
  if (word == "nan") return std::nan("");

  const bool whole = scan_digits(text, pos, plain);
  bool fraction = false;
  if (pos < text.size() && text[pos] == '.') {
    plain += text[pos++];
    fraction = scan_digits(text, pos, plain);
  }
  if (!whole && !fraction) return std::nullopt;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    plain += text[pos++];
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) plain += text[pos++];
    if (!scan_digits(text, pos, plain)) return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (end != plain.data() + plain.size()) return std::nullopt;
  // Out of range reads as Python does: overflow to infinity, underflow to zero.
  if (error == std::errc::result_out_of_range) {
    const bool negative = plain.front() == '-';
    const auto e = plain.find_first_of("eE");
    const bool huge = e != std::string::npos && plain[e + 1] != '-';
    return huge ? (negative ? -HUGE_VAL : HUGE_VAL) : (negative ? -0.0 : 0.0);
  }
  return value;
}

Json cast(const Json& old, const Json& new_value) {
  if (!old.is_number_integer()) return to_float(new_value);
  if (new_value.is_number_integer()) return new_value;
  if (new_value.is_boolean()) return Json(new_value.get<bool>() ? 1 : 0);
  if (!new_value.is_number_float())
    throw TypeError("cannot round a " + kind_name(new_value) + " to an integer slot");
  const double x = new_value.get<double>();
  if (std::isnan(x)) throw ValueError("cannot convert float NaN to integer");
  if (std::isinf(x)) throw ValueError("cannot convert float infinity to integer");
  const double rounded = std::nearbyint(x);
  if (rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0)
    return Json(static_cast<std::int64_t>(rounded));
  if (rounded >= 0 && rounded < 18446744073709551616.0) return Json(static_cast<std::uint64_t>(rounded));
  throw ValueError("the value " + plain_text(x) + " is too large for an integer slot");
}

}  // namespace

const Json& at_key(const Json& container, const Json& key) {
  if (container.is_object()) {
    const auto it = key.is_string() ? container.find(key.get_ref<const std::string&>()) : container.end();
    if (it == container.end()) throw KeyError(key_text(key));
    return *it;
  }
  if (container.is_array()) {
    if (!key.is_number_integer() && !key.is_boolean())
      throw TypeError("list indices must be integers, not " + kind_name(key));
    const auto size = static_cast<std::int64_t>(container.size());
    std::int64_t index = 0;
    if (key.is_boolean()) {
      index = key.get<bool>() ? 1 : 0;
    } else if (key.is_number_unsigned()) {
      index = key.get<std::uint64_t>() > static_cast<std::uint64_t>(size) ? size : key.get<std::int64_t>();
    } else {
      index = key.get<std::int64_t>();
    }
    if (index < 0) index += size;
    if (index < 0 || index >= size) throw IndexError("list index out of range");
    return container[static_cast<std::size_t>(index)];
  }
  throw TypeError("a " + kind_name(container) + " has no slot " + key_text(key));
}

Json& at_key(Json& container, const Json& key) {
  return const_cast<Json&>(at_key(static_cast<const Json&>(container), key));
}

double to_float(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      return value.get<double>();
    case Json::value_t::number_integer:
      return static_cast<double>(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return static_cast<double>(value.get<std::uint64_t>());
    case Json::value_t::boolean:
      return value.get<bool>() ? 1.0 : 0.0;
    case Json::value_t::string: {
      const std::string& text = value.get_ref<const std::string&>();
      if (const auto parsed = parse_float(utf8::trim(text))) return *parsed;
      throw ValueError("could not convert text to float: '" + text + "'");
    }
    default:
      throw TypeError("a " + kind_name(value) + " is not a number");
  }
}

std::optional<double> read_slot(const Json& obs, const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  outside::SimRuntime& runtime = outside::sim_runtime();
  try {
    const std::unique_ptr<outside::Sensor> sensor =
        runtime.make_sensor(*name, "lambda sensors: sensors" + *name);
    const Json sensed = sensor->sense(obs);
    const Json& reading = sensed.is_array() && sensed.size() == 1 ? sensed[0] : sensed;
    const double value = to_float(reading);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    return std::nullopt;
  }
}

Json set_slot(Json& value, const std::optional<std::string>& name, const Json& new_value) {
  if (!name) throw TypeError("the sim's action has no slot name");
  const SlotKeys shared = shared_path(*name);
  const std::vector<Json>& keys = *shared;
  if (keys.empty()) return cast(value, new_value);
  Json* container = &value;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) container = &at_key(*container, keys[i]);
  Json& slot = at_key(*container, keys.back());
  Json cast_value = cast(slot, new_value);
  slot = std::move(cast_value);
  return value;
}

}  // namespace nalto
