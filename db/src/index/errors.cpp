#include "index/errors.hpp"

#include <type_traits>

namespace tessaradb {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

std::string dimension_text(std::uint64_t expected, std::uint64_t actual) {
  return "Dimension mismatch: expected " + std::to_string(expected) + ", got " +
         std::to_string(actual);
}

// A string in the quoted debug form: backslash, quote and control characters escaped.
std::string quoted(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\u{";
          if (u >= 0x10) out += kHex[u >> 4];
          out += kHex[u & 0xf];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string VectorError::message() const {
  return std::visit(
      Overloaded{
          [](const DimensionMismatch& e) { return dimension_text(e.expected, e.actual); },
          [](const EmptyQuery&) { return std::string("Empty query vector"); },
          [](const ZeroVector&) { return std::string("Zero vector provided (magnitude is 0)"); },
          [](const NoEmbeddings&) { return std::string("No embeddings indexed"); },
          [](const InvalidTopK& e) { return "Invalid top_k: " + std::to_string(e.top_k); },
      },
      kind);
}

std::string HnswError::message() const {
  return std::visit(
      Overloaded{
          [](const UsearchError& e) { return "USearch error: " + e.message; },
          [](const DimensionMismatch& e) { return dimension_text(e.expected, e.actual); },
          [](const NoVectors&) { return std::string("No vectors indexed"); },
          [](const IoError& e) { return "IO error: " + e.inner.message(); },
          [](const LockError&) { return std::string("Lock error"); },
      },
      kind);
}

std::string HnswError::debug_string() const {
  return std::visit(
      Overloaded{
          [](const UsearchError& e) { return "UsearchError(" + quoted(e.message) + ")"; },
          [](const DimensionMismatch& e) {
            return "DimensionMismatch { expected: " + std::to_string(e.expected) +
                   ", actual: " + std::to_string(e.actual) + " }";
          },
          [](const NoVectors&) { return std::string("NoVectors"); },
          [](const IoError& e) { return "IoError(" + quoted(e.inner.message()) + ")"; },
          [](const LockError&) { return std::string("LockError"); },
      },
      kind);
}

std::string GraphError::message() const {
  return std::visit(
      Overloaded{
          [](const MemoryNotFound& e) { return "Memory not found: " + debug_string(e.id); },
          [](const InvalidMaxHops& e) { return "Invalid max_hops: " + std::to_string(e.max_hops); },
      },
      kind);
}

}  // namespace tessaradb
