#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nalto {

// Two lowercase hexadecimal digits per byte, as digests are written.
std::string hex_lower(std::string_view bytes);
inline std::string hex_lower(const unsigned char* bytes, std::size_t size) {
  return hex_lower(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

// `value`'s lowest `digits` nibbles as lowercase hexadecimal digits, zero-padded to `digits`.
void append_hex(std::string& out, std::uint32_t value, int digits);

// The value of one hexadecimal digit of either case, or -1 for any other character.
int hex_value(char c);

// Exactly `digits` hexadecimal digits of either case.
bool is_hex(std::string_view text, std::size_t digits);

// Every byte but the unreserved characters (A-Z a-z 0-9 - . _ ~) as %XX with uppercase digits, so a
// text fits one URL path segment.
std::string percent_encode(std::string_view text);

}  // namespace nalto
