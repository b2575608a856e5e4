#pragma once

#include <optional>
#include <string>

#include "nalto/support/json.hpp"

namespace nalto {

// The sim's value at a slot of an observation, read by the installed runtime's sensor, as a finite
// number; absent when it does not read as one. An absent name reads as absent.
std::optional<double> read_slot(const Json& obs, const std::optional<std::string>& name);

// Writes `new_value` into the slot of `value`, cast by the type of the value the slot holds (an
// integer slot takes it rounded, ties to even; any other a floating-point number). Stores only once
// the cast succeeded. Returns `value`; for the empty name, the cast value (and `value` stays).
Json set_slot(Json& value, const std::optional<std::string>& name, const Json& new_value);

// The element of a container at one slot key: a member of an object by its text key, an element of
// a list by its integer position (negative from the end). Missing -> KeyError or IndexError; a key
// of the wrong kind for the container, or no container -> TypeError (a key of another kind than text
// on an object is a missing member).
const Json& at_key(const Json& container, const Json& key);
Json& at_key(Json& container, const Json& key);

// A value as a floating-point number: a number, a boolean (1.0 or 0.0), or a text that spells one
// (surrounding whitespace, inf and nan allowed); else ValueError or TypeError.
double to_float(const Json& value);

}  // namespace nalto
