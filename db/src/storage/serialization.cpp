#include "storage/serialization.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "storage/frame.hpp"

namespace tessaradb {
namespace {

template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Minimum encoded sizes, used to bound counts read from input before allocating.
constexpr std::uint64_t kMinStringBytes = 8;
constexpr std::uint64_t kMinMetadataPairBytes = 2 * kMinStringBytes;
constexpr std::uint64_t kMinEdgeBytes = 8 + kMinStringBytes;
constexpr std::uint64_t kMinMemoryPairBytes = 8 + kMinEncodedEntryBytes;
constexpr std::uint64_t kMinGraphPairBytes = 8 + 8;     // key + empty list
constexpr std::uint64_t kMinTemporalPairBytes = 8 + 8;  // key + empty list

// ---- sizes ------------------------------------------------------------------------------------

std::uint64_t string_size(const std::string& s) { return 8 + s.size(); }

std::uint64_t edge_list_size(const StateMachine::EdgeListPtr& edges) {
  std::uint64_t size = 8;
  if (edges) {
    for (const Edge& edge : *edges) size += 8 + string_size(edge.relation);
  }
  return size;
}

// ---- writing ----------------------------------------------------------------------------------

// Writes into a buffer that the size pass made exactly large enough.
class Writer {
 public:
  explicit Writer(std::byte* out) : out_(out) {}

  void u8(std::uint8_t v) { *out_++ = std::byte{v}; }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) *out_++ = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) *out_++ = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
  void raw(const void* data, std::size_t n) {
    if (n != 0) std::memcpy(out_, data, n);
    out_ += n;
  }
  // IEEE-754 bit patterns, little-endian: one copy on a little-endian machine.
  void floats(const float* values, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      raw(values, n * sizeof(float));
    } else {
      for (std::size_t i = 0; i < n; ++i) f32(values[i]);
    }
  }
  void string(const std::string& s) {
    u64(s.size());
    raw(s.data(), s.size());
  }

  void entry(const MemoryEntry& e) {
    u64(e.id.value);
    string(e.namespace_);
    string(e.content);
    if (e.embedding) {
      u8(1);
      u64(e.embedding.size());
      if (e.embedding.is_contiguous()) {
        floats(e.embedding.contiguous().data(), e.embedding.size());
      } else {
        // A strided view (a row of the vector index): gathered a few at a time, then written
        // like contiguous floats.
        float gathered[64];
        std::size_t n = 0;
        for (const float x : e.embedding) {
          gathered[n++] = x;
          if (n == std::size(gathered)) {
            floats(gathered, n);
            n = 0;
          }
        }
        floats(gathered, n);
      }
    } else {
      u8(0);
    }
    u64(e.metadata.size());
    for (const auto& [key, value] : e.metadata) {
      string(key);
      string(value);
    }
    u64(e.created_at);
    f32(e.importance);
  }

  void command(const Command& c) {
    u32(static_cast<std::uint32_t>(c.index()));
    std::visit(Overloaded{
                   [&](const InsertMemory& v) { entry(v.entry); },
                   [&](const DeleteMemory& v) { u64(v.id.value); },
                   [&](const AddEdge& v) {
                     u64(v.from.value);
                     u64(v.to.value);
                     string(v.relation);
                   },
                   [&](const RemoveEdge& v) {
                     u64(v.from.value);
                     u64(v.to.value);
                   },
               },
               c);
  }

  void envelope() {
    *out_++ = kEnvelopeMarker;
    u32(0);
  }

  std::byte* position() const { return out_; }

 private:
  std::byte* out_;
};

// ---- reading ----------------------------------------------------------------------------------

SerializationError end_of_input() { return SerializationError{"unexpected end of input"}; }

SerializationError bad_variant(std::uint32_t index, std::uint32_t count) {
  return SerializationError{"invalid value: integer `" + std::to_string(index) +
                            "`, expected variant index 0 <= i < " + std::to_string(count)};
}

SerializationError too_long(std::uint64_t count, std::uint64_t remaining) {
  return SerializationError{"length " + std::to_string(count) + " exceeds the " +
                            std::to_string(remaining) + " bytes that remain"};
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += extra + 1;
  }
  return true;
}

// Consumes input front to back. Every read checks the bytes that remain first; every count is
// checked against them (divided by the smallest encoding of one element) before anything sized by
// it is allocated.
//
// The input is either one span, or a ByteSource read through a window that is refilled as the
// cursor moves: then only the window is in memory, and "the bytes that remain" are those left in
// the whole source, so every check and every error is the same as over one span of all of it.
class Cursor {
 public:
  explicit Cursor(std::span<const std::byte> in) : in_(in), total_(in.size()) {}
  Cursor(ByteSource& source, std::size_t window_bytes)
      : total_(source.size()), source_(&source), window_bytes_(window_bytes) {}

  std::uint64_t remaining() const { return total_ - (base_ + pos_); }

  Result<std::uint8_t, SerializationError> u8() {
    if (!ensure(1)) return end_of_input();
    return std::to_integer<std::uint8_t>(in_[pos_++]);
  }
  Result<std::uint32_t, SerializationError> u32() {
    if (!ensure(4)) return end_of_input();
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v |= std::uint32_t{std::to_integer<std::uint8_t>(in_[pos_++])} << (8 * i);
    }
    return v;
  }
  Result<std::uint64_t, SerializationError> u64() {
    if (!ensure(8)) return end_of_input();
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
      v |= std::uint64_t{std::to_integer<std::uint8_t>(in_[pos_++])} << (8 * i);
    }
    return v;
  }
  Result<float, SerializationError> f32() {
    auto bits = u32();
    if (!bits) return std::move(bits).error();
    return std::bit_cast<float>(*bits);
  }

  // A count of elements whose encodings take at least `min_element_bytes` each.
  Result<std::uint64_t, SerializationError> count(std::uint64_t min_element_bytes) {
    auto n = u64();
    if (!n) return n;
    if (*n > remaining() / min_element_bytes) return too_long(*n, remaining());
    return *n;
  }

  // The next `n` bytes, which the caller has checked are there (n <= remaining()); null only when
  // the source fails to deliver them. Valid until the next read.
  const std::byte* take(std::size_t n) {
    assert(n <= remaining());
    if (!ensure(n)) return nullptr;
    const std::byte* p = in_.data() + pos_;
    pos_ += n;
    return p;
  }

  Result<std::string, SerializationError> bytes() {
    auto n = count(1);
    if (!n) return std::move(n).error();
    const std::byte* p = take(static_cast<std::size_t>(*n));
    if (p == nullptr) return end_of_input();
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(*n));
  }

  Result<std::string, SerializationError> string() {
    const std::uint64_t start = base_ + pos_;
    auto s = bytes();
    if (s && !is_valid_utf8(*s)) {
      return SerializationError{"invalid utf-8 in the string at byte " + std::to_string(start)};
    }
    return s;
  }

 private:
  // Whether the next `n` bytes are in the window, refilling it from the source when they are not.
  bool ensure(std::size_t n) {
    if (in_.size() - pos_ >= n) return true;
    if (source_ == nullptr || n > remaining()) return false;
    // The window moves to the cursor's position: the unread bytes first, then as much of the
    // source as fits a window (or exactly what `n` needs, when that is more).
    const std::size_t kept = in_.size() - pos_;
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(window_bytes_, n), remaining()));
    if (window_.size() < size) {
      std::vector<std::byte> grown(size);
      if (kept != 0) std::memcpy(grown.data(), in_.data() + pos_, kept);
      window_ = std::move(grown);
    } else if (kept != 0) {
      std::memmove(window_.data(), in_.data() + pos_, kept);
    }
    base_ += pos_;
    pos_ = 0;
    const std::uint64_t read_from = base_ + kept;
    const std::size_t got =
        source_->read(read_from, std::span<std::byte>(window_.data() + kept, size - kept));
    if (got < size - kept) total_ = read_from + got;  // the source ended (or failed) early
    in_ = std::span<const std::byte>(window_.data(), kept + got);
    return in_.size() >= n;
  }

  std::span<const std::byte> in_;  // the window
  std::size_t pos_ = 0;            // in the window
  std::uint64_t base_ = 0;         // source offset of the window's first byte
  std::uint64_t total_ = 0;        // bytes in the whole input
  ByteSource* source_ = nullptr;
  std::size_t window_bytes_ = 0;
  std::vector<std::byte> window_;
};

// Each decoder returns the error of the first failing read; `if (!x) return error(x)` keeps the
// propagation plain.
template <typename R>
SerializationError error(R& r) {
  return std::move(r).error();
}

Result<MemoryEntry, SerializationError> read_entry(Cursor& in) {
  MemoryEntry e;
  auto id = in.u64();
  if (!id) return error(id);
  e.id = MemoryId{*id};
  auto ns = in.string();
  if (!ns) return error(ns);
  e.namespace_ = std::move(*ns);
  auto content = in.bytes();
  if (!content) return error(content);
  e.content = std::move(*content);
  auto tag = in.u8();
  if (!tag) return error(tag);
  if (*tag == 1) {
    auto dim = in.count(4);
    if (!dim) return error(dim);
    // count(4) has checked that all the floats are present: read them in one pass.
    const std::byte* p = in.take(static_cast<std::size_t>(*dim * 4));
    if (p == nullptr) return end_of_input();
    const std::size_t n = static_cast<std::size_t>(*dim);
    float* values = nullptr;
    e.embedding = Embedding::allocate(n, values);
    if constexpr (std::endian::native == std::endian::little) {
      if (n != 0) std::memcpy(values, p, n * sizeof(float));
    } else {
      for (std::size_t i = 0; i < n; ++i) values[i] = std::bit_cast<float>(load_u32_le(p + 4 * i));
    }
  } else if (*tag != 0) {
    return SerializationError{"invalid value: integer `" + std::to_string(*tag) +
                              "`, expected option tag 0 or 1"};
  }
  auto pairs = in.count(kMinMetadataPairBytes);
  if (!pairs) return error(pairs);
  for (std::uint64_t i = 0; i < *pairs; ++i) {
    auto key = in.string();
    if (!key) return error(key);
    auto value = in.string();
    if (!value) return error(value);
    e.metadata.insert_or_assign(std::move(*key), std::move(*value));  // a repeated key replaces
  }
  auto created = in.u64();
  if (!created) return error(created);
  e.created_at = *created;
  auto importance = in.f32();
  if (!importance) return error(importance);
  e.importance = *importance;
  return e;
}

Result<Command, SerializationError> read_command(Cursor& in) {
  auto index = in.u32();
  if (!index) return error(index);
  switch (*index) {
    case 0: {
      auto entry = read_entry(in);
      if (!entry) return error(entry);
      Command command{std::in_place_type<InsertMemory>};
      std::get<InsertMemory>(command).entry = std::move(*entry);
      return command;
    }
    case 1: {
      auto id = in.u64();
      if (!id) return error(id);
      return Command{DeleteMemory{MemoryId{*id}}};
    }
    case 2: {
      auto from = in.u64();
      if (!from) return error(from);
      auto to = in.u64();
      if (!to) return error(to);
      auto relation = in.string();
      if (!relation) return error(relation);
      return Command{AddEdge{MemoryId{*from}, MemoryId{*to}, std::move(*relation)}};
    }
    case 3: {
      auto from = in.u64();
      if (!from) return error(from);
      auto to = in.u64();
      if (!to) return error(to);
      return Command{RemoveEdge{MemoryId{*from}, MemoryId{*to}}};
    }
    default:
      return bad_variant(*index, kCommandVariantCount);
  }
}

// Strips the envelope when the payload carries one; returns the record's bytes.
Result<std::span<const std::byte>, SerializationError> open_envelope(
    std::span<const std::byte> bytes) {
  if (bytes.empty() || bytes[0] != kEnvelopeMarker) return bytes;  // pre-envelope payload
  Cursor in(bytes.subspan(1));
  auto index = in.u32();
  if (!index) return error(index);
  if (*index >= kEnvelopeVariantCount) return bad_variant(*index, kEnvelopeVariantCount);
  return bytes.subspan(kEnvelopeHeaderBytes);
}

template <typename T>
Result<std::vector<std::byte>, SerializationError> serialize(const T& record) {
  const std::uint64_t size = kEnvelopeHeaderBytes + encoded_size(record);
  if (auto fits = check_frame_payload(size); !fits) return std::move(fits).error();
  std::vector<std::byte> out(size);
  write_versioned(record, out);
  return out;
}

}  // namespace

std::uint64_t encoded_size(const MemoryEntry& e) {
  std::uint64_t size = kMinEncodedEntryBytes + e.namespace_.size() + e.content.size();
  if (e.embedding) size += 8 + 4 * static_cast<std::uint64_t>(e.embedding.size());
  for (const auto& [key, value] : e.metadata) size += 16 + key.size() + value.size();
  return size;
}

std::uint64_t encoded_size(const Command& command) {
  return 4 + std::visit(Overloaded{
                            [](const InsertMemory& v) { return encoded_size(v.entry); },
                            [](const DeleteMemory&) { return std::uint64_t{8}; },
                            [](const AddEdge& v) { return 16 + string_size(v.relation); },
                            [](const RemoveEdge&) { return std::uint64_t{16}; },
                        },
                        command);
}

std::uint64_t encoded_size(const StateMachine& state) {
  std::uint64_t size = 8;
  state.memories().for_each([&](std::uint64_t, const StateMachine::EntryPtr& entry) {
    size += 8 + encoded_size(*entry);
  });
  size += 8;
  state.graph().for_each([&](std::uint64_t, const StateMachine::EdgeListPtr& edges) {
    size += 8 + edge_list_size(edges);
  });
  size += 8;
  state.temporal_index().for_each([&](std::uint64_t, const PersistentSet& ids) {
    size += 8 + 8 + 8 * static_cast<std::uint64_t>(ids.size());
  });
  return size;
}

Result<std::vector<std::byte>, SerializationError> serialize_versioned(const MemoryEntry& entry) {
  return serialize(entry);
}

Result<std::vector<std::byte>, SerializationError> serialize_versioned(const Command& command) {
  return serialize(command);
}

void write_versioned(const MemoryEntry& entry, std::span<std::byte> out) {
  assert(out.size() == kEnvelopeHeaderBytes + encoded_size(entry));
  Writer w(out.data());
  w.envelope();
  w.entry(entry);
  assert(w.position() == out.data() + out.size());
}

void write_versioned(const Command& command, std::span<std::byte> out) {
  assert(out.size() == kEnvelopeHeaderBytes + encoded_size(command));
  Writer w(out.data());
  w.envelope();
  w.command(command);
  assert(w.position() == out.data() + out.size());
}

Result<MemoryEntry, SerializationError> decode_memory_entry(std::span<const std::byte> bytes) {
  Cursor in(bytes);
  return read_entry(in);
}

Result<Command, SerializationError> decode_command(std::span<const std::byte> bytes) {
  Cursor in(bytes);
  return read_command(in);
}

template <>
Result<MemoryEntry, SerializationError> deserialize_versioned<MemoryEntry>(
    std::span<const std::byte> bytes) {
  auto record = open_envelope(bytes);
  if (!record) return error(record);
  return decode_memory_entry(*record);
}

template <>
Result<Command, SerializationError> deserialize_versioned<Command>(
    std::span<const std::byte> bytes) {
  auto record = open_envelope(bytes);
  if (!record) return error(record);
  return decode_command(*record);
}

std::vector<std::byte> encode_checkpoint(std::uint64_t last_applied_id, const StateMachine& state,
                                         std::uint32_t version) {
  std::vector<std::byte> out(kCheckpointHeaderBytes + encoded_size(state));
  Writer w(out.data());
  w.u32(version);
  w.u64(last_applied_id);
  w.u64(state.memories().size());
  state.memories().for_each([&](std::uint64_t id, const StateMachine::EntryPtr& entry) {
    w.u64(id);
    w.entry(*entry);
  });
  w.u64(state.graph().size());
  state.graph().for_each([&](std::uint64_t from, const StateMachine::EdgeListPtr& edges) {
    w.u64(from);
    w.u64(edges ? edges->size() : 0);
    if (!edges) return;
    for (const Edge& edge : *edges) {
      w.u64(edge.to.value);
      w.string(edge.relation);
    }
  });
  w.u64(state.temporal_index().size());
  state.temporal_index().for_each([&](std::uint64_t created_at, const PersistentSet& ids) {
    w.u64(created_at);
    w.u64(ids.size());
    ids.for_each([&](std::uint64_t id) { w.u64(id); });
  });
  assert(w.position() == out.data() + out.size());
  return out;
}

namespace {

Result<CheckpointData, SerializationError> read_checkpoint(Cursor& in,
                                                           const DecodedEntryHook& on_entry) {
  CheckpointData data;
  auto version = in.u32();
  if (!version) return error(version);
  data.version = *version;
  auto last = in.u64();
  if (!last) return error(last);
  data.last_applied_id = *last;

  StateMachine::MemoryMap memories;
  auto memory_count = in.count(kMinMemoryPairBytes);
  if (!memory_count) return error(memory_count);
  for (std::uint64_t i = 0; i < *memory_count; ++i) {
    auto key = in.u64();
    if (!key) return error(key);
    auto entry = read_entry(in);
    if (!entry) return error(entry);
    if (entry->id.value != *key) {
      return SerializationError{"memory stored under key " + std::to_string(*key) +
                                " has id " + std::to_string(entry->id.value)};
    }
    if (on_entry) on_entry(*entry);
    memories.insert_or_assign(*key, std::make_shared<const MemoryEntry>(std::move(*entry)));
  }

  StateMachine::GraphMap graph;
  auto source_count = in.count(kMinGraphPairBytes);
  if (!source_count) return error(source_count);
  for (std::uint64_t i = 0; i < *source_count; ++i) {
    auto from = in.u64();
    if (!from) return error(from);
    auto edge_count = in.count(kMinEdgeBytes);
    if (!edge_count) return error(edge_count);
    auto edges = std::make_shared<StateMachine::EdgeList>();
    edges->reserve(*edge_count);
    for (std::uint64_t j = 0; j < *edge_count; ++j) {
      auto to = in.u64();
      if (!to) return error(to);
      auto relation = in.string();
      if (!relation) return error(relation);
      edges->push_back(Edge{MemoryId{*to}, std::move(*relation)});
    }
    // The state keeps each list sorted and free of duplicates; a list from any other writer is
    // brought into that form rather than trusted.
    if (!std::is_sorted(edges->begin(), edges->end()) ||
        std::adjacent_find(edges->begin(), edges->end()) != edges->end()) {
      std::stable_sort(edges->begin(), edges->end());
      edges->erase(std::unique(edges->begin(), edges->end()), edges->end());
    }
    graph.insert_or_assign(*from, std::move(edges));
  }

  StateMachine::TemporalIndex temporal;
  auto time_count = in.count(kMinTemporalPairBytes);
  if (!time_count) return error(time_count);
  for (std::uint64_t i = 0; i < *time_count; ++i) {
    auto created_at = in.u64();
    if (!created_at) return error(created_at);
    auto id_count = in.count(8);
    if (!id_count) return error(id_count);
    PersistentSet ids;
    for (std::uint64_t j = 0; j < *id_count; ++j) {
      auto id = in.u64();
      if (!id) return error(id);
      ids.insert(*id);
    }
    temporal.insert_or_assign(*created_at, std::move(ids));
  }

  data.state_machine =
      StateMachine::from_parts(std::move(memories), std::move(graph), std::move(temporal));
  return data;
}

}  // namespace

Result<CheckpointData, SerializationError> decode_checkpoint(std::span<const std::byte> bytes) {
  Cursor in(bytes);
  return read_checkpoint(in, {});
}

Result<CheckpointData, SerializationError> decode_checkpoint(ByteSource& source,
                                                             std::size_t window_bytes,
                                                             const DecodedEntryHook& on_entry) {
  Cursor in(source, window_bytes);
  return read_checkpoint(in, on_entry);
}

}  // namespace tessaradb
