// libFuzzer target: the record, command and checkpoint decoders, and the tolerant log reader.
// A record that decodes must encode and decode back to an equal record. No input may crash,
// hang or allocate much more than its own size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include <unistd.h>

#include "storage/serialization.hpp"
#include "storage/wal.hpp"

using namespace tessaradb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  if (auto entry = deserialize_versioned<MemoryEntry>(bytes)) {
    auto encoded = serialize_versioned(*entry);
    if (!encoded) std::abort();
    auto again = deserialize_versioned<MemoryEntry>(*encoded);
    if (!again) std::abort();
    // NaN floats never compare equal; compare the encodings instead.
    auto re_encoded = serialize_versioned(*again);
    if (!re_encoded || *re_encoded != *encoded) std::abort();
  }
  (void)deserialize_versioned<Command>(bytes);
  (void)decode_checkpoint(bytes);
  static const std::filesystem::path log =
      std::filesystem::temp_directory_path() / ("fuzz-wal-" + std::to_string(getpid()) + ".wal");
  {
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  (void)read_all_tolerant(log);
  return 0;
}
