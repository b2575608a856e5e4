#include "nalto/support/hex.hpp"

namespace nalto {

namespace {

constexpr char LOWER[] = "0123456789abcdef";
constexpr char UPPER[] = "0123456789ABCDEF";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

std::string hex_lower(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) append_hex(out, static_cast<unsigned char>(c), 2);
  return out;
}

void append_hex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += LOWER[(value >> shift) & 0xF];
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hex(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (const char c : text)
    if (hex_value(c) < 0) return false;
  return true;
}

std::string percent_encode(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (unreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += UPPER[c >> 4];
      out += UPPER[c & 0xF];
    }
  }
  return out;
}

}  // namespace nalto
