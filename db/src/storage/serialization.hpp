#pragma once

// The byte encoding of every record that reaches disk.
//
// A record is its fields in declared order with nothing between them: integers little-endian and
// fixed width (u8, u32, u64), floats as their IEEE-754 bit pattern (4 bytes LE), strings and byte
// vectors as a u64 length then the bytes, lists and maps as a u64 count then the elements (a map
// entry is key then value), optionals as a tag byte (0 absent, 1 present) then the value, and
// tagged unions as a u32 variant index then the variant's fields.
//
// Log and segment payloads are wrapped in the versioned envelope: the marker byte 0xFF, the u32
// envelope variant index 0, then the record. A bare command starts with its variant index (first
// byte 0..3), never with 0xFF, which is how payloads written before the envelope are told apart.
// A checkpoint body (`CheckpointData`) is bare: it carries its own version.
//
// Decoders read through a bounds-checked cursor: every length and count is checked against the
// bytes that remain before anything is allocated, so damaged input gives an error value and never
// a crash, an over-read or an allocation larger than the input. Bytes after a complete record are
// ignored.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/command.hpp"
#include "core/memory_entry.hpp"
#include "core/result.hpp"
#include "core/state_machine.hpp"

namespace tessaradb {

// Marker byte and size of the versioned envelope's prefix.
inline constexpr std::byte kEnvelopeMarker{0xFF};
inline constexpr std::size_t kEnvelopeHeaderBytes = 5;  // marker + u32 envelope index
inline constexpr std::uint32_t kEnvelopeVariantCount = 1;
inline constexpr std::uint32_t kCommandVariantCount = 4;

// Encoded size of a MemoryEntry without any string, content, embedding or metadata.
inline constexpr std::size_t kMinEncodedEntryBytes = 45;

// The version every checkpoint is written with, and the only one read.
inline constexpr std::uint32_t kCheckpointVersion = 1;
// A checkpoint's fixed prefix: version (u32) and last_applied_id (u64).
inline constexpr std::size_t kCheckpointHeaderBytes = 12;

// Why encoding or decoding failed, e.g. "unexpected end of input" or
// "invalid value: integer `5`, expected variant index 0 <= i < 4".
struct SerializationError {
  std::string text;
  const std::string& message() const { return text; }
};

// The body of a checkpoint file.
struct CheckpointData {
  std::uint32_t version = kCheckpointVersion;
  std::uint64_t last_applied_id = 0;
  StateMachine state_machine;
};

// Exact encoded sizes of the bare records (no envelope).
std::uint64_t encoded_size(const MemoryEntry& entry);
std::uint64_t encoded_size(const Command& command);
std::uint64_t encoded_size(const StateMachine& state);

// Enveloped bytes of a record: 0xFF, u32 0, then the record; one exact-size allocation. Fails only
// when the enveloped record would not fit a frame (more than 4294967295 bytes), which is checked
// before anything is allocated.
Result<std::vector<std::byte>, SerializationError> serialize_versioned(const MemoryEntry& entry);
Result<std::vector<std::byte>, SerializationError> serialize_versioned(const Command& command);

// Writes the enveloped record into `out`, which must hold exactly kEnvelopeHeaderBytes +
// encoded_size(record) bytes. For callers that place the payload inside a larger buffer (a frame).
void write_versioned(const MemoryEntry& entry, std::span<std::byte> out);
void write_versioned(const Command& command, std::span<std::byte> out);

// Decodes a payload as a record of type T (MemoryEntry or Command). A payload whose first byte is
// 0xFF is enveloped: it needs at least 5 bytes and envelope index 0 ("variant index 0 <= i < 1").
// Any other payload, including an empty one, is decoded as a bare record.
template <typename T>
Result<T, SerializationError> deserialize_versioned(std::span<const std::byte> bytes);
template <>
Result<MemoryEntry, SerializationError> deserialize_versioned<MemoryEntry>(
    std::span<const std::byte> bytes);
template <>
Result<Command, SerializationError> deserialize_versioned<Command>(
    std::span<const std::byte> bytes);

// Bare record decoders (no envelope check), for payloads known to be pre-envelope.
Result<MemoryEntry, SerializationError> decode_memory_entry(std::span<const std::byte> bytes);
Result<Command, SerializationError> decode_command(std::span<const std::byte> bytes);

// The bare encoding of a checkpoint body: version, last_applied_id, then the state's memories and
// graph (in the trie's order) and its temporal index (ascending keys). One exact-size allocation.
std::vector<std::byte> encode_checkpoint(std::uint64_t last_applied_id, const StateMachine& state,
                                         std::uint32_t version = kCheckpointVersion);

// Decodes a checkpoint body. The version is returned as read; checking it is the caller's job.
// Edge lists are normalised to sorted, duplicate-free order; a memory stored under a key that is
// not its own id is a decode error.
Result<CheckpointData, SerializationError> decode_checkpoint(std::span<const std::byte> bytes);

// Bytes read on demand, for decoding input too large to hold at once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The number of bytes the source holds.
  virtual std::uint64_t size() const = 0;
  // Reads up to out.size() bytes at `offset`; fewer only when the source ends or fails first.
  virtual std::size_t read(std::uint64_t offset, std::span<std::byte> out) = 0;
};

// Called by the checkpoint decoder for each memory it has read, in file order, before the memory
// enters the state. It may replace the entry's embedding by one holding the same floats (for
// instance a view of storage that already holds them, so the decoded copy is freed at once) and
// must change nothing else.
using DecodedEntryHook = std::function<void(MemoryEntry&)>;

// decode_checkpoint over a source read through a window of about `window_bytes` (larger only for
// a single string or embedding that needs more): the same result and the same errors as decoding
// all of its bytes at once, without holding them. A source that fails or ends early decodes as
// what it delivered.
// `on_entry`, when set, sees each memory as described at DecodedEntryHook.
Result<CheckpointData, SerializationError> decode_checkpoint(
    ByteSource& source, std::size_t window_bytes, const DecodedEntryHook& on_entry = {});

}  // namespace tessaradb
