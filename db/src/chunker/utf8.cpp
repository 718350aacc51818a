#include "chunker/utf8.hpp"

namespace tessaradb::detail {

namespace {

constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

unsigned char byte_at(std::string_view text, std::size_t pos) {
  return static_cast<unsigned char>(text[pos]);
}

// Number of bytes of the sequence at `pos` that a decoder accepts before it must stop, with
// `complete` telling whether they form a whole character. These are the well-formed byte
// ranges of the Unicode standard (no overlongs, no surrogates, nothing above U+10FFFF), so a
// rejected prefix is exactly one "maximal subpart" to replace.
std::size_t accepted_prefix(std::string_view text, std::size_t pos, bool& complete) {
  const unsigned char lead = byte_at(text, pos);
  complete = false;
  if (lead < 0x80) {
    complete = true;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 1;  // a continuation byte, C0, C1 or F5..FF: never starts a character
  }
  std::size_t taken = 1;
  for (std::size_t k = 0; k < need; ++k) {
    if (pos + taken >= text.size()) return taken;
    const unsigned char b = byte_at(text, pos + taken);
    const bool ok = k == 0 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return taken;
    ++taken;
  }
  complete = true;
  return taken;
}

}  // namespace

std::size_t well_formed_length(std::string_view text, std::size_t pos) {
  bool complete = false;
  const std::size_t n = accepted_prefix(text, pos, complete);
  return complete ? n : 0;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (byte_at(text, pos) < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t n = well_formed_length(text, pos);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::string_view repair_utf8(std::string_view text, std::string& storage) {
  if (is_valid_utf8(text)) return text;
  storage.clear();
  storage.reserve(text.size() + text.size() / 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    bool complete = false;
    const std::size_t n = accepted_prefix(text, pos, complete);
    if (complete) {
      storage.append(text.substr(pos, n));
    } else {
      storage.append("\xEF\xBF\xBD");  // U+FFFD
    }
    pos += n;
  }
  return storage;
}

DecodedChar decode_multibyte_at(std::string_view text, std::size_t pos) {
  const unsigned char lead = byte_at(text, pos);
  const std::size_t n = well_formed_length(text, pos);
  if (n == 0) return {kReplacementCharacter, 1};
  char32_t cp = lead & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (byte_at(text, pos + k) & 0x3F);
  return {cp, n};
}

std::size_t previous_multibyte_char_start(std::string_view text, std::size_t end) {
  // A character is at most 4 bytes: look back over at most 3 continuation bytes for a lead
  // byte whose sequence ends exactly at `end`; anything else is a lone ill-formed byte.
  std::size_t start = end - 1;
  for (std::size_t back = 0; back < 3 && start > 0 && is_continuation(byte_at(text, start));
       ++back) {
    --start;
  }
  if (start + 1 < end && well_formed_length(text, start) != end - start) return end - 1;
  return start;
}

std::size_t floor_char_boundary(std::string_view text, std::size_t pos) {
  if (pos >= text.size() || !is_continuation(byte_at(text, pos))) return pos;
  std::size_t start = pos;
  for (std::size_t back = 0; back < 3 && start > 0 && is_continuation(byte_at(text, start));
       ++back) {
    --start;
  }
  const std::size_t n = well_formed_length(text, start);
  return (n != 0 && start + n > pos) ? start : pos;
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const DecodedChar c = decode_at(text, begin);
    if (!is_white_space(c.code_point)) break;
    begin += c.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = previous_char_start(text, end);
    if (!is_white_space(decode_at(text, start).code_point)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tessaradb::detail
