#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "nalto/support/json.hpp"

namespace nalto {

// One literal constant as a slot key: a decimal integer, a quoted text with escapes, a
// floating-point number, True, False or None. Never evaluates anything; anything else is a
// LiteralError.
Json parse_literal(std::string_view text);

// Parsed keys, shared with the cache so that a hot path copies nothing.
using SlotKeys = std::shared_ptr<const std::vector<Json>>;

// The keys of a slot name, or absent when the name is not a run of bracketed keys (optionally
// surrounded by whitespace). A bracket that holds no literal is a LiteralError. Parsed names are
// cached; failures are not.
std::optional<std::vector<Json>> slot_keys(std::string_view name);
SlotKeys shared_slot_keys(std::string_view name);  // null when absent

// The keys of a slot name; a name that is not a run of bracketed keys is refused with
// PublishReportError "Can't address the sim's slot '<name>'".
std::vector<Json> _path(std::string_view name);
SlotKeys shared_path(std::string_view name);

}  // namespace nalto
