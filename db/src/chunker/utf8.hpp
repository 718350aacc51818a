#pragma once

// UTF-8 helpers of the chunker: validation with repair, Unicode White_Space, trimming and
// word scanning. Every function here is safe on arbitrary bytes: it never reads outside the
// view it is given, and a byte that does not start a well-formed sequence counts as one
// character that is not white space.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaradb::detail {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Length of the well-formed UTF-8 sequence starting at `text[pos]` (1 to 4), or 0 when the
// bytes there do not form one (ill-formed, overlong, surrogate, above U+10FFFF or cut short).
// Requires pos < text.size().
std::size_t well_formed_length(std::string_view text, std::size_t pos);

// Whether `text` is entirely well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// `text` as well-formed UTF-8: the view itself when it already is, otherwise a copy in
// `storage` (and a view of it) in which each maximal ill-formed subpart is replaced by U+FFFD.
std::string_view repair_utf8(std::string_view text, std::string& storage);

// Whether the code point has the Unicode White_Space property.
constexpr bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The character at `text[pos]` (pos < text.size()): its code point and byte length. An
// ill-formed byte reads as U+FFFD of length 1.
struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};
DecodedChar decode_multibyte_at(std::string_view text, std::size_t pos);
inline DecodedChar decode_at(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  return lead < 0x80 ? DecodedChar{lead, 1} : decode_multibyte_at(text, pos);
}

// The start of the character that ends just before `end` (0 < end <= text.size()).
std::size_t previous_multibyte_char_start(std::string_view text, std::size_t end);
inline std::size_t previous_char_start(std::string_view text, std::size_t end) {
  return static_cast<unsigned char>(text[end - 1]) < 0x80 ? end - 1
                                                          : previous_multibyte_char_start(text, end);
}

// Moves `pos` (<= text.size()) back to the first byte of the character it falls inside; a
// position on a character boundary, or on an ill-formed byte, stays where it is.
std::size_t floor_char_boundary(std::string_view text, std::size_t pos);

// `text` without leading and trailing Unicode White_Space.
std::string_view trim(std::string_view text);

}  // namespace tessaradb::detail
