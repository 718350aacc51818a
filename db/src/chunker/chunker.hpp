#pragma once

// Text chunker: splits a text into chunks for embedding.
//
// Five strategies: fixed byte windows, separator-based (recursive) splitting, paragraph
// merging (semantic), markdown sections and the leaves of a JSON document. The chunker is a
// pure function of its input: no state between calls, no I/O, no locking. Concurrent calls
// from any number of threads are safe (the markdown expressions are compiled once per process
// and shared read-only).
//
// Lengths and positions are bytes of UTF-8 text. "Trim" removes leading and trailing Unicode
// White_Space (not only ASCII); a "word" is a maximal run of characters that are not Unicode
// White_Space.
//
// Input that is not valid UTF-8 is accepted and never read out of bounds: before chunking,
// every ill-formed sequence is replaced by U+FFFD (one replacement per maximal ill-formed
// subpart, as Unicode recommends). Chunk texts are therefore always valid UTF-8. Valid input
// is used as is, without a copy.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaradb {

// Metadata of one chunk. Only the json strategy sets it, and then sets both fields: `key` is
// the leaf's path ("a.b", "a.list[0]", "" for a scalar root) and `value` the leaf's text.
struct ChunkMetadata {
  std::optional<std::string> key;
  std::optional<std::string> value;

  friend bool operator==(const ChunkMetadata&, const ChunkMetadata&) = default;
};

// One chunk. `index` is its position number as the strategy assigned it (0, 1, 2, ...);
// word overlap never changes it.
struct ChunkResult {
  std::string text;
  std::size_t index = 0;
  std::optional<ChunkMetadata> metadata;

  friend bool operator==(const ChunkResult&, const ChunkResult&) = default;
};

// The strategy and its parameters.
//   Fixed:     byte windows of `chunk_size` bytes, consecutive windows sharing `overlap` bytes.
//   Recursive: split at the first separator that occurs ("\n\n\n", "\n\n", "\n", the literal
//              ".!?", the literal ",;: "), merge parts up to `chunk_size` bytes; fixed windows
//              when none occurs. Then `overlap` words of overlap.
//   Semantic:  paragraphs (split at "\n\n") merged up to 2048 bytes; `overlap` words of overlap.
//   Markdown:  sections started by header lines, code blocks replaced by " [CODE_BLOCK] ",
//              cut when longer than 2048 bytes; each chunk starts with its section's header
//              when `preserve_headers`. Then `overlap` words of overlap.
//   Json:      one chunk per leaf of the document, with path and value as metadata; `overlap`
//              is accepted and not used.
struct ChunkStrategy {
  struct Fixed {
    std::size_t chunk_size = 0;
    std::size_t overlap = 0;
  };
  struct Recursive {
    std::size_t chunk_size = 0;
    std::size_t overlap = 0;
  };
  struct Semantic {
    std::size_t overlap = 0;
  };
  struct Markdown {
    bool preserve_headers = true;
    std::size_t overlap = 0;
  };
  struct Json {
    std::size_t overlap = 0;
  };
  std::variant<Fixed, Recursive, Semantic, Markdown, Json> kind;
};

// Fixed size of the semantic and markdown merges, in bytes.
inline constexpr std::size_t kMaxMergedChunkBytes = 2048;
// What the markdown strategy puts in place of each fenced code block.
inline constexpr std::string_view kCodeBlockMarker = " [CODE_BLOCK] ";

// Returns the chunks of `text` under `strategy`, in order. Always succeeds (only allocation
// can fail, with std::bad_alloc): an empty or white-space-only text gives an empty list under
// every strategy, and invalid JSON under the json strategy gives one chunk holding the
// trimmed text. Cost is linear in the text's length plus the size of the result. Note that
// word overlap copies up to `overlap` words into each chunk from the previous, already
// extended chunk: an overlap larger than a chunk's word count carries every earlier word
// forward, and the result then grows with the square of the number of chunks.
std::vector<ChunkResult> chunk(std::string_view text, const ChunkStrategy& strategy);

// The fixed strategy on `text` (which it trims first). Empty when `chunk_size` is 0 or
// `overlap` >= `chunk_size`. Windows start every `chunk_size - overlap` bytes; a window that
// does not reach the end of the text ends before its last space (byte 0x20) when that space
// lies after the window's start. Each piece is trimmed; empty pieces are dropped and take no
// index. No window cuts a UTF-8 character: a start or end that falls inside a character moves
// back to that character's first byte, so with overlap 0 every character lands in exactly one
// window. For texts where every cut falls on a character boundary (all ASCII texts) the
// windows are exactly the byte windows above.
std::vector<ChunkResult> chunk_fixed(std::string_view text, std::size_t chunk_size,
                                     std::size_t overlap);

// Word overlap: unless `overlap` is 0 or there are fewer than two chunks, each chunk after the
// first is prefixed by the last min(overlap, n) words of the previous chunk as already
// extended, joined by single spaces, then one space. `index` and `metadata` are unchanged.
void apply_overlap(std::vector<ChunkResult>& chunks, std::size_t overlap);

// The strategy for an already lower-cased name: "fixed" and "recursive" take `chunk_size` and
// `overlap`; "semantic" and "json" take `overlap`; "markdown" takes `overlap` with header
// preservation on. Empty for any other name (exact match: no trimming, no case folding).
std::optional<ChunkStrategy> chunk_strategy_from_name(std::string_view name,
                                                      std::size_t chunk_size,
                                                      std::size_t overlap);

// The longest prefix of `text` of at most `max_bytes` bytes that does not end inside a UTF-8
// character (a cut inside a character moves back to its first byte). For valid UTF-8 whose byte
// `max_bytes` starts a character, and for all ASCII text, exactly the first `max_bytes` bytes.
std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes);

}  // namespace tessaradb
