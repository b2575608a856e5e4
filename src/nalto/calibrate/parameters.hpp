#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nalto/support/json.hpp"

// The parameters a calibration fits: where each lives in a sim's env_init, its bounds and its scale.
namespace nalto::calibrate {

struct Parameter {
  std::string name;               // as the user gave it: a dot path, or a JSON Pointer
  std::vector<std::string> path;  // the member names from env_init down
  double low = 0, high = 0;
  bool log = false;  // searched on a log scale
};

// "NAME=LOW..HIGH" or "NAME=LOW..HIGH:log". NAME is a dot path into env_init ("params.orifice1"), or a
// JSON Pointer when it begins with '/' ("/parameters/spring.c"). Anything else, bounds that are not
// finite numbers with LOW below HIGH, or a log scale over bounds that are not positive: ValueError.
Parameter parse_parameter(std::string_view spec);

// Refuses two parameters at one place, or one inside another: ValueError.
void check_distinct(const std::vector<Parameter>& parameters);

// Where the search starts: `base`'s number at the parameter, else the middle of the bounds (geometric on
// a log scale). A value there that is no number, or a number outside the bounds: ValueError.
double start_value(const Parameter& parameter, const Json& base);

// `base` with each parameter's value set, the objects on the way made where missing. A value on the way
// that is not an object: ValueError.
Json with_values(const Json& base, const std::vector<Parameter>& parameters,
                 const std::vector<double>& values);

// A value and its place in the search, where a log-scale parameter is its logarithm.
double to_search(const Parameter& parameter, double value);
double from_search(const Parameter& parameter, double x);

// Whether `value` lies within a hundredth of the search range of a bound, where a fit that wants to go
// further is stopped: the bound should be widened.
bool at_bound(const Parameter& parameter, double value);

// A value as the user reads it: 6 significant digits, in the shortest form.
std::string shown(double value);

// "room_capacity=128773 heater_conductance=62.89": each parameter with its value, shown.
std::string values_text(const std::vector<Parameter>& parameters, const std::vector<double>& values);

}  // namespace nalto::calibrate
