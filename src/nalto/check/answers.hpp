#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nalto/support/json.hpp"

// The sim's contract, checked one answer at a time: plain functions over the JSON values a sim hands
// back, for `nalto sim validate`.
namespace nalto::check {

// One breach of the contract: the call, the step it happened in (absent outside the steps), the
// field of the answer ("observation[0]", "terminated"; empty for the whole answer) and what is wrong.
struct Problem {
  std::string call;
  std::optional<std::int64_t> step;
  std::string field;
  std::string text;
  bool operator==(const Problem&) const = default;
};

// "Step 12: observation[0]: NaN is not a finite number".
std::string describe(const Problem& problem);

// Where a field sits in a value, written as the slot names are: "[0]", "['a'][1]".
std::string field_at(const std::string& parent, const Json& key);

// Every number in `value` that is not finite, as problems of `call` in `field` (and deeper).
void check_finite(const Json& value, const std::string& field, std::vector<Problem>& out, const Problem& at);

// Whether `value` fits the space description `space` (box with shape, dtype and bounds; discrete;
// dict; tuple); each misfit is one problem. A malformed space is one problem too.
void check_in_space(const Json& value, const Json& space, const std::string& field, std::vector<Problem>& out,
                    const Problem& at);

// What an answer is checked against: the sensor space (when the sim tells it) and the sensor mappings.
struct Contract {
  std::optional<Json> sensor_space;
  Json sensors = Json::array();
};

// A Reset answer, [obs, info]: its shape, its observation (space, finite values, readable slots).
std::vector<Problem> check_reset(const Json& answer, const Contract& contract);

// A Step answer, [obs, reward, terminated, truncated, info], of step `step` (1-based).
std::vector<Problem> check_step(const Json& answer, const Contract& contract, std::int64_t step);

// Whether each action mapping's slot can be written in `action` (a sample of the action space).
std::vector<Problem> check_action_slots(const Json& action, const Json& actions);

// A mapping as messages name it: "sensor 'Room Temperature'", by its mapped name, else its slot,
// else its 1-based position.
std::string shown_mapping(const Json& mapping, std::string_view role, std::size_t index);

// The first place where two observations differ, as "observation[1]: 20.5 then 20.7"; absent when equal.
std::optional<std::string> first_difference(const Json& first, const Json& again, const std::string& field);

}  // namespace nalto::check
