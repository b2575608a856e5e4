#include <sys/mman.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <utility>

#include "compute_node.hpp"

namespace nalto::node_app {

ValueArena::ValueArena(ValueArena&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ValueArena& ValueArena::operator=(ValueArena&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  return *this;
}

ValueArena::~ValueArena() {
  if (data_) ::munmap(data_, capacity_ * sizeof(double));
}

void ValueArena::grow() {
  // Untouched pages cost nothing, and a move of the mapping copies no value.
  constexpr std::size_t FIRST = (1 << 20) / sizeof(double);
  const std::size_t capacity = capacity_ ? 2 * capacity_ : FIRST;
  void* grown = data_ ? ::mremap(data_, capacity_ * sizeof(double), capacity * sizeof(double), MREMAP_MAYMOVE)
                      : ::mmap(nullptr, capacity * sizeof(double), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (grown == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<double*>(grown);
  capacity_ = capacity;
}

namespace {

// The body's bytes for nlohmann's parser, a block at a time.
struct BodyBytes {
  explicit BodyBytes(std::streambuf& source) : bytes(source) {}

  std::streambuf& bytes;
  char block[64 * 1024];
  const char* next = block;
  const char* last = block;

  bool refill() {
    const std::streamsize n = bytes.sgetn(block, sizeof block);
    next = block;
    last = block + n;
    return n > 0;
  }
};

class ByteIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  ByteIterator() = default;
  explicit ByteIterator(BodyBytes& bytes) : bytes_(&bytes) {}

  char operator*() const { return *bytes_->next; }
  ByteIterator& operator++() {
    ++bytes_->next;
    return *this;
  }
  ByteIterator operator++(int) {
    ByteIterator before = *this;
    ++bytes_->next;
    return before;
  }
  // The default one is the end.
  friend bool operator==(const ByteIterator& a, const ByteIterator& b) { return a.at_end() == b.at_end(); }

 private:
  bool at_end() const { return !bytes_ || (bytes_->next == bytes_->last && !bytes_->refill()); }

  BodyBytes* bytes_ = nullptr;
};

}  // namespace
}  // namespace nalto::node_app

// The parse of a body is mostly the conversion of its numbers, and strtod takes most of that: the
// lexer that reads bodies converts with from_chars, as exact (both round correctly) and several times
// faster; a number out of a double's range goes to strtod, whose answer the parser acts on. This lexer
// reads ByteIterator only, which no other code has.
template <>
[[gnu::nonnull]] void nlohmann::detail::
    lexer<nalto::Json, nlohmann::detail::iterator_input_adapter<nalto::node_app::ByteIterator>>::strtof(
        double& f, const char* str, char** endptr) noexcept {
  const char* end = str + std::strlen(str);
  if (const auto [stop, error] = std::from_chars(str, end, f); error == std::errc()) {
    *endptr = const_cast<char*>(stop);
    return;
  }
  f = std::strtod(str, endptr);
}

namespace nalto::node_app {
namespace {

// Where a value stands in the body, as far as the node reads it.
enum class Place { other, root, episodes, entry, predictions, list, skipped };

// Builds the body's value as parse_json does, with nlohmann's own parser and tree builder (the same
// refusals of the same texts, a later member of a name standing twice replacing the earlier), except:
// each list of predictions leaves its numbers in the arena and a placeholder in the tree; a container
// where another kind is due (a list of episodes that is an object, ...) is kept empty, since only its
// kind is told; and members the node never reads are left out.
class RolloutsBuilder : public JsonSaxLimits {
 public:
  using Builder = nlohmann::detail::json_sax_dom_parser<Json>;

  explicit RolloutsBuilder(RolloutsBody& body) : body_(body), builder_(body.value) {}

  bool null() {
    return list_ ? element(MISSING, "") : scalar([&] { return builder_.null(); });
  }
  bool boolean(bool value) {
    return list_ ? element(0, "boolean") : scalar([&] { return builder_.boolean(value); });
  }
  bool number_integer(number_integer_t value) {
    return list_ ? element(static_cast<double>(value), "")
                 : scalar([&] { return builder_.number_integer(value); });
  }
  bool number_unsigned(number_unsigned_t value) {
    return list_ ? element(static_cast<double>(value), "")
                 : scalar([&] { return builder_.number_unsigned(value); });
  }
  bool number_float(number_float_t value, const string_t& text) {
    return list_ ? element(value, "") : scalar([&] { return builder_.number_float(value, text); });
  }
  bool string(string_t& value) {
    return list_ ? element(0, "text") : scalar([&] { return builder_.string(value); });
  }
  bool binary(binary_t& value) {
    return scalar([&] { return builder_.binary(value); });
  }

  bool key(string_t& name) {
    if (skipping_ || list_) return true;
    Frame& frame = frames_.back();
    frame.next = place_of_member(frame.place, name);
    return frame.next == Place::skipped || builder_.key(name);
  }

  bool start_object(std::size_t size) { return start(true, size); }
  bool start_array(std::size_t size) { return start(false, size); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }

 private:
  static constexpr double MISSING = std::numeric_limits<double>::quiet_NaN();

  struct Frame {
    Place place;
    bool object;
    Place next = Place::other;  // of the member whose name came last
  };

  RolloutsBody& body_;
  Builder builder_;
  std::vector<Frame> frames_;
  std::size_t skipping_ = 0;  // levels of a container being passed over
  PredictionList* list_ = nullptr;

  static Place place_of_member(Place object, std::string_view name) {
    switch (object) {
      case Place::root:
        if (name == "episodes") return Place::episodes;
        for (const std::string_view known :
             {"dataset_uuid", "simulator_id", "simulator_implementation_id", "validation_run_id",
              "bundle_content_hash", "core_sensor_variables", "sensor_variables", "action_variables",
              "max_lag_steps", "search_lag_rows", "evidence_page"})
          if (name == known) return Place::other;
        return Place::skipped;
      case Place::entry:
        return name == "predictions" ? Place::predictions : name == "episode" ? Place::other : Place::skipped;
      case Place::predictions:
        return Place::list;
      default:
        return Place::other;
    }
  }

  Place next_place() const {
    if (frames_.empty()) return Place::root;
    const Frame& frame = frames_.back();
    return frame.place == Place::episodes ? Place::entry : frame.next;
  }

  template <class Build>
  bool scalar(Build build) {
    if (skipping_) return true;
    return next_place() == Place::skipped || build();
  }

  bool element(double value, const char* kind) {
    if (skipping_) return true;
    PredictionList& list = *list_;
    ++list.count;
    if (!list.odd_kind.empty()) return true;
    if (*kind) {
      // The list is refused for this element; its values are no longer needed.
      list.odd_kind = kind;
    } else {
      list.nulls += std::isnan(value) ? 1 : 0;
      body_.values.push(value);
    }
    return true;
  }

  bool start(bool object, std::size_t size) {
    enter();
    if (skipping_) {
      ++skipping_;
      return true;
    }
    if (list_) {
      element(0, object ? "object" : "list");
      skipping_ = 1;
      return true;
    }
    const Place place = next_place();
    if (place == Place::skipped) {
      skipping_ = 1;
      return true;
    }
    if (place == Place::list && !object) {
      binary_t placeholder;
      placeholder.set_subtype(body_.lists.size());
      builder_.binary(placeholder);
      list_ = &body_.lists.emplace_back(PredictionList{.first = body_.values.size()});
      return true;
    }
    const bool due_object = place == Place::root || place == Place::entry || place == Place::predictions;
    const bool due_list = place == Place::episodes || place == Place::list;
    if ((due_object && !object) || (due_list && object)) {
      // Kept as an empty container of its kind: that kind is all a refusal tells of it.
      const bool kept = object ? builder_.start_object(0) && builder_.end_object()
                               : builder_.start_array(0) && builder_.end_array();
      skipping_ = 1;
      return kept;
    }
    frames_.push_back({.place = place, .object = object});
    return object ? builder_.start_object(size) : builder_.start_array(size);
  }

  bool end() {
    leave();
    if (skipping_) {
      --skipping_;
      return true;
    }
    if (list_) {
      list_ = nullptr;
      return true;
    }
    const bool object = frames_.back().object;
    frames_.pop_back();
    return object ? builder_.end_object() : builder_.end_array();
  }
};

}  // namespace

RolloutsBody read_rollouts_body(std::streambuf& bytes) {
  RolloutsBody body;
  RolloutsBuilder builder(body);
  BodyBytes source(bytes);
  Json::sax_parse(ByteIterator(source), ByteIterator(), &builder);
  return body;
}

}  // namespace nalto::node_app
