// Reopen of a store that was filled one memory at a time (384-float embeddings, async policy)
// and checkpointed at 90 % of its rows, so the open reads a checkpoint plus a log tail of the
// last tenth: what a long-running agent leaves behind. Each open runs in a fresh child process,
// so its peak resident size (ru_maxrss) is that of the open alone.
//
//   store_insert_reopen_bench [memories, default 1000000] [opens, default 3] [directory]
//
// The database is kept in the directory (default: the temporary directory) and reused by later
// runs with the same size; delete it to rebuild.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "store/store.hpp"

namespace {

using namespace tessaradb;

constexpr std::size_t kDimension = 384;

StoreOptions options_for(const std::filesystem::path& dir) {
  StoreOptions options;
  options.wal_path = dir / "tessaradb.wal";
  options.segments_dir = dir / "segments";
  options.dimension = kDimension;
  options.sync = SyncPolicy{SyncPolicy::Async{10}};
  return options;
}

[[noreturn]] void fail(const char* what, const std::string& message) {
  std::fprintf(stderr, "%s failed: %s\n", what, message.c_str());
  std::exit(1);
}

void build(const std::filesystem::path& dir, std::uint64_t memories) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto opened = TessaraDBStore::new_with_policies(options_for(dir));
  if (!opened) fail("create", opened.error().message());
  std::unique_ptr<TessaraDBStore> store = std::move(*opened);
  bench::Xorshift rng(0x9e3779b97f4a7c15ull);
  const std::uint64_t checkpoint_at = memories * 9 / 10;
  for (std::uint64_t id = 1; id <= memories; ++id) {
    MemoryEntry entry;
    entry.id = MemoryId{id};
    entry.namespace_ = "default";
    entry.embedding = rng.vector(kDimension);
    entry.created_at = 1700000000 + id;
    if (auto done = store->insert_memory(std::move(entry)); !done) {
      fail("insert", done.error().message());
    }
    if (id == checkpoint_at) {
      if (auto done = store->checkpoint_now(); !done) fail("checkpoint", done.error().message());
    }
  }
  if (auto done = store->flush(); !done) fail("flush", done.error().message());
}

struct OpenFigures {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system time of the open (both threads)
  long max_rss_kib = 0;
};

// Opens the database in a child process and reports its figures through a pipe.
OpenFigures open_in_child(const std::filesystem::path& dir, std::uint64_t memories) {
  int fds[2];
  if (pipe(fds) != 0) fail("pipe", "");
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    OpenFigures figures;
    const double start = bench::now_seconds();
    auto opened = TessaraDBStore::recover_with_policies(options_for(dir));
    if (!opened) fail("open", opened.error().message());
    figures.seconds = bench::now_seconds() - start;
    if ((*opened)->state_machine().memory_count() != memories) fail("open", "wrong count");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    figures.max_rss_kib = usage.ru_maxrss;
    figures.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (write(fds[1], &figures, sizeof figures) != sizeof figures) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  OpenFigures figures;
  const bool got = read(fds[0], &figures, sizeof figures) == sizeof figures;
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("open child", "");
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t memories = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int opens = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::filesystem::path dir =
      argc > 3 ? std::filesystem::path(argv[3])
               : std::filesystem::temp_directory_path() /
                     ("store_insert_reopen_bench_" + std::to_string(memories));
  const std::filesystem::path marker = dir / "complete";
  if (!std::filesystem::exists(marker)) {
    const double start = bench::now_seconds();
    build(dir, memories);
    std::FILE* f = std::fopen(marker.c_str(), "w");
    if (f != nullptr) std::fclose(f);
    std::printf("built %llu memories in %.1f s\n", static_cast<unsigned long long>(memories),
                bench::now_seconds() - start);
  }

  std::vector<double> seconds, cpu, rss;
  for (int i = 0; i < opens; ++i) {
    const OpenFigures f = open_in_child(dir, memories);
    seconds.push_back(f.seconds);
    cpu.push_back(f.cpu_seconds);
    rss.push_back(static_cast<double>(f.max_rss_kib) * 1024.0);
    std::printf("  open %d: %.3f s (cpu %.3f s), peak RSS %.0f MiB\n", i + 1, f.seconds,
                f.cpu_seconds, rss.back() / 1048576.0);
    std::fflush(stdout);
  }
  const double vector_bytes = static_cast<double>(memories) * kDimension * sizeof(float);
  std::printf("\nreopen of %llu memories (checkpoint at 90 %%, log tail 10 %%), median of %d\n",
              static_cast<unsigned long long>(memories), opens);
  std::printf("%-28s %12s\n", "figure", "median");
  std::printf("%-28s %12.3f\n", "open (s)", bench::median(seconds));
  std::printf("%-28s %12.3f\n", "open cpu, both threads (s)", bench::median(cpu));
  std::printf("%-28s %12.0f\n", "peak RSS (MiB)", bench::median(rss) / 1048576.0);
  std::printf("%-28s %12.3f\n", "peak RSS / vector bytes", bench::median(rss) / vector_bytes);
  return 0;
}
