#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nalto/support/json.hpp"

namespace nalto {

// The platform's name identity: trimmed, fully lowercased (Unicode), every run of whitespace one "_".
std::string normalized(std::string_view name);

// A mapping's text field: its value when it is a non-empty text, else absent.
std::optional<std::string> _field(const Json& mapping, std::string_view key);

// The names a sim mapping can be recorded under, the platform's choice first: an array slot such
// as "[0]" by its mapped name, any other slot by its own name.
std::vector<std::string> mapping_names(const Json& mapping);

// Whether `name` is an array slot: "[", one or more Unicode decimal digits, "]", nothing else.
bool is_array_slot(std::string_view name);

}  // namespace nalto
