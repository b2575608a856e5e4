#include "nalto/mapping/plan.hpp"

#include <unicode/uchar.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "nalto/mapping/names.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

struct Column {
  const std::string* key;
  const std::string* raw_name;
};

// raw_names indexed by key: an ordered object finds a member by a linear search, too slow for a
// dataset with thousands of columns. A key it lacks is left to subscript, for the very error it raises.
class RawNames {
 public:
  explicit RawNames(const Json& raw) : raw_(raw) {
    if (!raw.is_object()) return;
    by_key_.reserve(raw.size());
    for (auto it = raw.begin(); it != raw.end(); ++it) by_key_.try_emplace(it.key(), &it.value());
  }

  const Json& operator[](const std::string& key) const {
    if (const auto it = by_key_.find(key); it != by_key_.end()) return *it->second;
    return subscript(raw_, key);
  }

 private:
  const Json& raw_;
  std::unordered_map<std::string_view, const Json*> by_key_;
};

// The columns of one role, searched by name identity. A nested search (names outside, columns
// inside) normalizes every raw name once per candidate name; here each raw name is normalized at
// most once and the first column per identity is kept. The identities are computed lazily, in list
// order and only as far as a search needs, so that a bad column raises exactly when, and only when,
// the nested search would have reached it.
class ColumnIndex {
 public:
  ColumnIndex(const Json& columns, const RawNames& raw, std::string_view role)
      : columns_(columns), raw_(raw), role_(role) {}

  const Column* search(const Json& mapping) {
    for (const std::string& name : mapping_names(mapping)) {
      if (const Column* found = find(normalized(name))) return found;
    }
    return nullptr;
  }

 private:
  const Column* find(const std::string& identity) {
    if (const auto it = first_.find(identity); it != first_.end()) return &it->second;
    const Json& keys = list();
    while (computed_ < keys.size()) {
      const Json& key = keys[computed_];
      const std::string& raw_name = raw_name_of(key);
      ++computed_;
      const auto [it, inserted] =
          first_.try_emplace(normalized(raw_name), Column{&key.get_ref<const std::string&>(), &raw_name});
      if (inserted && it->first == identity) return &it->second;
    }
    return nullptr;
  }

  // The nested search reads the role's list only once it has a name to look for.
  const Json& list() {
    if (list_ == nullptr) {
      list_ = &as_list(subscript(columns_, role_), role_);
    }
    return *list_;
  }

  const std::string& raw_name_of(const Json& key) const {
    if (key.is_structured()) throw TypeError("expected a column key, got " + kind_name(key));
    // raw_names has text keys only, so any other scalar key is simply missing from it.
    if (!key.is_string()) throw KeyError(plain_text(key));
    const Json& raw_name = raw_[key.get_ref<const std::string&>()];
    if (!raw_name.is_string()) {
      throw TypeError("expected the raw name of column " + quoted_literal(key.get_ref<const std::string&>()) +
                      " to be a text, got " + kind_name(raw_name));
    }
    return raw_name.get_ref<const std::string&>();
  }

  const Json& columns_;
  const RawNames& raw_;
  std::string_view role_;
  const Json* list_ = nullptr;
  std::size_t computed_ = 0;
  std::unordered_map<std::string, Column> first_;
};

const Json& list_member(const Json& mappings, std::string_view key) {
  return as_list(subscript(mappings, key), key);
}

// A mapping with neither name nor name_mapped has no name to show; we name it by its 1-based
// position, unquoted so it cannot be taken for a name.
std::string shown_name(const Json& mapping, std::string_view role, std::size_t index) {
  const std::vector<std::string> names = mapping_names(mapping);
  if (!names.empty()) return quoted_literal(names.front());
  std::string shown = "<";
  shown += role;
  shown += " #";
  shown += std::to_string(index + 1);
  shown += '>';
  return shown;
}

void append_hex_escape(std::string& out, char letter, std::uint32_t value, int digits) {
  out += '\\';
  out += letter;
  append_hex(out, value, digits);
}

bool printable(char32_t cp) {
  if (cp == U' ') return true;
  switch (u_charType(static_cast<UChar32>(cp))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

}  // namespace

Plan plan_analysis(const Json& mappings, const Json& columns) {
  const RawNames raw(subscript(columns, "raw_names"));

  std::vector<SlotColumn> sensors;
  std::vector<std::string> core;
  const Json& sensor_mappings = list_member(mappings, "sensors");
  ColumnIndex sensor_columns(columns, raw, "sensor_variables");
  for (const Json& mapping : sensor_mappings) {
    const Column* column = sensor_columns.search(mapping);
    if (column == nullptr || column->key->empty()) continue;
    sensors.emplace_back(_field(mapping, "name"), *column->key);
    core.push_back(*column->raw_name);
  }

  std::vector<SlotColumn> actions;
  std::vector<std::string> missing;
  const Json& action_mappings = list_member(mappings, "actions");
  ColumnIndex action_columns(columns, raw, "action_variables");
  for (std::size_t i = 0; i < action_mappings.size(); ++i) {
    const Json& mapping = action_mappings[i];
    const Column* column = action_columns.search(mapping);
    if (column == nullptr) {
      missing.push_back(shown_name(mapping, "action", i));
      continue;
    }
    actions.emplace_back(_field(mapping, "name"), *column->key);
  }

  if (!missing.empty()) {
    throw PublishReportError("The dataset on this node has no action column for the sim's action" +
                             std::string(missing.size() >= 2 ? "s" : "") + " " + join(missing, ", ") +
                             "; every action is replayed from the dataset");
  }
  if (sensors.empty()) {
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < sensor_mappings.size() && i < 10; ++i) {
      shown.push_back(shown_name(sensor_mappings[i], "sensor", i));
    }
    throw PublishReportError("None of the sim's sensors (" + join(shown, ", ") +
                             ") is a sensor column of the dataset");
  }
  return Plan{.sensors = std::move(sensors), .actions = std::move(actions), .core = std::move(core)};
}

std::string quoted_literal(std::string_view name) {
  const bool has_single = name.find('\'') != std::string_view::npos;
  const bool has_double = name.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';

  std::string out(1, quote);
  for (std::size_t pos = 0; pos < name.size();) {
    const utf8::Step step = utf8::decode(name, pos);
    if (!step.valid) {
      // Our choice for bytes that are no UTF-8: each shows as \xhh, so nothing is lost or hidden.
      append_hex_escape(out, 'x', static_cast<unsigned char>(name[pos]), 2);
      pos += 1;
      continue;
    }
    pos += step.length;
    const char32_t cp = step.code_point;
    if (cp == static_cast<char32_t>(quote) || cp == U'\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == U'\t') {
      out += "\\t";
    } else if (cp == U'\n') {
      out += "\\n";
    } else if (cp == U'\r') {
      out += "\\r";
    } else if (printable(cp)) {
      utf8::append(out, cp);
    } else if (cp < 0x100) {
      append_hex_escape(out, 'x', cp, 2);
    } else if (cp < 0x10000) {
      append_hex_escape(out, 'u', cp, 4);
    } else {
      append_hex_escape(out, 'U', cp, 8);
    }
  }
  out += quote;
  return out;
}

}  // namespace nalto
