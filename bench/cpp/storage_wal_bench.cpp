// Write-ahead log throughput next to the machine's plain sequential I/O on a file of the same size,
// measured in the same run:
//   - append: every append hands its whole frame to the kernel with one write(2) before it returns
//     (a process crash loses nothing acknowledged); compared with plain writes of the same sizes
//     and with plain writes in 1 MiB chunks (what a user-space write buffer would approach);
//   - tolerant read of a 100k-record log (read, checksum, decode every frame), compared with a
//     plain sequential read of the same file.
// Records are InsertMemory commands of a memory with a 384-float embedding. Files live in the
// page cache: the figures compare CPU and system-call costs, not the disk.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "storage/frame.hpp"
#include "storage/wal.hpp"

namespace {

using namespace tessaradb;
using bench::median_seconds;

MemoryEntry entry_384(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = "default";
  e.content = "a short note about memory " + std::to_string(id);
  std::vector<float> v(384);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((id * 31 + i) % 97) / 97.0f;
  e.embedding = std::move(v);
  e.metadata = {{"source", "bench"}};
  e.created_at = 1700000000 + id;
  return e;
}

std::filesystem::path make_temp_dir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tessaradb-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void plain_write(const std::filesystem::path& path, const std::vector<std::byte>& data,
                 std::size_t piece_bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) throw std::runtime_error("open failed");
  for (std::size_t at = 0; at < data.size(); at += piece_bytes) {
    const std::size_t n = std::min(piece_bytes, data.size() - at);
    if (::write(fd, data.data() + at, n) != static_cast<ssize_t>(n)) {
      throw std::runtime_error("write failed");
    }
  }
  ::close(fd);
}

std::size_t plain_read(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("open failed");
  std::vector<char> buffer(64 * 1024);
  std::size_t total = 0;
  for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
    total += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return total;
}

void row(const char* name, double seconds, double bytes, double records) {
  std::printf("%-44s %10.1f ms %10.1f MB/s %12.0f rec/s\n", name, seconds * 1e3,
              bytes / seconds / 1e6, records / seconds);
}

}  // namespace

int main() {
  const auto dir = make_temp_dir();
  const auto wal_path = dir / "tessaradb.wal";
  const auto plain_path = dir / "plain.bin";
  constexpr int kRepetitions = 5;

  // ---- append ----
  constexpr std::size_t kAppendRecords = 20000;
  std::vector<Command> commands;
  commands.reserve(kAppendRecords);
  for (std::size_t i = 0; i < kAppendRecords; ++i) {
    commands.push_back(InsertMemory{entry_384(i + 1)});
  }
  std::vector<std::byte> image;  // the log's bytes, for the plain comparisons
  for (const Command& c : commands) {
    if (!append_frame(c, image)) return 1;
  }
  const std::size_t frame_bytes = image.size() / kAppendRecords;

  const double append_s = median_seconds(kRepetitions, [&] {
    std::filesystem::remove(wal_path);
    auto wal = WriteAheadLog::open(wal_path);
    if (!wal) throw std::runtime_error(wal.error().message());
    for (const Command& c : commands) {
      if (!wal->append(c)) throw std::runtime_error("append failed");
    }
  });
  const double append_sync_s = median_seconds(kRepetitions, [&] {
    std::filesystem::remove(wal_path);
    auto wal = WriteAheadLog::open(wal_path);
    if (!wal) throw std::runtime_error(wal.error().message());
    for (const Command& c : commands) {
      if (!wal->append(c)) throw std::runtime_error("append failed");
    }
    if (!wal->sync()) throw std::runtime_error("sync failed");
  });
  const double plain_pieces_s =
      median_seconds(kRepetitions, [&] { plain_write(plain_path, image, frame_bytes); });
  const double plain_chunks_s =
      median_seconds(kRepetitions, [&] { plain_write(plain_path, image, 1 << 20); });

  std::printf("append: %zu records of %zu bytes (%.1f MB), median of %d runs\n", kAppendRecords,
              frame_bytes, static_cast<double>(image.size()) / 1e6, kRepetitions);
  const double n = kAppendRecords, bytes = static_cast<double>(image.size());
  row("WriteAheadLog::append (one write per frame)", append_s, bytes, n);
  row("WriteAheadLog::append, then one sync", append_sync_s, bytes, n);
  row("plain write(2), one per frame-sized piece", plain_pieces_s, bytes, n);
  row("plain write(2), 1 MiB chunks", plain_chunks_s, bytes, n);
  std::printf("ratio append / plain per-piece: %.2f, append / plain 1 MiB: %.2f\n\n",
              append_s / plain_pieces_s, append_s / plain_chunks_s);

  // ---- tolerant read of 100k records ----
  constexpr std::size_t kReadRecords = 100000;
  {
    std::filesystem::remove(wal_path);
    auto wal = WriteAheadLog::open(wal_path);
    if (!wal) return 1;
    for (std::size_t i = 0; i < kReadRecords; ++i) {
      if (!wal->append(InsertMemory{entry_384(i + 1)})) return 1;
    }
  }
  const double log_bytes = static_cast<double>(std::filesystem::file_size(wal_path));
  std::size_t read_count = 0;
  const double read_s = median_seconds(kRepetitions, [&] {
    auto read = read_all_tolerant(wal_path);
    if (!read || read->was_truncated) throw std::runtime_error("read failed");
    read_count = read->entries.size();
  });
  const double count_s = median_seconds(kRepetitions, [&] {
    auto count = count_entries(wal_path);
    if (!count) throw std::runtime_error("count failed");
  });
  const double plain_read_s = median_seconds(kRepetitions, [&] { plain_read(wal_path); });

  std::printf("read: %zu records (%.1f MB), median of %d runs\n", read_count, log_bytes / 1e6,
              kRepetitions);
  row("read_all_tolerant (checksum + decode)", read_s, log_bytes, kReadRecords);
  row("count_entries (headers only)", count_s, log_bytes, kReadRecords);
  row("plain read(2), 64 KiB chunks", plain_read_s, log_bytes, kReadRecords);
  std::printf("ratio tolerant read / plain read: %.2f\n", read_s / plain_read_s);

  std::filesystem::remove_all(dir);
  return 0;
}
