// Crash-state explorer: runs a scripted workload under the Strict sync policy through a file
// system that models the page cache, and before every operation that changes a file or a
// directory materialises the images a power loss (or a process kill) could leave. Each image is
// opened with the real open code and must hold the state after some prefix of the commands that
// includes every acknowledged one; it must stay writable, and no compaction directory or rewrite
// temporary file may remain after the open.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "harness.hpp"
#include "testing/reliability_page_cache_fs.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::reliability {
namespace {

using testing::PageCacheFileSystem;

struct Figures {
  std::uint64_t explored = 0, acked_lost = 0, no_prefix = 0, open_fail = 0, leftovers = 0,
                reuse_fail = 0;
};

const std::set<std::string> kMutating = {"open_writable", "append",     "sync",
                                         "truncate",      "rename",     "create_directories",
                                         "remove_all",    "sync_directory"};

class Explorer {
 public:
  Explorer(std::filesystem::path scratch, const std::vector<StateMachine>& states, Figures& f)
      : scratch_(std::move(scratch)), states_(states), f_(f) {}

  // `acked` commands have returned; `in_flight` tells whether a command is running.
  void explore(const PageCacheFileSystem& fs, std::size_t acked, bool in_flight,
               const std::string& where) {
    static const PageCacheFileSystem::CrashImage kImages[] = {
        {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::DropUnsynced, 0},
        {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::KeepUnsynced, 0},
        {PageCacheFileSystem::Names::DurableOnly, PageCacheFileSystem::Data::DropUnsynced, 0},
        {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::PerSector, 1},
        {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::PerSector, 2},
        {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::PerSector, 3},
        {PageCacheFileSystem::Names::DurableOnly, PageCacheFileSystem::Data::PerSector, 4},
    };
    for (const auto& image : kImages) {
      const auto dir = scratch_ / "image";
      std::filesystem::remove_all(dir);
      fs.materialise(dir, image);
      ++f_.explored;
      check(dir, acked, in_flight, where + " image " + std::to_string(static_cast<int>(image.names)) +
                                       "/" + std::to_string(static_cast<int>(image.data)) + "/" +
                                       std::to_string(image.seed));
    }
  }

 private:
  void report(const std::string& what, const std::string& where) {
    if (reports_++ < 20) std::fprintf(stderr, "crash-states: %s at %s\n", what.c_str(), where.c_str());
  }

  void check(const std::filesystem::path& dir, std::size_t acked, bool in_flight,
             const std::string& where) {
    const auto options = store_options(dir);
    StateMachine state;
    {
      auto store = open_store(options);
      if (!store) {
        ++f_.open_fail;
        report("open failed: " + store.error().message(), where);
        if (const char* keep = std::getenv("RELIABILITY_KEEP_FAILURES")) {
          const auto copy = std::filesystem::path(keep) / ("open_fail_" + std::to_string(f_.open_fail));
          std::filesystem::remove_all(copy);
          std::filesystem::copy(dir, copy, std::filesystem::copy_options::recursive);
        }
        return;
      }
      state = (*store)->state_machine();
      const int j = find_prefix(states_, state);
      const int lo = static_cast<int>(acked), hi = lo + (in_flight ? 1 : 0);
      if (j < 0 || j > hi) {
        ++f_.no_prefix;
        report("state matches no prefix (acked " + std::to_string(acked) + ")", where);
      } else if (j < lo) {
        ++f_.acked_lost;
        report("acknowledged writes lost: state of prefix " + std::to_string(j) + ", acked " +
                   std::to_string(acked),
               where);
      }
      const auto left = leftovers(dir);
      if (!left.empty()) {
        ++f_.leftovers;
        report("leftover " + left.front(), where);
      }
      // The recovered directory must take new writes that survive the next open.
      MemoryEntry extra;
      extra.id = MemoryId{999'999};
      extra.namespace_ = "default";
      extra.content = "after the crash";
      extra.embedding = std::vector<float>(kDimension, 0.5f);
      if (!(*store)->insert_memory(extra)) {
        ++f_.reuse_fail;
        report("write after recovery failed", where);
        return;
      }
      state.insert_memory(extra);
    }
    auto again = open_store(options);
    if (!again || !((*again)->state_machine() == state)) {
      ++f_.reuse_fail;
      report("write after recovery did not survive a reopen", where);
    }
  }

  std::filesystem::path scratch_;
  const std::vector<StateMachine>& states_;
  Figures& f_;
  int reports_ = 0;
};

bool run_workload(std::uint32_t seed, std::size_t length, Figures& f) {
  testing::TempDir scratch;
  const auto steps = make_workload(length, seed, true);
  const auto states = prefix_states(steps);
  const auto db = scratch.path() / "db";
  std::filesystem::create_directories(db);
  PageCacheFileSystem fs(db, /*real_syncs=*/false);
  Explorer explorer(scratch.path(), states, f);
  std::size_t acked = 0;
  bool in_flight = false;
  std::string where = "open";
  fs.set_hook([&](std::uint64_t index, const std::string& op) {
    if (kMutating.contains(op)) {
      explorer.explore(fs, acked, in_flight, where + " before op " + std::to_string(index) + " " + op);
    }
  });
  const auto options = store_options(db);
  auto store = open_store(options, fs);
  if (!store) {
    std::fprintf(stderr, "crash-states: workload open failed: %s\n", store.error().message().c_str());
    return false;
  }
  auto handle = std::move(*store);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    where = "seed " + std::to_string(seed) + " step " + std::to_string(i);
    if (const auto* command = std::get_if<Command>(&steps[i])) {
      in_flight = true;
      auto r = run_command(*handle, *command);
      if (!r) {
        std::fprintf(stderr, "crash-states: %s failed: %s\n", where.c_str(), r.error().message().c_str());
        return false;
      }
      in_flight = false;
      ++acked;
    } else {
      auto r = run_maintenance(handle, std::get<Maintenance>(steps[i]), options, fs);
      if (!r) {
        std::fprintf(stderr, "crash-states: %s failed: %s\n", where.c_str(), r.error().message().c_str());
        return false;
      }
    }
  }
  where = "seed " + std::to_string(seed) + " close";
  handle.reset();
  explorer.explore(fs, acked, false, where);
  return true;
}

}  // namespace
}  // namespace tessaradb::reliability

int main(int argc, char** argv) {
  using namespace tessaradb::reliability;
  const bool long_run = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  Figures f;
  bool ok = true;
  const std::uint32_t workloads = long_run ? 8 : 2;
  for (std::uint32_t seed = 1; seed <= workloads; ++seed) ok = run_workload(seed, 40, f) && ok;
  std::printf(
      "crash-states: %llu explored, acked_lost=%llu, no_prefix=%llu, open_fail=%llu, "
      "leftovers=%llu, reuse_fail=%llu\n",
      static_cast<unsigned long long>(f.explored), static_cast<unsigned long long>(f.acked_lost),
      static_cast<unsigned long long>(f.no_prefix), static_cast<unsigned long long>(f.open_fail),
      static_cast<unsigned long long>(f.leftovers), static_cast<unsigned long long>(f.reuse_fail));
  const bool clean = ok && f.acked_lost == 0 && f.no_prefix == 0 && f.open_fail == 0 &&
                     f.leftovers == 0 && f.reuse_fail == 0;
  return clean ? 0 : 1;
}
