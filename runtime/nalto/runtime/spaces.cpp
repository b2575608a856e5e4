#include "nalto/runtime/spaces.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "nalto/support/errors.hpp"
#include "nalto/support/strings.hpp"

namespace nalto::runtime {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Every value of a space becomes a mapping, a bound pair and a drawn sample: a camera frame's million
// values is the most a real sim's space holds, and a declared shape far beyond would only exhaust memory.
constexpr std::size_t MAX_SPACE_VALUES = 1 << 20;

// What is left of MAX_SPACE_VALUES while one space is read.
void take_values(std::size_t& left, std::size_t n) {
  if (n > left)
    throw ValueError("a space may hold at most " + std::to_string(MAX_SPACE_VALUES) + " values in all");
  left -= n;
}

struct Space {
  enum class Kind { BOX, DISCRETE, DICT, TUPLE };
  Kind kind = Kind::BOX;
  bool integer = false;
  std::vector<double> low, high;
  std::vector<std::optional<std::string>> names;
  std::int64_t n = 0;
  std::optional<std::string> name;
  // Behind a pointer: a pair may not hold a type still incomplete (clang's libstdc++ checks it).
  std::vector<std::pair<std::string, std::unique_ptr<Space>>> members;
  std::vector<Space> elements;
};

std::optional<std::string> leaf_name(const Json& j) {
  if (j.is_string() && !j.get_ref<const std::string&>().empty()) return j.get<std::string>();
  return std::nullopt;
}

std::vector<double> parse_bound(const Json* bound, std::size_t n, double missing, const char* what) {
  if (bound == nullptr) return std::vector<double>(n, missing);
  // A null element is an open side, as JSON has no infinity.
  const auto value = [&](const Json& j) {
    if (j.is_null()) return missing;
    if (!j.is_number()) throw TypeError(std::string("box ") + what + " must be numbers, not " + kind_name(j));
    const double x = j.get<double>();
    if (std::isnan(x)) throw ValueError(std::string("box ") + what + " must not be NaN");
    return x;
  };
  if (!bound->is_array()) return std::vector<double>(n, value(*bound));
  if (bound->size() != n)
    throw ValueError(std::string("box ") + what + " must have " + std::to_string(n) + " elements, not " +
                     std::to_string(bound->size()));
  std::vector<double> out;
  for (const auto& x : *bound) out.push_back(value(x));
  return out;
}

Space parse_box(const Json& j, Space s, std::size_t& left) {
  const Json* shape = lookup(j, "shape");
  if (shape == nullptr || !shape->is_array() || shape->size() != 1 || !(*shape)[0].is_number_integer() ||
      (*shape)[0].get<std::int64_t>() < 0)
    throw ValueError("box shape must be [n] with n a non-negative integer, not " +
                     (shape ? dump_json(*shape) : std::string("missing")));
  const auto n = static_cast<std::size_t>((*shape)[0].get<std::int64_t>());
  take_values(left, n);
  const Json* dtype = lookup(j, "dtype");
  if (dtype != nullptr && (!dtype->is_string() || (*dtype != "float64" && *dtype != "int64")))
    throw ValueError("box dtype must be \"float64\" or \"int64\", not " + dump_json(*dtype));
  s.integer = dtype != nullptr && *dtype == "int64";
  s.low = parse_bound(lookup(j, "low"), n, -INF, "low");
  s.high = parse_bound(lookup(j, "high"), n, INF, "high");
  s.names.assign(n, std::nullopt);
  if (const Json* names = lookup(j, "names")) {
    if (!names->is_array()) throw TypeError("box names must be a list, not " + kind_name(*names));
    for (std::size_t i = 0; i < std::min(n, names->size()); ++i) s.names[i] = leaf_name((*names)[i]);
  }
  return s;
}

Space parse(const Json& j, std::size_t& left) {
  if (!j.is_object()) throw TypeError("a space must be an object, not " + kind_name(j));
  const Json* type = lookup(j, "type");
  if (type == nullptr || !type->is_string())
    throw ValueError("a space needs a text \"type\", not " + (type ? dump_json(*type) : std::string("none")));
  Space s;
  if (*type == "box") return parse_box(j, std::move(s), left);
  if (*type == "discrete") {
    s.kind = Space::Kind::DISCRETE;
    take_values(left, 1);
    const Json* n = lookup(j, "n");
    if (n == nullptr || !n->is_number_integer() || n->get<std::int64_t>() <= 0)
      throw ValueError("discrete n must be a positive integer, not " +
                       (n ? dump_json(*n) : std::string("missing")));
    s.n = n->get<std::int64_t>();
    if (const Json* name = lookup(j, "name")) s.name = leaf_name(*name);
    return s;
  }
  if (*type == "dict") {
    s.kind = Space::Kind::DICT;
    const Json* spaces = lookup(j, "spaces");
    if (spaces == nullptr || !spaces->is_object())
      throw TypeError("dict spaces must be an object, not " + (spaces ? kind_name(*spaces) : "missing"));
    for (const auto& [key, member] : spaces->items())
      s.members.emplace_back(key, std::make_unique<Space>(parse(member, left)));
    return s;
  }
  if (*type == "tuple") {
    s.kind = Space::Kind::TUPLE;
    const Json* spaces = lookup(j, "spaces");
    if (spaces == nullptr || !spaces->is_array())
      throw TypeError("tuple spaces must be a list, not " + (spaces ? kind_name(*spaces) : "missing"));
    for (const auto& element : *spaces) s.elements.push_back(parse(element, left));
    return s;
  }
  throw ValueError("unknown space type " + dump_json(*type));
}

Space parse(const Json& j) {
  std::size_t left = MAX_SPACE_VALUES;
  return parse(j, left);
}

void add_leaf(Json& out, const std::string& slot, const std::optional<std::string>& name) {
  Json leaf = {{"name", slot}};
  if (name) leaf["name_mapped"] = *name;
  out.push_back(std::move(leaf));
}

void list_leaves(const Space& s, const std::string& prefix, Json& out) {
  switch (s.kind) {
    case Space::Kind::BOX:
      for (std::size_t i = 0; i < s.names.size(); ++i)
        add_leaf(out, prefix + "[" + std::to_string(i) + "]", s.names[i]);
      break;
    case Space::Kind::DISCRETE:
      add_leaf(out, prefix, s.name);
      break;
    case Space::Kind::DICT:
      for (const auto& [key, member] : s.members)
        list_leaves(*member, prefix + "[" + single_quoted_escaped(key) + "]", out);
      break;
    case Space::Kind::TUPLE:
      for (std::size_t i = 0; i < s.elements.size(); ++i)
        list_leaves(s.elements[i], prefix + "[" + std::to_string(i) + "]", out);
      break;
  }
}

// Doubles beyond the int64 range cannot be converted, so they are clamped first.
std::int64_t to_int64(double x) {
  constexpr double TOP = 9223372036854775808.0;
  if (x >= TOP) return std::numeric_limits<std::int64_t>::max();
  if (x < -TOP) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

void check_bounds(Space& s) {
  for (auto& m : s.members) check_bounds(*m.second);
  for (auto& e : s.elements) check_bounds(e);
  for (std::size_t i = 0; i < s.low.size(); ++i) {
    if (s.integer) {
      s.low[i] = std::ceil(s.low[i]);
      s.high[i] = std::floor(s.high[i]);
    }
    if (s.low[i] > s.high[i])
      throw ValueError("box element " + std::to_string(i) + " has low " + plain_text(s.low[i]) +
                       " above high " + plain_text(s.high[i]));
  }
}

class RandomSpace : public outside::ComputeSpace {
 public:
  explicit RandomSpace(Space space) : space_(std::move(space)), rng_(std::random_device{}()) {}

  Json sample() override { return draw(space_); }

 private:
  // An open side has no uniform draw, so values spread normally from the closed side (or from 0).
  double real(double low, double high) {
    std::normal_distribution<double> normal;
    if (std::isinf(low) && std::isinf(high)) return normal(rng_);
    if (std::isinf(high)) return low + std::abs(normal(rng_));
    if (std::isinf(low)) return high - std::abs(normal(rng_));
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
    // Weighted sum instead of low + u*(high-low): the width may overflow.
    return std::clamp(low * (1.0 - u) + high * u, low, high);
  }

  std::int64_t whole(double low, double high) {
    if (std::isinf(low) || std::isinf(high))
      return std::clamp(to_int64(std::round(real(low, high))), to_int64(low), to_int64(high));
    return std::uniform_int_distribution<std::int64_t>(to_int64(low), to_int64(high))(rng_);
  }

  Json draw(const Space& s) {
    switch (s.kind) {
      case Space::Kind::BOX: {
        Json out = Json::array();
        for (std::size_t i = 0; i < s.low.size(); ++i) {
          if (s.integer)
            out.push_back(whole(s.low[i], s.high[i]));
          else
            out.push_back(real(s.low[i], s.high[i]));
        }
        return out;
      }
      case Space::Kind::DISCRETE:
        return std::uniform_int_distribution<std::int64_t>(0, s.n - 1)(rng_);
      case Space::Kind::DICT: {
        Json out = Json::object();
        for (const auto& [key, member] : s.members) out[key] = draw(*member);
        return out;
      }
      case Space::Kind::TUPLE: {
        Json out = Json::array();
        for (const auto& element : s.elements) out.push_back(draw(element));
        return out;
      }
    }
    return nullptr;
  }

  Space space_;
  std::mt19937_64 rng_;
};

}  // namespace

Json convert_space_to_json(const Json& space) {
  Json out = Json::array();
  list_leaves(parse(space), "", out);
  return out;
}

std::unique_ptr<outside::ComputeSpace> to_compute_space(const Json& info) {
  Space space = parse(info);
  check_bounds(space);
  return std::make_unique<RandomSpace>(std::move(space));
}

Json as_compute_sees(const Json& value) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) return nullptr;
  if (value.is_array()) {
    Json out = Json::array();
    for (const auto& element : value) out.push_back(as_compute_sees(element));
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, member] : value.items()) out[key] = as_compute_sees(member);
    return out;
  }
  return value;
}

}  // namespace nalto::runtime
