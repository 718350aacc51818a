#include "chunker/chunker.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "chunker/strategies.hpp"
#include "chunker/utf8.hpp"

namespace tessaradb {

namespace detail {

namespace {

constexpr std::string_view kParagraphSeparator = "\n\n";

// Tried in this order; the first that occurs in the text splits it. ".!?" and ",;: " are
// literal multi-character separators, not sets. A plain space is deliberately absent: a text
// whose only separator would be a space goes to fixed windows instead.
constexpr std::array<std::string_view, 5> kRecursiveSeparators = {"\n\n\n", "\n\n", "\n", ".!?",
                                                                  ",;: "};

void push_chunk(std::vector<ChunkResult>& out, std::string_view text, std::size_t index) {
  out.push_back(ChunkResult{std::string(text), index, std::nullopt});
}

}  // namespace

std::vector<ChunkResult> fixed_windows(std::string_view text, std::size_t chunk_size,
                                       std::size_t overlap) {
  std::vector<ChunkResult> out;
  if (chunk_size == 0 || overlap >= chunk_size) return out;
  const std::size_t step = chunk_size - overlap;
  const std::size_t length = text.size();
  // Comparisons are written as `chunk_size < length - pos` rather than `pos + chunk_size <
  // length` so that sizes near SIZE_MAX cannot overflow.
  for (std::size_t pos = 0; pos < length;) {
    const bool reaches_end = chunk_size >= length - pos;
    const std::size_t raw_end = reaches_end ? length : pos + chunk_size;
    // Cuts inside a character move back to its first byte, so no window splits one.
    const std::size_t start = floor_char_boundary(text, pos);
    std::size_t end = floor_char_boundary(text, raw_end);
    if (!reaches_end && end > start) {
      const std::size_t space = text.substr(start, end - start).rfind(' ');
      if (space != std::string_view::npos && space > 0) end = start + space;
    }
    const std::string_view piece = trim(text.substr(start, end - start));
    if (!piece.empty()) push_chunk(out, piece, out.size());
    if (step >= length - pos) break;
    pos += step;
  }
  return out;
}

std::vector<ChunkResult> chunk_recursive(std::string_view text, std::size_t chunk_size,
                                         std::size_t overlap) {
  std::vector<ChunkResult> out;
  if (text.size() <= chunk_size) {
    push_chunk(out, text, 0);
    return out;
  }
  for (const std::string_view separator : kRecursiveSeparators) {
    if (text.find(separator) == std::string_view::npos) continue;
    std::string current;
    const auto flush = [&] {
      const std::string_view trimmed = trim(current);
      if (!trimmed.empty()) push_chunk(out, trimmed, out.size());
    };
    std::size_t begin = 0;
    while (true) {
      const std::size_t hit = text.find(separator, begin);
      const std::size_t stop = hit == std::string_view::npos ? text.size() : hit;
      const std::string_view part = text.substr(begin, stop - begin);
      const std::size_t candidate =
          current.empty() ? part.size() : current.size() + separator.size() + part.size();
      if (candidate <= chunk_size) {
        if (!current.empty()) current.append(separator);
        current.append(part);
      } else {
        // A part longer than the chunk size is kept whole: it becomes a chunk of its own.
        if (!current.empty()) flush();
        current.assign(part);
      }
      if (hit == std::string_view::npos) break;
      begin = hit + separator.size();
    }
    flush();
    apply_overlap(out, overlap);
    return out;
  }
  out = fixed_windows(text, chunk_size, overlap);
  apply_overlap(out, overlap);
  return out;
}

std::vector<ChunkResult> chunk_semantic(std::string_view text, std::size_t overlap) {
  std::vector<ChunkResult> out;
  std::string current;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t hit = text.find(kParagraphSeparator, begin);
    const std::size_t stop = hit == std::string_view::npos ? text.size() : hit;
    const std::string_view paragraph = trim(text.substr(begin, stop - begin));
    if (!paragraph.empty()) {
      if (current.empty()) {
        current.assign(paragraph);
      } else if (current.size() + kParagraphSeparator.size() + paragraph.size() >
                 kMaxMergedChunkBytes) {
        push_chunk(out, current, out.size());
        current.assign(paragraph);
      } else {
        current.append(kParagraphSeparator);
        current.append(paragraph);
      }
    }
    if (hit == std::string_view::npos) break;
    begin = hit + kParagraphSeparator.size();
  }
  if (!current.empty()) push_chunk(out, current, out.size());
  apply_overlap(out, overlap);
  return out;
}

}  // namespace detail

std::vector<ChunkResult> chunk(std::string_view text, const ChunkStrategy& strategy) {
  std::string repaired;
  const std::string_view trimmed = detail::trim(detail::repair_utf8(text, repaired));
  if (trimmed.empty()) return {};
  return std::visit(
      [&](const auto& s) -> std::vector<ChunkResult> {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, ChunkStrategy::Fixed>) {
          return detail::fixed_windows(trimmed, s.chunk_size, s.overlap);
        } else if constexpr (std::is_same_v<S, ChunkStrategy::Recursive>) {
          return detail::chunk_recursive(trimmed, s.chunk_size, s.overlap);
        } else if constexpr (std::is_same_v<S, ChunkStrategy::Semantic>) {
          return detail::chunk_semantic(trimmed, s.overlap);
        } else if constexpr (std::is_same_v<S, ChunkStrategy::Markdown>) {
          return detail::chunk_markdown(trimmed, s.preserve_headers, s.overlap);
        } else {
          return detail::chunk_json(trimmed);
        }
      },
      strategy.kind);
}

std::vector<ChunkResult> chunk_fixed(std::string_view text, std::size_t chunk_size,
                                     std::size_t overlap) {
  std::string repaired;
  const std::string_view trimmed = detail::trim(detail::repair_utf8(text, repaired));
  if (trimmed.empty()) return {};
  return detail::fixed_windows(trimmed, chunk_size, overlap);
}

void apply_overlap(std::vector<ChunkResult>& chunks, std::size_t overlap) {
  if (overlap == 0 || chunks.size() < 2) return;
  std::vector<std::string_view> words;  // last words of the previous chunk, last one first
  std::string extended;
  for (std::size_t i = 1; i < chunks.size(); ++i) {
    // Only the last `overlap` words of the previous chunk (as already extended) are needed,
    // so scan it backwards instead of splitting it whole.
    const std::string_view previous = chunks[i - 1].text;
    words.clear();
    std::size_t pos = previous.size();
    while (pos > 0 && words.size() < overlap) {
      while (pos > 0) {  // white space before the word
        const std::size_t start = detail::previous_char_start(previous, pos);
        if (!detail::is_white_space(detail::decode_at(previous, start).code_point)) break;
        pos = start;
      }
      const std::size_t word_end = pos;
      while (pos > 0) {  // the word itself
        const std::size_t start = detail::previous_char_start(previous, pos);
        if (detail::is_white_space(detail::decode_at(previous, start).code_point)) break;
        pos = start;
      }
      if (pos < word_end) words.push_back(previous.substr(pos, word_end - pos));
    }
    if (words.empty()) continue;
    extended.clear();
    for (auto word = words.rbegin(); word != words.rend(); ++word) {
      extended.append(*word);
      extended.push_back(' ');
    }
    extended.append(chunks[i].text);
    chunks[i].text.swap(extended);
  }
}

std::optional<ChunkStrategy> chunk_strategy_from_name(std::string_view name,
                                                      std::size_t chunk_size,
                                                      std::size_t overlap) {
  if (name == "fixed") return ChunkStrategy{ChunkStrategy::Fixed{chunk_size, overlap}};
  if (name == "recursive") return ChunkStrategy{ChunkStrategy::Recursive{chunk_size, overlap}};
  if (name == "semantic") return ChunkStrategy{ChunkStrategy::Semantic{overlap}};
  if (name == "markdown") return ChunkStrategy{ChunkStrategy::Markdown{true, overlap}};
  if (name == "json") return ChunkStrategy{ChunkStrategy::Json{overlap}};
  return std::nullopt;
}

std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes) {
  if (max_bytes >= text.size()) return text;
  return text.substr(0, detail::floor_char_boundary(text, max_bytes));
}

}  // namespace tessaradb
