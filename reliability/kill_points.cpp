// Kill points in maintenance: a child process runs a workload and exits abruptly (_exit, so no
// destructor flushes anything) just before the Nth file operation of a checkpoint, a log
// rewrite, a compaction swap, an HNSW save (its steps reported by the index's save hook) or a
// reopen; in a second workload a background checkpoint thread (with its HNSW save) races with
// the writes and the child exits before the Nth operation of any thread. The parent reopens the
// directory as the kill left it and checks the state against the acknowledged commands, and
// that no compaction directory or rewrite temporary is left.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "harness.hpp"
#include "index/hnsw.hpp"
#include "testing/reliability_page_cache_fs.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::reliability {
namespace {

using testing::PageCacheFileSystem;

struct Workload {
  std::string name;
  StoreOptions (*options)(const std::filesystem::path&);
  bool any_thread;  // kill at any operation (a background thread races with the writes)
};

StoreOptions strict_hnsw(const std::filesystem::path& dir) {
  return store_options(dir, {SyncPolicy::Strict{}}, {CheckpointPolicy::Disabled{}},
                       {IndexMode::Hnsw{HnswConfig{}}});
}
StoreOptions periodic_checkpoints(const std::filesystem::path& dir) {
  return store_options(dir, {SyncPolicy::Strict{}}, {CheckpointPolicy::Periodic{4, 5}},
                       {IndexMode::Hnsw{HnswConfig{}}});
}

// The kill decision, shared by the file system's hook and the HNSW save hook (a plain function
// pointer, so it lives here). Only the child process sets it up.
struct KillSwitch {
  std::atomic<bool> in_maintenance{false};
  std::atomic<std::uint64_t> counted{0};
  std::atomic<std::uint64_t> hnsw_steps{0};
  std::uint64_t kill_at = UINT64_MAX;
  bool any_thread = false;

  void before_operation() {
    if (!any_thread && !in_maintenance) return;
    if (counted++ == kill_at) _exit(0);
  }
};
KillSwitch g_kill;

void before_hnsw_step(const char*) {
  if (g_kill.any_thread || g_kill.in_maintenance) ++g_kill.hnsw_steps;
  g_kill.before_operation();
}

struct ChildCounts {
  std::uint64_t operations = 0, hnsw_steps = 0;
};

// Runs the workload in this (child) process. Writes the number of acknowledged commands to
// `ack_fd` after each one. Exits before operation `kill_at` (file operations and HNSW save steps
// counted together) when `w.any_thread` or a maintenance step is running; returns how many
// operations ran otherwise.
ChildCounts run_child(const std::filesystem::path& db, const std::vector<Step>& steps,
                      const Workload& w, std::uint64_t kill_at, int ack_fd) {
  PageCacheFileSystem fs(db, /*real_syncs=*/false);
  g_kill.in_maintenance = false;
  g_kill.counted = 0;
  g_kill.hnsw_steps = 0;
  g_kill.kill_at = kill_at;
  g_kill.any_thread = w.any_thread;
  fs.set_hook([](std::uint64_t, const std::string&) { g_kill.before_operation(); });
  tessaradb::detail::set_hnsw_save_step_hook(before_hnsw_step);
  const auto options = w.options(db);
  auto opened = open_store(options, fs);
  if (!opened) _exit(3);
  auto store = std::move(*opened);
  std::uint32_t acked = 0;
  for (const auto& step : steps) {
    if (const auto* c = std::get_if<Command>(&step)) {
      if (!run_command(*store, *c)) _exit(4);
      ++acked;
      if (ack_fd >= 0 && write(ack_fd, &acked, sizeof acked) != sizeof acked) _exit(5);
    } else {
      g_kill.in_maintenance = true;
      if (!run_maintenance(store, std::get<Maintenance>(step), options, fs)) _exit(6);
      g_kill.in_maintenance = false;
    }
  }
  store.reset();
  tessaradb::detail::set_hnsw_save_step_hook(nullptr);
  return {g_kill.counted, g_kill.hnsw_steps};
}

struct Figures {
  std::uint64_t runs = 0, mismatches = 0, leftovers = 0, open_fail = 0, child_fail = 0,
                hnsw_steps = 0, cleaned = 0;
};

void run_workload(const Workload& w, std::uint32_t seed, std::size_t length, Figures& f) {
  const auto steps = make_workload(length, seed, true);
  const auto states = prefix_states(steps);
  std::uint64_t total = 0;
  {
    testing::TempDir dry;
    const ChildCounts counts = run_child(dry.path(), steps, w, UINT64_MAX, -1);
    total = counts.operations;
    f.hnsw_steps += counts.hnsw_steps;
  }
  for (std::uint64_t kill_at = 0; kill_at < total; ++kill_at) {
    testing::TempDir scratch;
    int fds[2];
    if (pipe(fds) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      run_child(scratch.path(), steps, w, kill_at, fds[1]);
      _exit(0);
    }
    close(fds[1]);
    std::uint32_t acked = 0, value = 0;
    while (read(fds[0], &value, sizeof value) == sizeof value) acked = value;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ++f.runs;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++f.child_fail;
      continue;
    }
    // What the kill left for the open to clean up (counted to show the leftover check has work).
    if (!leftovers(scratch.path()).empty()) ++f.cleaned;
    auto store = open_store(w.options(scratch.path()));
    if (!store) {
      ++f.open_fail;
      std::fprintf(stderr, "kill-points: %s kill %llu: open failed: %s\n", w.name.c_str(),
                   static_cast<unsigned long long>(kill_at), store.error().message().c_str());
      continue;
    }
    const int j = find_prefix(states, (*store)->state_machine());
    if (j < static_cast<int>(acked) || j > static_cast<int>(acked) + 1) {
      ++f.mismatches;
      std::fprintf(stderr, "kill-points: %s kill %llu: state of prefix %d, acked %u\n",
                   w.name.c_str(), static_cast<unsigned long long>(kill_at), j, acked);
    }
    if (const auto left = leftovers(scratch.path()); !left.empty()) {
      ++f.leftovers;
      std::fprintf(stderr, "kill-points: %s kill %llu: leftover %s\n", w.name.c_str(),
                   static_cast<unsigned long long>(kill_at), left.front().c_str());
    }
  }
}

}  // namespace
}  // namespace tessaradb::reliability

int main(int argc, char** argv) {
  using namespace tessaradb::reliability;
  const bool long_run = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  const Workload workloads[] = {{"maintenance-hnsw", strict_hnsw, false},
                                {"background-checkpoint", periodic_checkpoints, true}};
  Figures f;
  std::uint64_t kill_points = 0;
  for (const auto& w : workloads) {
    for (std::uint32_t seed = 1; seed <= (long_run ? 4u : 1u); ++seed) {
      const auto before = f.runs;
      run_workload(w, seed + 10, w.any_thread ? 30 : 40, f);
      kill_points += f.runs - before;
    }
  }
  std::printf(
      "kill-points: %llu kill points x 2 workloads (%llu at HNSW save steps), mismatches=%llu, "
      "leftovers=%llu (%llu kills left some for the open to remove), open_fail=%llu, "
      "child_fail=%llu\n",
      static_cast<unsigned long long>(kill_points), static_cast<unsigned long long>(f.hnsw_steps),
      static_cast<unsigned long long>(f.mismatches),
      static_cast<unsigned long long>(f.leftovers), static_cast<unsigned long long>(f.cleaned),
      static_cast<unsigned long long>(f.open_fail),
      static_cast<unsigned long long>(f.child_fail));
  // Without HNSW save steps among them the kill points would miss the graph's rewrite.
  return f.mismatches == 0 && f.leftovers == 0 && f.open_fail == 0 && f.child_fail == 0 &&
                 f.hnsw_steps > 0
             ? 0
             : 1;
}
