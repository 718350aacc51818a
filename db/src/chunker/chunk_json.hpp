#pragma once

// The json strategy's walk over a parsed document. Kept apart from chunker.hpp so that only
// code that works with nlohmann::json values sees that library.

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chunker/chunker.hpp"

namespace tessaradb {

// Appends one chunk per leaf of `value` to `out`, depth first, numbering them from `counter`
// (which it advances). A leaf's path is `prefix` extended by ".key" for object members (just
// "key" while the path is empty) and "[i]" for array elements; members come in ascending byte
// order of their keys. The chunk's text and metadata value are the leaf's text: "null",
// "true"/"false", a number as the reader prints it (integers in plain decimal, other numbers
// in the shortest form that reads back to the same double), or a string's content without
// quotes or escapes. Empty arrays and objects contribute nothing.
//
// Returns false, having appended nothing, if the document holds a number that is not finite
// (a reader can produce one from a literal such as 1e400); such a document has no faithful
// leaf text. The walk keeps its own stack, so nesting depth is bounded by memory only.
bool flatten_json(const nlohmann::json& value, const std::string& prefix,
                  std::vector<ChunkResult>& out, std::size_t& counter);

}  // namespace tessaradb
