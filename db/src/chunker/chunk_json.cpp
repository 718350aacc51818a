#include "chunker/chunk_json.hpp"

#include <cmath>

#include "chunker/strategies.hpp"

namespace tessaradb {

namespace {

// The text of a scalar, or nothing for a number that is not finite.
std::optional<std::string> leaf_text(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return std::string("null");
    case nlohmann::json::value_t::boolean:
      return std::string(value.get<bool>() ? "true" : "false");
    case nlohmann::json::value_t::string:
      return value.get_ref<const std::string&>();
    case nlohmann::json::value_t::number_float:
      if (!std::isfinite(value.get<double>())) return std::nullopt;
      return value.dump();
    default:  // integers; binary values cannot come from text
      return value.dump();
  }
}

// One container being walked: where it is, how far the walk has got, and the length of its
// path in the shared path buffer.
struct Frame {
  const nlohmann::json* container;
  nlohmann::json::const_iterator next;
  std::size_t position;
  std::size_t path_length;
};

}  // namespace

bool flatten_json(const nlohmann::json& value, const std::string& prefix,
                  std::vector<ChunkResult>& out, std::size_t& counter) {
  const std::size_t out_size = out.size();
  const std::size_t counter_start = counter;
  const auto fail = [&] {
    out.resize(out_size);
    counter = counter_start;
    return false;
  };
  const auto emit_leaf = [&](const nlohmann::json& leaf, const std::string& path) {
    std::optional<std::string> text = leaf_text(leaf);
    if (!text) return false;
    out.push_back(ChunkResult{*text, counter, ChunkMetadata{path, std::move(*text)}});
    ++counter;
    return true;
  };

  if (!value.is_structured()) return emit_leaf(value, prefix) ? true : fail();

  // One path buffer, cut back to the container's path before each child, keeps memory linear
  // in the depth (a path per frame would grow with the square of it).
  std::string path = prefix;
  std::vector<Frame> stack;
  stack.push_back(Frame{&value, value.cbegin(), 0, path.size()});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.container->cend()) {
      stack.pop_back();
      continue;
    }
    const nlohmann::json& child = *frame.next;
    path.resize(frame.path_length);
    if (frame.container->is_array()) {
      path += '[';
      path += std::to_string(frame.position);
      path += ']';
    } else {
      if (!path.empty()) path += '.';
      path += frame.next.key();
    }
    ++frame.next;
    ++frame.position;
    // `frame` may dangle once the stack grows; it is not used below.
    if (child.is_structured()) {
      stack.push_back(Frame{&child, child.cbegin(), 0, path.size()});
    } else if (!emit_leaf(child, path)) {
      return fail();
    }
  }
  return true;
}

namespace detail {

std::vector<ChunkResult> chunk_json(std::string_view text) {
  std::vector<ChunkResult> whole;
  whole.push_back(ChunkResult{std::string(text), 0, std::nullopt});

  // Strict: exactly one value, JSON white space around it, no comments. With exceptions
  // off, a syntax error yields a discarded value instead of throwing.
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  } catch (const nlohmann::json::exception&) {
    return whole;
  }
  if (document.is_discarded()) return whole;

  std::vector<ChunkResult> out;
  std::size_t counter = 0;
  if (!flatten_json(document, std::string(), out, counter) || out.empty()) return whole;
  return out;
}

}  // namespace detail

}  // namespace tessaradb
