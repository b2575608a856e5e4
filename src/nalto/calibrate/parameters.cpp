#include "nalto/calibrate/parameters.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "nalto/support/errors.hpp"

namespace nalto::calibrate {

namespace {

std::optional<double> number_of(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  for (std::size_t from = 0;;) {
    const std::size_t to = text.find(separator, from);
    parts.emplace_back(text.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from));
    if (to == std::string_view::npos) return parts;
    from = to + 1;
  }
}

std::vector<std::string> pointer_path(std::string_view pointer) {
  std::vector<std::string> path = split(pointer.substr(1), '/');
  for (std::string& token : path) {
    std::string name;
    for (std::size_t i = 0; i < token.size(); ++i) {
      if (token[i] != '~') {
        name += token[i];
        continue;
      }
      const char next = i + 1 < token.size() ? token[i + 1] : '\0';
      if (next != '0' && next != '1')
        throw ValueError("'" + std::string(pointer) + "' is no JSON Pointer: '~' must be followed by 0 or 1");
      name += next == '0' ? '~' : '/';
      ++i;
    }
    token = std::move(name);
  }
  return path;
}

std::vector<std::string> dot_path(std::string_view name) {
  std::vector<std::string> path = split(name, '.');
  for (const std::string& step : path)
    if (step.empty())
      throw ValueError("'" + std::string(name) +
                       "' has an empty member name; a name that holds dots is written as a JSON Pointer, "
                       "e.g. '/parameters/spring.c'");
  return path;
}

// The value at `path` in `base`; nullptr where a member on the way is missing.
const Json* value_at(const Json& base, const Parameter& parameter) {
  const Json* at = &base;
  for (const std::string& step : parameter.path) {
    if (at->is_null()) return nullptr;
    if (!at->is_object())
      throw ValueError("the env_init cannot hold '" + parameter.name + "': a value on the way is a " +
                       kind_name(*at) + ", not an object");
    const auto found = at->find(step);
    if (found == at->end()) return nullptr;
    at = &*found;
  }
  return at;
}

}  // namespace

Parameter parse_parameter(std::string_view spec) {
  const std::string usage = "expected NAME=LOW..HIGH or NAME=LOW..HIGH:log, got '" + std::string(spec) + "'";
  const std::size_t equals = spec.rfind('=');
  if (equals == std::string_view::npos || equals == 0) throw ValueError(usage);
  Parameter parameter;
  parameter.name = std::string(spec.substr(0, equals));
  std::string_view bounds = spec.substr(equals + 1);
  if (bounds.ends_with(":log")) {
    parameter.log = true;
    bounds.remove_suffix(4);
  }
  const std::size_t dots = bounds.find("..");
  if (dots == std::string_view::npos) throw ValueError(usage);
  const std::optional<double> low = number_of(bounds.substr(0, dots)),
                              high = number_of(bounds.substr(dots + 2));
  if (!low || !high) throw ValueError(usage + ": the bounds must be finite numbers");
  if (!(*low < *high))
    throw ValueError("the bounds of '" + parameter.name + "' must be LOW..HIGH, LOW below HIGH");
  if (parameter.log && !(*low > 0))
    throw ValueError("'" + parameter.name + "' is searched on a log scale, so its bounds must be above 0");
  parameter.low = *low;
  parameter.high = *high;
  parameter.path = parameter.name.starts_with('/') ? pointer_path(parameter.name) : dot_path(parameter.name);
  return parameter;
}

void check_distinct(const std::vector<Parameter>& parameters) {
  for (std::size_t i = 0; i < parameters.size(); ++i)
    for (std::size_t j = 0; j < parameters.size(); ++j) {
      const std::vector<std::string>&a = parameters[i].path, &b = parameters[j].path;
      if (i == j || a.size() > b.size() || !std::equal(a.begin(), a.end(), b.begin())) continue;
      throw ValueError(
          a.size() == b.size()
              ? "'" + parameters[i].name + "' and '" + parameters[j].name + "' name the same value"
              : "'" + parameters[j].name + "' lies inside '" + parameters[i].name + "', which is a number");
    }
}

double start_value(const Parameter& parameter, const Json& base) {
  const Json* given = value_at(base, parameter);
  if (!given)
    return parameter.log ? std::sqrt(parameter.low) * std::sqrt(parameter.high)
                         : parameter.low + (parameter.high - parameter.low) / 2;
  if (!given->is_number())
    throw ValueError("the env_init's '" + parameter.name + "' is a " + kind_name(*given) + ", not a number");
  const double value = given->get<double>();
  if (!(value >= parameter.low && value <= parameter.high))
    throw ValueError("the env_init's '" + parameter.name + "', " + shown(value) +
                     ", lies outside its bounds " + shown(parameter.low) + ".." + shown(parameter.high));
  return value;
}

Json with_values(const Json& base, const std::vector<Parameter>& parameters,
                 const std::vector<double>& values) {
  Json merged = base;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    Json* at = &merged;
    for (const std::string& step : parameters[i].path) {
      if (at->is_null()) *at = Json::object();
      if (!at->is_object())
        throw ValueError("the env_init cannot hold '" + parameters[i].name + "': a value on the way is a " +
                         kind_name(*at) + ", not an object");
      at = &(*at)[step];
    }
    *at = values[i];
  }
  return merged;
}

double to_search(const Parameter& parameter, double value) {
  return parameter.log ? std::log(value) : value;
}

double from_search(const Parameter& parameter, double x) {
  const double value = parameter.log ? std::exp(x) : x;
  // exp(log(x)) may step out of the bounds by a rounding.
  return std::min(parameter.high, std::max(parameter.low, value));
}

bool at_bound(const Parameter& parameter, double value) {
  const double low = to_search(parameter, parameter.low), high = to_search(parameter, parameter.high);
  const double x = to_search(parameter, value), margin = (high - low) / 100;
  return x <= low + margin || x >= high - margin;
}

std::string shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string values_text(const std::vector<Parameter>& parameters, const std::vector<double>& values) {
  std::string text;
  for (std::size_t i = 0; i < parameters.size() && i < values.size(); ++i)
    text += (i ? " " : "") + parameters[i].name + "=" + shown(values[i]);
  return text;
}

}  // namespace nalto::calibrate
