// Byte damage: truncates at every offset and flips every byte of a 20-frame log, of each file of
// a 3-file segments directory and of a 50-memory checkpoint, and at sampled offsets of the HNSW
// file of a small HNSW-mode database; then opens the directory. Run under AddressSanitizer and
// UndefinedBehaviorSanitizer (reliability/run.sh does): nothing may crash, hang (a case that
// runs past its alarm ends the program) or allocate more than twice the damaged file beyond
// what opening the undamaged directory allocates.
//
// Each case is classified by what the open did, per damage class (file kind x truncate/flip):
//   unchanged  opened with the undamaged state;
//   cut        opened with the state of a prefix of the writes (the damaged tail dropped);
//   error      refused with an error;
//   rebuild    (HNSW) the graph file was refused and rebuilt from the state, which is intact;
//   other      opened with any other state: a damaged record was taken for a good one.
// "good lost" counts records written wholly before the damaged byte that the open lost; for a
// checkpoint, every surviving memory must equal the original (content, not only the count).
// The allocation peak is measured through the sanitizer's allocator hooks, so a build without
// AddressSanitizer fails unless RELIABILITY_ALLOW_UNMEASURED_HEAP is set (for a quick local run).

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "harness.hpp"
#include "index/hnsw.hpp"
#include "storage/frame.hpp"
#include "testing/reliability_page_cache_fs.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::reliability {
namespace {

enum class Outcome { Unchanged, Cut, Error, Rebuild, Other };
constexpr const char* kOutcomeNames[] = {"unchanged", "cut", "error", "rebuild", "other"};

struct ClassFigures {
  std::uint64_t cases = 0;
  std::uint64_t outcomes[5] = {};
  std::uint64_t records_lost = 0;  // memories missing against the undamaged state
  std::uint64_t good_lost = 0;     // ... of those, written wholly before the damage
  std::uint64_t content_mismatch = 0;  // opened, but a surviving memory differs
  std::uint64_t search_fail = 0;       // HNSW: the opened database could not answer a search
  std::uint64_t peak_over = 0;
  std::uint64_t peak_max = 0;      // the largest allocation peak above the undamaged open's
  std::uint64_t file_bytes = 0;    // the largest damaged file
};

struct Totals {
  std::uint64_t cases = 0, content_mismatch = 0, good_lost = 0, peak_over = 0, search_fail = 0,
                checkpoint_flips_undetected = 0;
  std::uint64_t worst_excess = 0;  // the largest peak above the undamaged open, in bytes
};

std::vector<char> read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void write_all(const std::filesystem::path& p, const std::vector<char>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A case that runs this long is a hang; the alarm ends the program with a message.
constexpr unsigned kCaseSeconds = 60;
const char* g_current_case = "";
void on_alarm(int) {
  const char prefix[] = "byte-damage: hang in ";
  (void)!write(2, prefix, sizeof prefix - 1);
  (void)!write(2, g_current_case, std::strlen(g_current_case));
  (void)!write(2, "\n", 1);
  _exit(2);
}

// One damaged file: where its frames end (for "good lost") and which memory each frame holds.
struct Target {
  std::string label;                  // "log", "segments", "checkpoint", "hnsw"
  std::filesystem::path rel;          // the file inside the database directory
  std::vector<MemoryId> frame_ids;    // the memory of each frame, in file order (log, segments)
  bool sampled = false;               // sampled offsets instead of every offset
};

// End offsets of the frames of an undamaged log or segment file.
std::vector<std::uint64_t> frame_ends(const std::vector<char>& bytes) {
  std::vector<std::uint64_t> ends;
  std::uint64_t at = 0;
  while (at + kFrameHeaderBytes <= bytes.size()) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(bytes[at + i]);
    at += kFrameHeaderBytes + length;
    if (at > bytes.size()) break;
    ends.push_back(at);
  }
  return ends;
}

// Offsets to damage: every one, or (sampled) every byte of the first 256 and an even spread of
// about 600 beyond.
std::vector<std::size_t> offsets(std::size_t size, bool sampled) {
  std::vector<std::size_t> out;
  const std::size_t dense = sampled ? std::min<std::size_t>(size, 256) : size;
  for (std::size_t i = 0; i < dense; ++i) out.push_back(i);
  if (sampled && size > dense) {
    const std::size_t stride = std::max<std::size_t>(1, (size - dense) / 600);
    for (std::size_t i = dense; i < size; i += stride) out.push_back(i);
  }
  return out;
}

class Damager {
 public:
  Damager(std::filesystem::path pristine, StoreOptions (*options)(const std::filesystem::path&),
          const std::vector<MemoryEntry>& originals)
      : pristine_(std::move(pristine)), options_(options), originals_(originals) {
    for (const auto& e : originals_) expected_.insert_memory(e);
  }

  void run(const Target& t, std::map<std::string, ClassFigures>& figures) {
    const auto original = read_all(pristine_ / t.rel);
    const auto ends = t.frame_ids.empty() ? std::vector<std::uint64_t>{} : frame_ends(original);
    const std::uint64_t baseline = undamaged_peak();
    for (int mode = 0; mode < 2; ++mode) {
      auto& f = figures[t.label + (mode == 0 ? " truncate" : " flip")];
      f.file_bytes = std::max<std::uint64_t>(f.file_bytes, original.size());
      for (const std::size_t at : offsets(original.size(), t.sampled)) {
        const auto dir = work_.path() / "db";
        std::filesystem::remove_all(dir);
        std::filesystem::copy(pristine_, dir, std::filesystem::copy_options::recursive);
        auto bytes = original;
        if (mode == 0) bytes.resize(at);
        else bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        write_all(dir / t.rel, bytes);
        name_ = t.rel.string() + (mode == 0 ? " truncated at " : " flipped at ") + std::to_string(at);
        g_current_case = name_.c_str();
        ++f.cases;
        alarm(kCaseSeconds);
        one_case(dir, t, at, ends, baseline, original.size(), f);
        alarm(0);
      }
    }
  }

 private:
  std::uint64_t undamaged_peak() {
    const auto dir = work_.path() / "db";
    std::filesystem::remove_all(dir);
    std::filesystem::copy(pristine_, dir, std::filesystem::copy_options::recursive);
    testing::PageCacheFileSystem fs(dir, /*real_syncs=*/false);
    reset_peak_heap();
    { auto store = open_store(options_(dir), fs); }
    return peak_heap_bytes();
  }

  void one_case(const std::filesystem::path& dir, const Target& t, std::size_t at,
                const std::vector<std::uint64_t>& ends, std::uint64_t baseline,
                std::uint64_t file_size, ClassFigures& f) {
    // Syncs are skipped (nothing here outlives the case); the opens are otherwise the real ones.
    testing::PageCacheFileSystem fs(dir, /*real_syncs=*/false);
    reset_peak_heap();
    auto store = open_store(options_(dir), fs);
    if (can_measure_heap()) {
      const std::uint64_t peak = peak_heap_bytes();
      const std::uint64_t above = peak > baseline ? peak - baseline : 0;
      f.peak_max = std::max(f.peak_max, above);
      // Allocator rounding and the library's thread contexts vary a little between opens.
      if (above > 2 * file_size + (256u << 10)) {
        ++f.peak_over;
        std::fprintf(stderr, "byte-damage: %s: %llu bytes above the undamaged open\n",
                     name_.c_str(), static_cast<unsigned long long>(above));
      }
    }
    if (!store) {
      ++f.outcomes[static_cast<int>(Outcome::Error)];
      return;
    }
    const StateMachine& state = (*store)->state_machine();
    // Memories lost or changed, and those of them written wholly before the damage.
    std::uint64_t lost = 0, good_lost = 0, changed = 0;
    for (const auto& e : originals_) {
      const MemoryEntry* got = state.get(e.id);
      if (got == nullptr) {
        ++lost;
      } else if (!(*got == e)) {
        ++changed;
      }
    }
    for (std::size_t i = 0; i < ends.size() && i < t.frame_ids.size(); ++i) {
      if (ends[i] > at) break;
      const MemoryEntry* got = state.get(t.frame_ids[i]);
      if (got == nullptr) ++good_lost;
    }
    f.records_lost += lost;
    f.good_lost += good_lost;
    if (changed > 0 || state.memory_count() > originals_.size()) {
      ++f.content_mismatch;
      if (t.label != "checkpoint") {
        std::fprintf(stderr, "byte-damage: %s: opened with %llu changed memories\n",
                     name_.c_str(), static_cast<unsigned long long>(changed));
      }
    }
    Outcome outcome;
    if (t.label == "hnsw") {
      const StoreOptions options = options_(dir);
      auto graph = VectorIndex::load_hnsw(dir / t.rel, kDimension, *options.index_mode.hnsw());
      outcome = graph && *graph ? (state == expected_ ? Outcome::Unchanged : Outcome::Other)
                                : Outcome::Rebuild;
      std::vector<float> query(kDimension, 0.0f);
      query[at % kDimension] = 1.0f;
      auto hits = (*store)->snapshot()->indexes.vector.search_scoped(query, 5, std::nullopt,
                                                                     false, 1);
      bool ok = hits && !hits->empty();
      if (hits) {
        for (const auto& hit : *hits) ok = ok && state.get(hit.first) != nullptr;
      }
      if (!ok) ++f.search_fail;
      if (state != expected_) ++f.content_mismatch;
    } else if (state == expected_) {
      outcome = Outcome::Unchanged;
    } else if (changed == 0 && state.memory_count() < originals_.size()) {
      outcome = Outcome::Cut;
    } else {
      outcome = Outcome::Other;
    }
    ++f.outcomes[static_cast<int>(outcome)];
  }

  std::filesystem::path pristine_;
  StoreOptions (*options_)(const std::filesystem::path&);
  const std::vector<MemoryEntry>& originals_;
  StateMachine expected_;
  testing::TempDir work_;
  std::string name_;
};

MemoryEntry entry(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = "m" + std::to_string(id);
  std::vector<float> v(kDimension, 0.1f * static_cast<float>(id % 5));
  v[id % kDimension] = 1.0f;
  e.embedding = std::move(v);
  e.created_at = 1'700'000'000 + id;
  return e;
}

StoreOptions exact_options(const std::filesystem::path& dir) { return store_options(dir); }
StoreOptions hnsw_options(const std::filesystem::path& dir) {
  return store_options(dir, {SyncPolicy::Strict{}}, {CheckpointPolicy::Disabled{}},
                       {IndexMode::Hnsw{HnswConfig{}}});
}

std::vector<MemoryEntry> entries(std::uint64_t count) {
  std::vector<MemoryEntry> out;
  for (std::uint64_t id = 1; id <= count; ++id) out.push_back(entry(id));
  return out;
}

// A database of `originals` under `options`, checkpointed and closed (the close also saves an
// HNSW graph). False when any step fails.
bool write_checkpointed(const std::filesystem::path& dir,
                        StoreOptions (*options)(const std::filesystem::path&),
                        const std::vector<MemoryEntry>& originals) {
  std::filesystem::create_directories(dir);
  auto store = open_store(options(dir));
  if (!store) return false;
  for (const auto& e : originals) {
    if (!(*store)->insert_memory(e)) return false;
  }
  return static_cast<bool>((*store)->checkpoint_now());
}

}  // namespace
}  // namespace tessaradb::reliability

int main() {
  using namespace tessaradb;
  using namespace tessaradb::reliability;
  std::signal(SIGALRM, on_alarm);
  std::map<std::string, ClassFigures> figures;
  testing::TempDir root;
  {  // a 20-frame log, its segments in three files (one per session of 7, 7 and 6 inserts)
    const auto dir = root.path() / "log";
    std::filesystem::create_directories(dir);
    const auto originals = entries(20);
    for (std::uint64_t session = 0; session < 3; ++session) {
      auto store = open_store(exact_options(dir));
      if (!store) return 1;
      for (std::uint64_t id = session * 7 + 1; id <= std::min<std::uint64_t>(20, session * 7 + 7); ++id) {
        if (!(*store)->insert_memory(originals[id - 1])) return 1;
      }
    }
    Damager damager(dir, exact_options, originals);
    Target log{"log", "tessaradb.wal", {}, false};
    for (std::uint64_t id = 1; id <= 20; ++id) log.frame_ids.push_back(MemoryId{id});
    damager.run(log, figures);
    for (std::uint64_t session = 0; session < 3; ++session) {
      Target seg{"segments", "segments/00000" + std::to_string(session) + ".seg", {}, false};
      for (std::uint64_t id = session * 7 + 1; id <= std::min<std::uint64_t>(20, session * 7 + 7); ++id) {
        seg.frame_ids.push_back(MemoryId{id});
      }
      damager.run(seg, figures);
    }
  }
  {  // a 50-memory checkpoint (the log is empty after it)
    const auto dir = root.path() / "ckpt";
    const auto originals = entries(50);
    if (!write_checkpointed(dir, exact_options, originals)) return 1;
    Damager damager(dir, exact_options, originals);
    damager.run({"checkpoint", "tessaradb.ckpt", {}, false}, figures);
  }
  {  // the HNSW graph of a 50-memory HNSW-mode database (saved at the checkpoint and on close)
    const auto dir = root.path() / "hnsw";
    const auto originals = entries(50);
    if (!write_checkpointed(dir, hnsw_options, originals)) return 1;
    if (!std::filesystem::exists(dir / "tessaradb.hnsw")) return 1;
    Damager damager(dir, hnsw_options, originals);
    damager.run({"hnsw", "tessaradb.hnsw", {}, true}, figures);
  }

  Totals t;
  for (const auto& [label, f] : figures) {
    std::printf("  %-19s %5llu cases:", label.c_str(), static_cast<unsigned long long>(f.cases));
    for (int o = 0; o < 5; ++o) {
      if (f.outcomes[o] > 0) {
        std::printf(" %s=%llu", kOutcomeNames[o], static_cast<unsigned long long>(f.outcomes[o]));
      }
    }
    std::printf("; records lost %llu (good %llu), content mismatches %llu",
                static_cast<unsigned long long>(f.records_lost),
                static_cast<unsigned long long>(f.good_lost),
                static_cast<unsigned long long>(f.content_mismatch));
    if (can_measure_heap()) {
      std::printf("; peak +%llu B over undamaged open (file %llu B)",
                  static_cast<unsigned long long>(f.peak_max),
                  static_cast<unsigned long long>(f.file_bytes));
    }
    std::printf("\n");
    t.cases += f.cases;
    // The checkpoint format has no checksum: a flipped byte inside a string or a float decodes
    // to a different value and is found by nothing. Counted apart; every other class must keep
    // its surviving records intact.
    if (label == "checkpoint flip") t.checkpoint_flips_undetected += f.content_mismatch;
    else t.content_mismatch += f.content_mismatch;
    t.good_lost += f.good_lost;
    t.peak_over += f.peak_over;
    t.search_fail += f.search_fail;
    t.worst_excess = std::max(t.worst_excess, f.peak_max);
  }
  std::printf(
      "byte-damage: %llu cases in 8 classes, crashes=0, hangs=0, content_mismatch=%llu, "
      "good_records_lost=%llu, hnsw_search_fail=%llu, checkpoint_flips_undetected=%llu, ",
      static_cast<unsigned long long>(t.cases), static_cast<unsigned long long>(t.content_mismatch),
      static_cast<unsigned long long>(t.good_lost), static_cast<unsigned long long>(t.search_fail),
      static_cast<unsigned long long>(t.checkpoint_flips_undetected));
  if (can_measure_heap()) {
    std::printf("peak_over_limit=%llu (limit: undamaged open + 2x file + 256 KiB; largest excess "
                "%llu B)\n",
                static_cast<unsigned long long>(t.peak_over),
                static_cast<unsigned long long>(t.worst_excess));
  } else {
    std::printf("peak not measured (build without AddressSanitizer)\n");
  }
  const bool ok = t.content_mismatch == 0 && t.good_lost == 0 && t.peak_over == 0 && t.search_fail == 0 &&
                  (can_measure_heap() || std::getenv("RELIABILITY_ALLOW_UNMEASURED_HEAP"));
  return ok ? 0 : 1;
}
