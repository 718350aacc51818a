// libFuzzer target: the segment index rebuild. The input becomes one to three segment files
// (byte 0 picks how many, then one u16 LE length per file but the last, which takes the rest),
// and SegmentStorage::open rebuilds its index over them; every entry it indexes must then read
// back. No input may crash, hang or allocate much more than its own size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "storage/segment.hpp"

using namespace tessaradb;

namespace {

// A tmpfs directory when there is one: open syncs the directory and the new segment file.
std::filesystem::path scratch() {
  const std::filesystem::path base =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  return base / ("fuzz-segments-" + std::to_string(getpid()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dir = scratch();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::size_t at = 0;
  const std::size_t files = size > 0 ? data[at++] % 3 + 1 : 1;
  for (std::size_t i = 0; i < files; ++i) {
    std::size_t length = size - at;
    if (i + 1 < files) {
      length = 0;
      if (at + 2 <= size) length = data[at] | (static_cast<std::size_t>(data[at + 1]) << 8);
      at = std::min(size, at + 2);
      length = std::min(length, size - at);
    }
    std::ofstream out(dir / ("00000" + std::to_string(i) + ".seg"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(data + at), static_cast<std::streamsize>(length));
    at += length;
  }
  auto storage = SegmentStorage::open(dir);
  if (!storage) return 0;
  auto entries = storage->get_all_live_entries();
  if (!entries) return 0;
  for (const auto& [id, entry] : *entries) {
    auto read = storage->read_entry(id);
    if (!read || read->id.value != entry.id.value) std::abort();
  }
  return 0;
}
