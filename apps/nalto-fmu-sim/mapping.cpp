#include "mapping.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

namespace nalto::fmu {
namespace {

bool is_integer_type(VariableType type) {
  return type == VariableType::integer || type == VariableType::enumeration;
}

Json bound(const std::optional<double>& value) {
  return value ? Json(*value) : Json(nullptr);
}

int whole_number(const Json& value, const std::string& what) {
  if (value.is_number_integer() || value.is_number_float()) {
    const double x = value.get<double>();
    if (std::isfinite(x) && std::nearbyint(x) == x && x >= INT_MIN && x <= INT_MAX)
      return static_cast<int>(x);
  }
  throw BadValue(what + " must be a whole number that fits an FMI Integer, not " + value.dump());
}

int truth(const Json& value, const std::string& what) {
  if (value.is_boolean()) return value.get<bool>() ? fmi2True : fmi2False;
  if (value.is_number() && std::isfinite(value.get<double>()))
    return value.get<double>() != 0 ? fmi2True : fmi2False;
  throw BadValue(what + " must be a boolean or a number, not " + value.dump());
}

double real(const Json& value, const std::string& what) {
  if (value.is_number()) {
    const double x = value.get<double>();
    if (std::isfinite(x)) return x;
  }
  throw BadValue(what + " must be a finite number, not " + value.dump());
}

void add(Values& values, VariableType type, const Json& value, const std::string& what) {
  if (type == VariableType::real) {
    values.reals.push_back(real(value, what));
  } else if (is_integer_type(type)) {
    values.integers.push_back(whole_number(value, what));
  } else {
    values.booleans.push_back(truth(value, what));
  }
}

std::string names_of(const std::vector<const Variable*>& variables) {
  std::string out;
  for (const Variable* v : variables) out += (out.empty() ? "'" : ", '") + v->name + "'";
  return out.empty() ? "none" : out;
}

}  // namespace

Signals::Signals(const ModelDescription& md, std::string_view causality) {
  for (const Variable& v : md.variables) {
    if (v.causality != causality || v.type == VariableType::string) continue;
    variables_.push_back(v);
    if (v.type == VariableType::real) {
      reals.push_back(v.value_reference);
    } else if (is_integer_type(v.type)) {
      integers.push_back(v.value_reference);
    } else {
      booleans.push_back(v.value_reference);
    }
  }
}

Json Signals::space() const {
  if (all_real()) {
    Json low = Json::array(), high = Json::array(), names = Json::array();
    for (const Variable& v : variables_) {
      low.push_back(bound(v.min));
      high.push_back(bound(v.max));
      names.push_back(v.name);
    }
    return {{"type", "box"}, {"shape", {variables_.size()}}, {"low", low},
            {"high", high},  {"dtype", "float64"},           {"names", names}};
  }
  Json spaces = Json::array();
  for (const Variable& v : variables_) {
    if (v.type == VariableType::boolean) {
      spaces.push_back({{"type", "discrete"}, {"n", 2}, {"name", v.name}});
    } else {
      spaces.push_back({{"type", "box"},
                        {"shape", {1}},
                        {"low", {bound(v.min)}},
                        {"high", {bound(v.max)}},
                        {"dtype", v.type == VariableType::real ? "float64" : "int64"},
                        {"names", {v.name}}});
    }
  }
  return {{"type", "tuple"}, {"spaces", spaces}};
}

Json Signals::mappings() const {
  Json out = Json::array();
  for (std::size_t i = 0; i < variables_.size(); ++i) {
    // In a tuple, a box element holds its one value in a list of its own.
    const bool boxed = !all_real() && variables_[i].type != VariableType::boolean;
    out.push_back({{"name", "[" + std::to_string(i) + "]" + (boxed ? "[0]" : "")},
                   {"name_mapped", variables_[i].name}});
  }
  return out;
}

Json Signals::to_json(const Values& values) const {
  Json out = Json::array();
  std::size_t r = 0, n = 0, b = 0;
  for (const Variable& v : variables_) {
    if (v.type == VariableType::real) {
      out.push_back(all_real() ? Json(values.reals[r++]) : Json::array({values.reals[r++]}));
    } else if (is_integer_type(v.type)) {
      out.push_back(Json::array({values.integers[n++]}));
    } else {
      out.push_back(values.booleans[b++] != fmi2False ? 1 : 0);
    }
  }
  return out;
}

Values Signals::from_json(const Json& value) const {
  if (!value.is_array() || value.size() != variables_.size())
    throw BadValue("the action must be a list of " + std::to_string(variables_.size()) + " values, not " +
                   value.dump());
  Values out;
  for (std::size_t i = 0; i < variables_.size(); ++i) {
    const Variable& v = variables_[i];
    const std::string what = "the action's '" + v.name + "' ([" + std::to_string(i) + "])";
    const Json& element = value[i];
    const bool boxed = !all_real() && v.type != VariableType::boolean;
    if (boxed && (!element.is_array() || element.size() != 1))
      throw BadValue(what + " must be a list of one value, not " + element.dump());
    add(out, v.type, boxed ? element[0] : element, what);
  }
  return out;
}

std::vector<Setting> parameter_settings(const ModelDescription& md, const Json& env_init) {
  const auto found = env_init.find("parameters");
  if (found == env_init.end() || found->is_null()) return {};
  if (!found->is_object())
    throw BadValue("env_init's \"parameters\" must be an object of variable names and values, not " +
                   found->dump());
  std::vector<const Variable*> parameters;
  for (const Variable& v : md.variables)
    if (v.causality == "parameter") parameters.push_back(&v);
  std::vector<Setting> out;
  for (const auto& [name, value] : found->items()) {
    const auto match = std::find_if(parameters.begin(), parameters.end(),
                                    [&](const Variable* v) { return v->name == name; });
    if (match == parameters.end())
      throw BadValue("the FMU has no parameter '" + name + "'; its parameters: " + names_of(parameters));
    if ((*match)->type == VariableType::string)
      throw BadValue("the parameter '" + name + "' is a String, which this host cannot set");
    Values checked;
    add(checked, (*match)->type, value, "the parameter '" + name + "'");
    out.push_back({*match, value});
  }
  return out;
}

double step_size(const ModelDescription& md, const Json& env_init) {
  const auto found = env_init.find("step_size");
  if (found == env_init.end() || found->is_null()) return md.experiment.step_size.value_or(1.0);
  if (!found->is_number() || !std::isfinite(found->get<double>()) || found->get<double>() <= 0)
    throw BadValue("env_init's \"step_size\" must be a number of seconds above 0, not " + found->dump());
  return found->get<double>();
}

SettingValues setting_values(const std::vector<Setting>& settings) {
  SettingValues out;
  for (const Setting& s : settings) {
    const VariableType type = s.variable->type;
    add(out.values, type, s.value, s.variable->name);
    auto& refs = type == VariableType::real ? out.real_refs
                 : is_integer_type(type)    ? out.integer_refs
                                            : out.boolean_refs;
    refs.push_back(s.variable->value_reference);
  }
  return out;
}

}  // namespace nalto::fmu
