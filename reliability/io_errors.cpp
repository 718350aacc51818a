// Error at every operation: runs a workload once to count its file operations, then once per
// operation index and fault kind (EIO; ENOSPC as a short write on appends; EIO on a sync that
// also drops the unsynced bytes), transient and persistent. After the fault the workload goes
// on, then a power loss is simulated and the directory reopened with a healthy file system.
// Acknowledged writes must survive, the state must be one the calls allow, and after a failed
// sync of the log or a segment no write or flush may succeed until the database is reopened.

#include <cstdio>
#include <cstring>
#include <string>

#include "harness.hpp"
#include "testing/reliability_page_cache_fs.hpp"
#include "testing/temp_dir.hpp"

namespace tessaradb::reliability {
namespace {

using testing::PageCacheFileSystem;

struct Figures {
  std::uint64_t points = 0, crashes = 0, acked_lost = 0, bad_state = 0, open_fail = 0,
                accepted_after_failed_sync = 0, faults_hit = 0;
};

bool is_log_or_segment(const std::string& fault) {
  // Compaction writes its own directory; a failure there fails only the compaction.
  return fault.starts_with("sync ") && fault.find(".compact.") == std::string::npos &&
         (fault.ends_with(".wal") || fault.ends_with(".seg"));
}

// The states a run may leave: every acknowledged command applied; each failed command that
// reached the log (an append happened during it) either applied or not.
class AllowedStates {
 public:
  AllowedStates() : states_{StateMachine{}} {}
  void acknowledged(const Command& c) {
    for (auto& s : states_) (void)s.apply_command(c);
  }
  void uncertain(const Command& c) {
    const std::size_t n = states_.size();
    for (std::size_t i = 0; i < n && states_.size() < 256; ++i) {
      StateMachine next = states_[i];
      if (!next.check_command(c) || !next.apply_command(c)) continue;
      bool seen = false;
      for (const auto& s : states_) seen = seen || s == next;
      if (!seen) states_.push_back(std::move(next));
    }
  }
  bool allows(const StateMachine& s) const {
    for (const auto& a : states_) {
      if (a == s) return true;
    }
    return false;
  }

 private:
  std::vector<StateMachine> states_;
};

void run_point(const std::vector<Step>& steps, std::uint64_t at,
               PageCacheFileSystem::FaultKind kind, bool persistent, Figures& f) {
  testing::TempDir scratch;
  const auto db = scratch.path() / "db";
  std::filesystem::create_directories(db);
  PageCacheFileSystem fs(db, /*real_syncs=*/false);
  std::uint64_t appends = 0;
  fs.set_hook([&](std::uint64_t, const std::string& op) {
    if (op == "append") ++appends;
  });
  fs.inject(PageCacheFileSystem::Fault{at, kind, persistent});
  const auto options = store_options(db);
  AllowedStates allowed;
  std::vector<MemoryEntry> acked_inserts;
  bool sync_failed = false;
  std::unique_ptr<TessaraDBStore> store;
  std::size_t faults_seen = 0;
  auto note_faults = [&] {
    const auto faults = fs.faults_returned();
    for (; faults_seen < faults.size(); ++faults_seen) {
      sync_failed = sync_failed || is_log_or_segment(faults[faults_seen]);
    }
  };  auto reopen = [&] {
    for (int attempt = 0; attempt < 2 && !store; ++attempt) {
      auto opened = open_store(options, fs);
      if (opened) store = std::move(*opened);
      else fs.clear_faults();  // a persistent fault would keep the directory closed for good
    }
    note_faults();  // faults inside the open fail the open, not the handle
    sync_failed = false;
  };

  reopen();
  if (!store) {
    ++f.open_fail;
    return;
  }
  auto run = [&](const Command& command) {
    const auto before = appends;
    const bool was_failed = sync_failed;
    auto r = run_command(*store, command);
    note_faults();
    if (r) {
      if (was_failed && f.accepted_after_failed_sync++ < 3) {
        std::fprintf(stderr, "io-errors: write accepted after %s (fault at op %llu kind %d)\n",
                     fs.faults_returned().back().c_str(), static_cast<unsigned long long>(at),
                     static_cast<int>(kind));
      }
      allowed.acknowledged(command);
      if (const auto* insert = std::get_if<InsertMemory>(&command)) acked_inserts.push_back(insert->entry);
    } else if (appends != before) {
      allowed.uncertain(command);
    }
  };
  for (const auto& step : steps) {
    if (const auto* command = std::get_if<Command>(&step)) {
      run(*command);
    } else if (std::get<Maintenance>(step) == Maintenance::Reopen) {
      store.reset();
      reopen();
      if (!store) {
        ++f.open_fail;
        return;
      }
    } else {
      const bool was_failed = sync_failed;
      auto r = run_maintenance(store, std::get<Maintenance>(step), options, fs);
      note_faults();
      if (r && was_failed && std::get<Maintenance>(step) == Maintenance::Flush) ++f.accepted_after_failed_sync;
    }
  }
  // More writes after the fault, then the power goes.
  for (std::uint64_t id = 900; id < 903; ++id) {
    MemoryEntry e;
    e.id = MemoryId{id};
    e.namespace_ = "default";
    e.content = "late " + std::to_string(id);
    e.embedding = std::vector<float>(kDimension, 0.25f);
    run(InsertMemory{e});
  }
  if (!fs.faults_returned().empty()) ++f.faults_hit;
  const auto image = scratch.path() / "image";
  fs.materialise(image, {PageCacheFileSystem::Names::Current, PageCacheFileSystem::Data::DropUnsynced, 0});
  store.reset();  // after the image: what the drop flushes is not part of the power loss
  auto recovered = open_store(store_options(image));
  if (!recovered) {
    ++f.open_fail;
    std::fprintf(stderr, "io-errors: open after fault at op %llu failed: %s\n",
                 static_cast<unsigned long long>(at), recovered.error().message().c_str());
    return;
  }
  const auto state = (*recovered)->state_machine();
  if (!allowed.allows(state)) {
    ++f.bad_state;
    for (const auto& e : acked_inserts) {
      // Only the last write of an id is checked by the state comparison; count missing ids.
      if (!state.contains(e.id)) {
        ++f.acked_lost;
        break;
      }
    }
    if (f.bad_state <= 5) {
      std::fprintf(stderr, "io-errors: state not allowed after fault at op %llu kind %d persistent %d\n",
                   static_cast<unsigned long long>(at), static_cast<int>(kind), persistent ? 1 : 0);
    }
  }
}

}  // namespace
}  // namespace tessaradb::reliability

int main(int argc, char** argv) {
  using namespace tessaradb::reliability;
  using tessaradb::testing::PageCacheFileSystem;
  const bool long_run = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  const auto steps = make_workload(long_run ? 80 : 40, 3, true);
  // Count the operations and remember which are appends and syncs.
  std::vector<std::string> ops;
  {
    tessaradb::testing::TempDir scratch;
    PageCacheFileSystem fs(scratch.path(), false);
    fs.set_hook([&](std::uint64_t, const std::string& op) { ops.push_back(op); });
    const auto options = store_options(scratch.path());
    auto store = open_store(options, fs);
    if (!store) return 1;
    auto handle = std::move(*store);
    for (const auto& step : steps) {
      if (const auto* c = std::get_if<tessaradb::Command>(&step)) {
        (void)run_command(*handle, *c);
      } else {
        (void)run_maintenance(handle, std::get<Maintenance>(step), options, fs);
      }
    }
  }
  Figures f;
  for (std::uint64_t at = 0; at < ops.size(); ++at) {
    for (const bool persistent : {false, true}) {
      run_point(steps, at, PageCacheFileSystem::FaultKind::Eio, persistent, f);
      f.points++;
      if (ops[at] == "append") {
        run_point(steps, at, PageCacheFileSystem::FaultKind::EnospcShortWrite, persistent, f);
        f.points++;
      }
      if (ops[at] == "sync") {
        run_point(steps, at, PageCacheFileSystem::FaultKind::FsyncEioDropsData, persistent, f);
        f.points++;
      }
    }
  }
  std::printf(
      "io-errors: %llu injection points over %zu operations (%llu hit), crashes=0, acked_lost=%llu, "
      "bad_state=%llu, open_fail=%llu, accepted_after_failed_fsync=%llu\n",
      static_cast<unsigned long long>(f.points), ops.size(),
      static_cast<unsigned long long>(f.faults_hit), static_cast<unsigned long long>(f.acked_lost),
      static_cast<unsigned long long>(f.bad_state), static_cast<unsigned long long>(f.open_fail),
      static_cast<unsigned long long>(f.accepted_after_failed_sync));
  return f.acked_lost == 0 && f.bad_state == 0 && f.open_fail == 0 &&
                 f.accepted_after_failed_sync == 0
             ? 0
             : 1;
}
