#pragma once

// The strategies behind chunk(). Each takes text that is already well-formed UTF-8 and
// trimmed, and not empty; chunk() and chunk_fixed() establish that before calling.

#include <cstddef>
#include <string_view>
#include <vector>

#include "chunker/chunker.hpp"

namespace tessaradb::detail {

std::vector<ChunkResult> fixed_windows(std::string_view text, std::size_t chunk_size,
                                       std::size_t overlap);
std::vector<ChunkResult> chunk_recursive(std::string_view text, std::size_t chunk_size,
                                         std::size_t overlap);
std::vector<ChunkResult> chunk_semantic(std::string_view text, std::size_t overlap);
std::vector<ChunkResult> chunk_markdown(std::string_view text, bool preserve_headers,
                                        std::size_t overlap);
std::vector<ChunkResult> chunk_json(std::string_view text);

}  // namespace tessaradb::detail
