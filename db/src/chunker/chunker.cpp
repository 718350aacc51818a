#include "chunker/chunker.hpp"

namespace tessaradb {

std::vector<ChunkResult> chunk(std::string_view, const ChunkStrategy&) { return {}; }

std::vector<ChunkResult> chunk_fixed(std::string_view, std::size_t, std::size_t) { return {}; }

void apply_overlap(std::vector<ChunkResult>&, std::size_t) {}

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
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

}  // namespace tessaradb
