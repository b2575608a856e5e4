#include "nalto/check/answers.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "nalto/mapping/names.hpp"
#include "nalto/mapping/path.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/mapping/slots.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::check {

namespace {

void add(std::vector<Problem>& out, const Problem& at, std::string field, std::string text) {
  Problem problem = at;
  problem.field = std::move(field);
  problem.text = std::move(text);
  out.push_back(std::move(problem));
}

std::string number_text(const Json& value) {
  return value.is_number_float() ? plain_text(value.get<double>()) : dump_json(value);
}

// A box's bound for element i: absent for an open side (missing, null or infinite).
std::optional<double> bound_at(const Json& space, std::string_view side, std::size_t i) {
  const Json* bound = lookup(space, side);
  if (bound != nullptr && bound->is_array()) bound = i < bound->size() ? &(*bound)[i] : nullptr;
  if (bound == nullptr || !bound->is_number()) return std::nullopt;
  const double x = bound->get<double>();
  if (std::isinf(x)) return std::nullopt;
  return x;
}

void check_box(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
               const Problem& at) {
  const Json* shape = lookup(space, "shape");
  if (shape == nullptr || !shape->is_array() || shape->size() != 1 || !(*shape)[0].is_number_integer() ||
      (*shape)[0].get<std::int64_t>() < 0) {
    add(out, at, field, "the box space has no shape [n]");
    return;
  }
  const auto n = (*shape)[0].get<std::size_t>();
  if (!value.is_array()) {
    add(out, at, field,
        "is " + kind_name(value) + ", not a list: the space is a box of shape [" + std::to_string(n) + "]");
    return;
  }
  if (value.size() != n) {
    add(out, at, field,
        "has " + std::to_string(value.size()) + " elements, the space's shape is [" + std::to_string(n) +
            "]");
    return;
  }
  const Json* dtype = lookup(space, "dtype");
  const bool integer = dtype != nullptr && *dtype == "int64";
  for (std::size_t i = 0; i < n; ++i) {
    const Json& element = value[i];
    const std::string at_field = field_at(field, Json(i));
    if (!element.is_number()) {
      add(out, at, at_field, "is " + kind_name(element) + ", not a number");
      continue;
    }
    if (integer && !element.is_number_integer())
      add(out, at, at_field,
          number_text(element) + " is a floating-point number, the space's dtype is int64");
    const double x = element.get<double>();
    if (!std::isfinite(x)) continue;  // check_finite tells
    if (const auto low = bound_at(space, "low", i); low && x < *low)
      add(out, at, at_field, number_text(element) + " is below the space's low " + plain_text(*low));
    if (const auto high = bound_at(space, "high", i); high && x > *high)
      add(out, at, at_field, number_text(element) + " is above the space's high " + plain_text(*high));
  }
}

void check_discrete(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
                    const Problem& at) {
  const Json* n = lookup(space, "n");
  if (n == nullptr || !n->is_number_integer()) {
    add(out, at, field, "the discrete space has no integer n");
    return;
  }
  if (!value.is_number_integer()) {
    add(out, at, field, "is " + kind_name(value) + ", not an integer: the space is discrete");
    return;
  }
  const auto k = value.get<std::int64_t>();
  if (k < 0 || k >= n->get<std::int64_t>())
    add(out, at, field, std::to_string(k) + " is outside the discrete space's 0.." + dump_json(*n) + "-1");
}

void check_dict(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
                const Problem& at) {
  const Json* spaces = lookup(space, "spaces");
  if (spaces == nullptr || !spaces->is_object()) {
    add(out, at, field, "the dict space has no object of spaces");
    return;
  }
  if (!value.is_object()) {
    add(out, at, field, "is " + kind_name(value) + ", not an object: the space is a dict");
    return;
  }
  for (const auto& [key, member] : spaces->items()) {
    const auto found = value.find(key);
    if (found == value.end())
      add(out, at, field_at(field, Json(key)), "is missing");
    else
      check_in_space(*found, member, field_at(field, Json(key)), out, at);
  }
  for (const auto& [key, member] : value.items())
    if (!spaces->contains(key)) add(out, at, field_at(field, Json(key)), "is not in the space");
}

void check_tuple(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
                 const Problem& at) {
  const Json* spaces = lookup(space, "spaces");
  if (spaces == nullptr || !spaces->is_array()) {
    add(out, at, field, "the tuple space has no list of spaces");
    return;
  }
  if (!value.is_array() || value.size() != spaces->size()) {
    add(out, at, field,
        "is " + kind_name(value) + (value.is_array() ? " of " + std::to_string(value.size()) : "") +
            ", the space is a tuple of " + std::to_string(spaces->size()));
    return;
  }
  for (std::size_t i = 0; i < value.size(); ++i)
    check_in_space(value[i], (*spaces)[i], field_at(field, Json(i)), out, at);
}

}  // namespace

std::string shown_mapping(const Json& mapping, std::string_view role, std::size_t index) {
  std::optional<std::string> name = _field(mapping, "name_mapped");
  if (!name) name = _field(mapping, "name");
  if (name) return std::string(role) + " " + quoted_literal(*name);
  return std::string(role) + " #" + std::to_string(index + 1);
}

namespace {

// Why a slot cannot be read: the failure of the walk along its keys, or what the walk found there.
// Absent when the value there is a non-finite number, which check_finite already tells.
std::optional<std::string> unreadable_reason(const Json& obs, const std::string& name) {
  const Json* at = &obs;
  try {
    for (const Json& key : _path(name)) at = &at_key(*at, key);
  } catch (const Error& e) {
    return std::string(e.type_name()) + ": " + e.what();
  }
  if (at->is_number_float() && !std::isfinite(at->get<double>())) return std::nullopt;
  return "the value there is " + utf8::text_start(dump_json(*at));
}

void check_sensor_slots(const Json& obs, const Json& sensors, std::vector<Problem>& out, const Problem& at) {
  if (!sensors.is_array()) return;
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const Json& mapping = sensors[i];
    const std::optional<std::string> name = _field(mapping, "name");
    const std::string shown = shown_mapping(mapping, "sensor", i);
    if (!name) {
      add(out, at, shown, "has no slot name, so nothing can be read for it");
      continue;
    }
    if (read_slot(obs, name)) continue;
    if (const std::optional<std::string> reason = unreadable_reason(obs, *name))
      add(out, at, shown,
          "its slot " + *name + " cannot be read as a number in the observation (" + *reason + ")");
  }
}

const std::array<const char*, 5> STEP_MEMBERS = {"observation", "reward", "terminated", "truncated", "info"};

std::string shape_text(const Json& answer, std::string_view expected) {
  const std::string got = answer.is_array() ? "a list of " + std::to_string(answer.size()) +
                                                  (answer.size() == 1 ? " item" : " items")
                                            : kind_name(answer);
  return "the answer must be " + std::string(expected) + ", not " + got;
}

void check_observation(const Json& obs, const Contract& contract, std::vector<Problem>& out,
                       const Problem& at) {
  if (contract.sensor_space) check_in_space(obs, *contract.sensor_space, "observation", out, at);
  check_sensor_slots(obs, contract.sensors, out, at);
}

}  // namespace

std::string describe(const Problem& problem) {
  std::string text = problem.call;
  if (problem.step) text += " " + std::to_string(*problem.step);
  text += ": ";
  if (!problem.field.empty()) text += problem.field + ": ";
  return text + problem.text;
}

std::string field_at(const std::string& parent, const Json& key) {
  if (key.is_string()) return parent + "[" + single_quoted_escaped(key.get_ref<const std::string&>()) + "]";
  return parent + "[" + dump_json(key) + "]";
}

void check_finite(const Json& value, const std::string& field, std::vector<Problem>& out, const Problem& at) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) {
    // Named by the tokens the sim wrote, NaN, Infinity or -Infinity.
    const double x = value.get<double>();
    const std::string token = std::isnan(x) ? "NaN" : x > 0 ? "Infinity" : "-Infinity";
    add(out, at, field, token + " is not a finite number (JSON has no such value; a publish cannot read it)");
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) check_finite(value[i], field_at(field, Json(i)), out, at);
  } else if (value.is_object()) {
    for (const auto& [key, member] : value.items()) check_finite(member, field_at(field, Json(key)), out, at);
  }
}

void check_in_space(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
                    const Problem& at) {
  const Json* type = member_at(space, {"type"});
  if (type == nullptr || !type->is_string()) {
    add(out, at, field, "the space " + utf8::text_start(dump_json(space)) + " has no type");
  } else if (*type == "box") {
    check_box(value, space, field, out, at);
  } else if (*type == "discrete") {
    check_discrete(value, space, field, out, at);
  } else if (*type == "dict") {
    check_dict(value, space, field, out, at);
  } else if (*type == "tuple") {
    check_tuple(value, space, field, out, at);
  } else {
    add(out, at, field, "the space's type " + dump_json(*type) + " is unknown");
  }
}

std::vector<Problem> check_reset(const Json& answer, const Contract& contract) {
  std::vector<Problem> out;
  const Problem at{.call = "Reset"};
  if (!answer.is_array() || answer.size() != 2) add(out, at, "", shape_text(answer, "[obs, info]"));
  if (!answer.is_array() || answer.empty()) return out;
  check_finite(answer[0], "observation", out, at);
  if (answer.size() > 1) check_finite(answer[1], "info", out, at);
  check_observation(answer[0], contract, out, at);
  return out;
}

std::vector<Problem> check_step(const Json& answer, const Contract& contract, std::int64_t step) {
  std::vector<Problem> out;
  const Problem at{.call = "Step", .step = step};
  if (!answer.is_array() || answer.size() != STEP_MEMBERS.size())
    add(out, at, "", shape_text(answer, "[obs, reward, terminated, truncated, info]"));
  if (!answer.is_array() || answer.empty()) return out;
  for (std::size_t i = 0; i < answer.size() && i < STEP_MEMBERS.size(); ++i)
    check_finite(answer[i], STEP_MEMBERS[i], out, at);
  check_observation(answer[0], contract, out, at);
  for (const std::size_t i : {std::size_t{2}, std::size_t{3}})
    if (i < answer.size() && !answer[i].is_boolean())
      add(out, at, STEP_MEMBERS[i],
          "is " + kind_name(answer[i]) + " " + utf8::text_start(dump_json(answer[i])) + ", not a boolean");
  return out;
}

std::vector<Problem> check_action_slots(const Json& action, const Json& actions) {
  std::vector<Problem> out;
  const Problem at{.call = "ActionSpaceInfo"};
  if (!actions.is_array()) return out;
  for (std::size_t i = 0; i < actions.size(); ++i) {
    const Json& mapping = actions[i];
    const std::optional<std::string> name = _field(mapping, "name");
    Json written = action;
    try {
      set_slot(written, name, Json(0.0));
    } catch (const Error& e) {
      add(out, at, shown_mapping(mapping, "action", i),
          (name ? "its slot " + *name + " cannot be written in a sampled action (" : std::string("(")) +
              std::string(e.type_name()) + ": " + e.what() + ")");
    }
  }
  return out;
}

std::optional<std::string> first_difference(const Json& first, const Json& again, const std::string& field) {
  const auto differs = [&] {
    return field + ": " + utf8::text_start(number_text(first)) + " then " +
           utf8::text_start(number_text(again));
  };
  if (first.is_number() && again.is_number()) {
    const double a = first.get<double>(), b = again.get<double>();
    if (a == b || (std::isnan(a) && std::isnan(b))) return std::nullopt;
    return differs();
  }
  if (first.type() != again.type()) return differs();
  if (first.is_array()) {
    if (first.size() != again.size()) return differs();
    for (std::size_t i = 0; i < first.size(); ++i)
      if (auto found = first_difference(first[i], again[i], field_at(field, Json(i)))) return found;
    return std::nullopt;
  }
  if (first.is_object()) {
    for (const auto& [key, member] : first.items()) {
      const auto other = again.find(key);
      if (other == again.end()) return differs();
      if (auto found = first_difference(member, *other, field_at(field, Json(key)))) return found;
    }
    return first.size() == again.size() ? std::nullopt : std::optional<std::string>(differs());
  }
  return first == again ? std::nullopt : std::optional<std::string>(differs());
}

}  // namespace nalto::check
