#include "harness.hpp"

#include <algorithm>
#include <random>
#include <set>

#include "storage/stale_temporaries.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSARADB_RELIABILITY_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TESSARADB_RELIABILITY_ASAN 1
#endif

#ifdef TESSARADB_RELIABILITY_ASAN
#include <atomic>
#include <cstddef>
// The sanitizer runtime's allocator interface (g++ ships the functions without the header).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                              void (*free_hook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#endif

namespace tessaradb::reliability {

namespace {

MemoryEntry memory(std::uint64_t id, std::uint32_t variant) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = id % 3 == 0 ? "notes" : "default";
  e.content = "memory " + std::to_string(id) + " v" + std::to_string(variant);
  std::vector<float> v(kDimension, 0.01f * static_cast<float>(variant + 1));
  v[id % kDimension] = 1.0f;
  v[(id * 7 + variant) % kDimension] += 0.5f;
  e.embedding = std::move(v);
  if (id % 2 == 0) e.metadata["kind"] = id % 4 == 0 ? "fact" : "event";
  e.created_at = 1'700'000'000 + id;
  e.importance = 0.25f * static_cast<float>(id % 4);
  return e;
}

}  // namespace

std::vector<Step> make_workload(std::size_t count, std::uint32_t seed, bool with_maintenance) {
  std::mt19937 rng(seed);
  std::vector<Step> steps;
  StateMachine state;
  std::uint64_t next_id = 1;
  auto live = [&] {
    std::vector<MemoryId> ids;
    for (const auto* m : state.all_memories()) ids.push_back(m->id);
    std::sort(ids.begin(), ids.end(), [](MemoryId a, MemoryId b) { return a.value < b.value; });
    return ids;
  };
  while (steps.size() < count) {
    const auto ids = live();
    const unsigned roll = rng() % 100;
    if (with_maintenance && roll < 12 && ids.size() >= 3) {
      static constexpr Maintenance kinds[] = {Maintenance::Checkpoint, Maintenance::Compact,
                                              Maintenance::Reopen, Maintenance::Flush};
      steps.emplace_back(kinds[rng() % 4]);
      continue;
    }
    Command command;
    if (roll < 55 || ids.size() < 3) {
      command = InsertMemory{memory(next_id++, 0)};
    } else if (roll < 65) {
      const auto id = ids[rng() % ids.size()];
      command = InsertMemory{memory(id.value, 1 + rng() % 5)};  // replacement
    } else if (roll < 78) {
      command = DeleteMemory{ids[rng() % ids.size()]};
    } else {
      const auto from = ids[rng() % ids.size()];
      const auto to = ids[rng() % ids.size()];
      command = AddEdge{from, to, "rel" + std::to_string(rng() % 3)};
    }
    if (!state.check_command(command)) continue;  // cross-namespace edge and the like
    if (!state.apply_command(command)) continue;
    steps.emplace_back(std::move(command));
  }
  return steps;
}

std::vector<StateMachine> prefix_states(const std::vector<Step>& steps) {
  std::vector<StateMachine> states{StateMachine{}};
  for (const auto& step : steps) {
    if (const auto* c = std::get_if<Command>(&step)) {
      StateMachine next = states.back();
      (void)next.apply_command(*c);
      states.push_back(std::move(next));
    }
  }
  return states;
}

StoreOptions store_options(const std::filesystem::path& dir, SyncPolicy sync,
                           CheckpointPolicy checkpoint, IndexMode mode) {
  StoreOptions o;
  o.wal_path = dir / "tessaradb.wal";
  o.segments_dir = dir / "segments";
  o.dimension = kDimension;
  o.sync = sync;
  o.checkpoint = checkpoint;
  o.index_mode = mode;
  return o;
}

Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> open_store(const StoreOptions& options,
                                                                        FileSystem& fs) {
  const auto dir = options.wal_path.parent_path();
  const bool exists = std::filesystem::exists(options.wal_path) ||
                      std::filesystem::exists(dir / "tessaradb.ckpt");
  return exists ? TessaraDBStore::recover_with_policies(options, fs)
                : TessaraDBStore::new_with_policies(options, fs);
}

Result<CommandId, TessaraDBStoreError> run_command(TessaraDBStore& store, const Command& command) {
  if (const auto* c = std::get_if<InsertMemory>(&command)) return store.insert_memory(c->entry);
  if (const auto* c = std::get_if<DeleteMemory>(&command)) return store.delete_memory(c->id);
  if (const auto* c = std::get_if<AddEdge>(&command)) return store.add_edge(c->from, c->to, c->relation);
  // The store has no edge removal; workloads never contain one.
  return TessaraDBStoreError{TessaraDBStoreError::InvariantViolation{"RemoveEdge not supported"}};
}

Result<void, TessaraDBStoreError> run_maintenance(std::unique_ptr<TessaraDBStore>& store,
                                                  Maintenance step, const StoreOptions& options,
                                                  FileSystem& fs) {
  switch (step) {
    case Maintenance::Checkpoint:
      return store->checkpoint_now();
    case Maintenance::Compact: {
      auto r = store->compact_segments();
      if (!r) return std::move(r).error();
      return {};
    }
    case Maintenance::Flush:
      return store->flush();
    case Maintenance::Reopen: {
      store.reset();
      auto reopened = open_store(options, fs);
      if (!reopened) return std::move(reopened).error();
      store = std::move(*reopened);
      return {};
    }
  }
  return {};
}

int find_prefix(const std::vector<StateMachine>& states, const StateMachine& state) {
  for (std::size_t i = states.size(); i-- > 0;) {
    if (states[i] == state) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> leftovers(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const auto name = entry.path().filename().string();
    if (name.find(".compact.") != std::string::npos || name.find(".backup.") != std::string::npos) {
      found.push_back(name);
    }
  }
  for (const auto& temp : rewrite_temporary_paths(dir / "tessaradb.wal")) {
    if (std::filesystem::exists(temp, ec)) found.push_back(temp.filename().string());
  }
  return found;
}

#ifdef TESSARADB_RELIABILITY_ASAN
namespace {
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};
std::atomic<std::int64_t> g_base{0};
void on_malloc(const volatile void*, std::size_t size) {
  const auto now = g_live.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
  auto peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}
void on_free(const volatile void* p) {
  g_live.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(p)));
}
struct InstallHooks {
  InstallHooks() { __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free); }
} g_install;
}  // namespace
void reset_peak_heap() {
  g_base.store(g_live.load());
  g_peak.store(g_live.load());
}
std::uint64_t peak_heap_bytes() {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(0, g_peak.load() - g_base.load()));
}
bool can_measure_heap() { return true; }
#else
void reset_peak_heap() {}
std::uint64_t peak_heap_bytes() { return 0; }
bool can_measure_heap() { return false; }
#endif

}  // namespace tessaradb::reliability
