// Open time of a database of 100k memories (384 floats each): from the log alone, and from a
// checkpoint plus a short log. Prints medians of a few opens, measured in one run.
//
// Usage: engine_open_bench [memories] [repetitions]

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "engine/engine.hpp"
#include "storage/checkpoint.hpp"
#include "storage/wal.hpp"

using namespace tessaradb;

namespace {

MemoryEntry make_memory(std::uint64_t id, std::size_t dimension) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = "memory number " + std::to_string(id);
  std::vector<float> v(dimension);
  for (std::size_t i = 0; i < dimension; ++i) v[i] = static_cast<float>((id * 31 + i) % 97) / 97.0f;
  e.embedding = std::move(v);
  e.metadata = {{"source", "bench"}};
  e.created_at = 1700000000 + id / 100;
  return e;
}

std::filesystem::path make_temp_dir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tessaradb-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t memories = argc > 1 ? std::stoull(argv[1]) : 100000;
  const int repetitions = argc > 2 ? std::stoi(argv[2]) : 3;
  constexpr std::size_t kDimension = 384;
  const std::filesystem::path root = make_temp_dir();
  const std::filesystem::path wal = root / "tessaradb.wal";
  const std::filesystem::path segments = root / "segments";

  const double fill_seconds = bench::median_seconds(1, [&] {
    auto engine = Engine::create(wal, segments);
    check(static_cast<bool>(engine), "create");
    for (std::uint64_t id = 1; id <= memories; ++id) {
      check(static_cast<bool>(
                engine->execute_command_unsynced(InsertMemory{make_memory(id, kDimension)})),
            "insert");
    }
    check(static_cast<bool>(engine->sync_all()), "sync");
  });

  std::uint64_t log_bytes = std::filesystem::file_size(wal);
  const double from_log = bench::median_seconds(repetitions, [&] {
    auto engine = Engine::recover_from_checkpoint(wal, segments, std::nullopt);
    check(engine && engine->state_machine().memory_count() == memories, "open from log");
  });

  // Checkpoint the state, rewrite the log, then add 1000 more commands to replay.
  {
    auto engine = Engine::recover_from_checkpoint(wal, segments, std::nullopt);
    check(static_cast<bool>(engine), "open");
    check(static_cast<bool>(save_checkpoint(checkpoint_path_for(wal), engine->state_machine(),
                                            engine->last_applied_id())),
          "checkpoint");
    check(static_cast<bool>(truncate_prefix(wal, engine->last_applied_id())), "truncate");
    check(static_cast<bool>(engine->reopen_wal()), "reopen log");
    for (std::uint64_t id = memories + 1; id <= memories + 1000; ++id) {
      check(static_cast<bool>(
                engine->execute_command_unsynced(InsertMemory{make_memory(id, kDimension)})),
            "insert");
    }
    check(static_cast<bool>(engine->sync_all()), "sync");
  }
  const double from_checkpoint = bench::median_seconds(repetitions, [&] {
    auto checkpoint = load_checkpoint(checkpoint_path_for(wal));
    check(checkpoint && checkpoint->has_value(), "load checkpoint");
    auto engine = Engine::recover_from_checkpoint(wal, segments, std::move(**checkpoint));
    check(engine && engine->state_machine().memory_count() == memories + 1000,
          "open from checkpoint");
  });
  const std::uint64_t checkpoint_bytes = std::filesystem::file_size(checkpoint_path_for(wal));

  std::printf("engine open: %llu memories of %zu floats (fill %.2f s, median of %d opens)\n",
              static_cast<unsigned long long>(memories), kDimension, fill_seconds, repetitions);
  std::printf("%-40s %10s %12s\n", "open", "seconds", "us/memory");
  std::printf("%-40s %10.3f %12.2f\n", "log alone (no checkpoint)", from_log,
              from_log * 1e6 / static_cast<double>(memories));
  std::printf("%-40s %10.3f %12.2f\n", "checkpoint + 1000-entry log (incl. load)", from_checkpoint,
              from_checkpoint * 1e6 / static_cast<double>(memories));
  std::printf("log %.1f MB, checkpoint %.1f MB\n", static_cast<double>(log_bytes) / 1e6,
              static_cast<double>(checkpoint_bytes) / 1e6);
  std::filesystem::remove_all(root);
  return 0;
}
