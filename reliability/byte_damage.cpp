// Byte damage: truncates at every offset and flips every byte of a 20-frame log, of each file of
// a 3-file segments directory and of a 50-memory checkpoint, then opens the directory. Nothing
// may crash (run it under the sanitizers); each case is counted as opened (with the number of
// memories lost against the undamaged state) or refused with an error.

#include <cstdio>
#include <fstream>
#include <string>

#include "harness.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::reliability {
namespace {

struct Figures {
  std::uint64_t cases = 0, opened = 0, refused = 0, lost = 0, peak_over = 0;
};

std::vector<char> read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void write_all(const std::filesystem::path& p, const std::vector<char>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void damage_file(const std::filesystem::path& pristine, const std::filesystem::path& rel,
                 std::size_t expected, Figures& f, const char* label) {
  const auto original = read_all(pristine / rel);
  Figures local;
  testing::TempDir work;
  for (int mode = 0; mode < 2; ++mode) {
    for (std::size_t at = 0; at < original.size(); ++at) {
      const auto dir = work.path() / "db";
      std::filesystem::remove_all(dir);
      std::filesystem::copy(pristine, dir, std::filesystem::copy_options::recursive);
      auto bytes = original;
      if (mode == 0) bytes.resize(at);
      else bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
      write_all(dir / rel, bytes);
      ++local.cases;
      reset_peak_heap();
      auto store = open_store(store_options(dir));
      if (can_measure_heap() && peak_heap_bytes() > 2 * original.size() + (8u << 20)) ++local.peak_over;
      if (!store) {
        ++local.refused;
        continue;
      }
      ++local.opened;
      const auto n = (*store)->state_machine().memory_count();
      if (n < expected) local.lost += expected - n;
    }
  }
  std::printf("  %s: %llu cases, opened=%llu (memories lost %llu), refused=%llu\n", label,
              static_cast<unsigned long long>(local.cases), static_cast<unsigned long long>(local.opened),
              static_cast<unsigned long long>(local.lost), static_cast<unsigned long long>(local.refused));
  f.cases += local.cases;
  f.opened += local.opened;
  f.refused += local.refused;
  f.lost += local.lost;
  f.peak_over += local.peak_over;
}

MemoryEntry entry(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = "m" + std::to_string(id);
  e.embedding = std::vector<float>(kDimension, static_cast<float>(id));
  return e;
}

}  // namespace
}  // namespace tessaradb::reliability

int main() {
  using namespace tessaradb;
  using namespace tessaradb::reliability;
  Figures f;
  testing::TempDir root;
  {  // a 20-frame log, its segments in three files (one per session)
    const auto dir = root.path() / "log";
    std::filesystem::create_directories(dir);
    for (std::uint64_t session = 0; session < 3; ++session) {
      auto store = open_store(store_options(dir));
      if (!store) return 1;
      for (std::uint64_t id = session * 7 + 1; id <= std::min<std::uint64_t>(20, session * 7 + 7); ++id) {
        if (!(*store)->insert_memory(entry(id))) return 1;
      }
    }
    damage_file(dir, "tessaradb.wal", 20, f, "log (20 frames)");
    for (const char* seg : {"segments/000000.seg", "segments/000001.seg", "segments/000002.seg"}) {
      damage_file(dir, seg, 20, f, seg);
    }
  }
  {  // a 50-memory checkpoint (the log is empty after it)
    const auto dir = root.path() / "ckpt";
    std::filesystem::create_directories(dir);
    auto store = open_store(store_options(dir));
    if (!store) return 1;
    for (std::uint64_t id = 1; id <= 50; ++id) {
      if (!(*store)->insert_memory(entry(id))) return 1;
    }
    if (!(*store)->checkpoint_now()) return 1;
    store->reset();
    damage_file(dir, "tessaradb.ckpt", 50, f, "checkpoint (50 memories)");
  }
  std::printf("byte-damage: %llu cases, crashes=0, hangs=0, opened=%llu, refused=%llu, memories_lost=%llu, "
              "peak_heap_over_2x_file=%llu%s\n",
              static_cast<unsigned long long>(f.cases), static_cast<unsigned long long>(f.opened),
              static_cast<unsigned long long>(f.refused), static_cast<unsigned long long>(f.lost),
              static_cast<unsigned long long>(f.peak_over), can_measure_heap() ? "" : " (heap not measured)");
  return f.peak_over == 0 ? 0 : 1;
}
