#include "storage/segment.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <map>

#include "storage/frame.hpp"

namespace tessaradb {
namespace {

constexpr std::uint32_t kMaxSegmentNumber = std::numeric_limits<std::uint32_t>::max() - 1;
constexpr double kCompactableDeletedRatio = 0.2;

SegmentError io_error(IoError e) { return SegmentError{SegmentError::Io{std::move(e)}}; }
SegmentError serialization_error(SerializationError e) {
  return SegmentError{SegmentError::Serialization{std::move(e)}};
}
SegmentError checksum_mismatch(std::uint64_t offset, std::uint32_t expected, std::uint32_t actual) {
  return SegmentError{SegmentError::ChecksumMismatch{offset, expected, actual}};
}

std::string to_hex(std::uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

// A segment payload is enveloped when it starts with the marker, else a pre-envelope record.
Result<MemoryEntry, SerializationError> decode_segment_payload(std::span<const std::byte> payload) {
  return deserialize_versioned<MemoryEntry>(payload);
}

}  // namespace

std::string SegmentError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Serialization>) {
          return "Serialization error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, EntryNotFound>) {
          return "Entry not found: " + debug_string(k.id);
        } else {
          return "Checksum mismatch at offset " + std::to_string(k.offset) + ": expected " +
                 to_hex(k.expected) + ", got " + to_hex(k.actual);
        }
      },
      kind);
}

std::string segment_file_name(std::uint32_t segment) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%06u", static_cast<unsigned>(segment));
  return std::string(buffer) + ".seg";
}

std::optional<std::uint32_t> parse_segment_file_name(std::string_view name) {
  constexpr std::string_view kSuffix = ".seg";
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return std::nullopt;
  const std::string_view stem = name.substr(0, name.size() - kSuffix.size());
  if (!std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(stem.data(), stem.data() + stem.size(), value);
  if (ec != std::errc{} || end != stem.data() + stem.size()) return std::nullopt;
  if (value > kMaxSegmentNumber || segment_file_name(value) != name) return std::nullopt;
  return value;
}

SegmentStorage::SegmentStorage(std::filesystem::path dir, FileSystem& fs)
    : dir_(std::move(dir)), fs_(&fs) {}

std::filesystem::path SegmentStorage::segment_path(std::uint32_t segment) const {
  return dir_ / segment_file_name(segment);
}

Result<SegmentStorage, SegmentError> SegmentStorage::open(const std::filesystem::path& dir,
                                                          FileSystem& fs) {
  auto existed = fs.exists(dir);
  if (!existed) return io_error(std::move(existed).error());
  if (auto made = fs.create_directories(dir); !made) return io_error(std::move(made).error());
  if (!*existed) {
    // Recovery depends on this directory: make its entry in the parent durable.
    if (auto synced = fs.sync_directory(parent_directory(dir)); !synced) {
      return io_error(std::move(synced).error());
    }
  }
  SegmentStorage storage(dir, fs);
  if (auto rebuilt = storage.rebuild_index(); !rebuilt) return std::move(rebuilt).error();
  if (auto opened = storage.open_current_segment(); !opened) return std::move(opened).error();
  return storage;
}

Result<void, SegmentError> SegmentStorage::rebuild_index() {
  auto names = fs_->list_directory(dir_);
  if (!names) return io_error(std::move(names).error());
  std::map<std::uint32_t, std::string> segments;  // ascending by number
  for (const std::string& name : *names) {
    if (auto number = parse_segment_file_name(name)) segments.emplace(*number, name);
  }
  for (const auto& [number, name] : segments) {
    const bool is_newest = number == segments.rbegin()->first;
    if (auto loaded = load_segment_file(number, is_newest); !loaded) return loaded;
    current_segment_ = std::max(current_segment_, number + 1);
  }
  return {};
}

// Indexes the records of one file. A torn or damaged last frame is cut off (a crash while it
// was written). In the newest file any damaged frame is cut off with everything after it: it is
// the only file that can hold several unsynced frames (older files were synced at roll-over or
// written synced by compaction), and a power loss may leave any sector of those frames zeroed
// or garbled while later sectors survive. Its records are all rewritten from the log at replay,
// so nothing durable is lost. Damage before the last frame of an older file cannot come from a
// crash and fails the load.
Result<void, SegmentError> SegmentStorage::load_segment_file(std::uint32_t segment,
                                                             bool is_newest) {
  const std::filesystem::path path = segment_path(segment);
  auto file = fs_->open_readable(path);
  if (!file) return io_error(std::move(file).error());
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  FrameReader reader(**file, *size);
  for (;;) {
    const std::uint64_t frame_start = reader.offset();
    auto status = reader.next();
    if (!status) return io_error(std::move(status).error());
    if (*status == FrameReader::Status::End) return {};
    bool torn = *status == FrameReader::Status::Torn;
    if (!torn) {
      const auto& frame = reader.frame();
      const std::uint32_t actual = crc32_cksum(frame.payload);
      if (actual != frame.stored_checksum) {
        if (!frame.ends_file && !is_newest) {
          return checksum_mismatch(frame_start, frame.stored_checksum, actual);
        }
        torn = true;
      } else if (auto entry = decode_segment_payload(frame.payload); !entry) {
        if (!frame.ends_file && !is_newest) return serialization_error(std::move(entry).error());
        torn = true;
      } else {
        index_.insert_or_assign(entry->id,
                                SegmentIndexEntry{segment, frame_start, frame.length, false,
                                                  frame.stored_checksum});
      }
    }
    if (torn) {
      file->reset();
      return truncate_segment_tail(path, frame_start, *fs_);
    }
  }
}

Result<void, SegmentError> SegmentStorage::truncate_segment_tail(const std::filesystem::path& path,
                                                                 std::uint64_t length,
                                                                 FileSystem& fs) {
  auto file = fs.open_writable(path, WriteMode::Existing);
  if (!file) return io_error(std::move(file).error());
  if (auto cut = (*file)->truncate(length); !cut) return io_error(std::move(cut).error());
  if (auto synced = (*file)->sync(); !synced) return io_error(std::move(synced).error());
  if (auto closed = (*file)->close(); !closed) return io_error(std::move(closed).error());
  return {};
}

Result<void, SegmentError> SegmentStorage::open_current_segment() {
  const std::filesystem::path path = segment_path(current_segment_);
  auto existed = fs_->exists(path);
  if (!existed) return io_error(std::move(existed).error());
  auto file = fs_->open_writable(path, WriteMode::Append);
  if (!file) return io_error(std::move(file).error());
  if (!*existed) {
    if (auto synced = fs_->sync_directory(dir_); !synced) {
      return io_error(std::move(synced).error());
    }
  }
  auto size = (*file)->size();
  if (!size) return io_error(std::move(size).error());
  file_ = std::move(*file);
  current_size_ = *size;
  return {};
}

SegmentError SegmentStorage::fail(IoError error) {
  failure_ = error;
  return io_error(std::move(error));
}

Result<void, SegmentError> SegmentStorage::roll_over() {
  if (current_segment_ >= kMaxSegmentNumber) {
    return io_error(IoError{0, "roll over " + dir_.string() + ": segment numbers exhausted"});
  }
  if (file_) {
    if (auto synced = file_->sync(); !synced) return fail(std::move(synced).error());
    // A full segment is read again only at open and compaction: its pages leave the cache.
    file_->drop_cached(0, current_size_);
    if (auto closed = file_->close(); !closed) return fail(std::move(closed).error());
    file_.reset();
  }
  ++current_segment_;
  current_size_ = 0;
  return open_current_segment();
}

Result<SegmentLocation, SegmentError> SegmentStorage::write_entry(const MemoryEntry& entry) {
  if (failure_) return io_error(*failure_);
  frame_.clear();
  if (auto framed = append_frame(entry, frame_); !framed) {
    return serialization_error(std::move(framed).error());
  }
  if (current_size_ >= kSegmentRolloverBytes) {
    if (auto rolled = roll_over(); !rolled) return std::move(rolled).error();
  } else if (!file_) {
    // Closed for maintenance that did not finish: reopen, so the record reaches a file.
    if (auto opened = open_current_segment(); !opened) return std::move(opened).error();
  }
  const SegmentLocation location{current_size_, current_segment_,
                                 static_cast<std::uint32_t>(frame_.size() - kFrameHeaderBytes)};
  const std::uint32_t checksum = load_u32_le(frame_.data() + 4);
  const std::size_t frame_bytes = frame_.size();
  auto written = file_->append(frame_);
  release_if_large(frame_);
  if (!written) return fail(std::move(written).error());
  current_size_ += frame_bytes;
  index_.insert_or_assign(entry.id, SegmentIndexEntry{location.segment, location.offset,
                                                      location.length, false, checksum});
  return location;
}

Result<MemoryEntry, SegmentError> SegmentStorage::read_record(ReadableFile& file,
                                                              const std::filesystem::path& path,
                                                              const SegmentIndexEntry& where) {
  std::vector<std::byte> frame(kFrameHeaderBytes + std::size_t{where.length});
  auto got = file.read_at(where.offset, frame);
  if (!got) return io_error(std::move(got).error());
  if (*got < frame.size()) {
    return io_error(IoError{0, "read " + path.string() + ": unexpected end of file at offset " +
                                   std::to_string(where.offset + *got)});
  }
  // The length comes from the index; the stored one is not trusted over it.
  const std::span<const std::byte> payload(frame.data() + kFrameHeaderBytes, where.length);
  const std::uint32_t stored = load_u32_le(frame.data() + 4);
  const std::uint32_t actual = crc32_cksum(payload);
  if (stored != actual) return checksum_mismatch(where.offset, stored, actual);
  auto entry = decode_segment_payload(payload);
  if (!entry) return serialization_error(std::move(entry).error());
  return std::move(*entry);
}

Result<MemoryEntry, SegmentError> SegmentStorage::read_entry(MemoryId id) const {
  const auto it = index_.find(id);
  if (it == index_.end() || it->second.deleted) {
    return SegmentError{SegmentError::EntryNotFound{id}};
  }
  const std::filesystem::path path = segment_path(it->second.segment);
  auto file = fs_->open_readable(path);
  if (!file) return io_error(std::move(file).error());
  return read_record(**file, path, it->second);
}

Result<MemoryEntry, SegmentError> SegmentReader::read_entry(MemoryId id) {
  const auto it = storage_.index_.find(id);
  if (it == storage_.index_.end() || it->second.deleted) {
    return SegmentError{SegmentError::EntryNotFound{id}};
  }
  const std::uint32_t segment = it->second.segment;
  const std::filesystem::path path = storage_.segment_path(segment);
  auto& file = files_[segment];
  if (!file) {
    auto opened = storage_.fs_->open_readable(path);
    if (!opened) {
      files_.erase(segment);
      return io_error(std::move(opened).error());
    }
    file = std::move(*opened);
  }
  return SegmentStorage::read_record(*file, path, it->second);
}

Result<std::vector<std::pair<MemoryId, MemoryEntry>>, SegmentError>
SegmentStorage::get_all_live_entries() const {
  std::vector<std::pair<MemoryId, MemoryEntry>> out;
  SegmentReader reader(*this);
  for (const auto& [id, where] : index_) {
    if (where.deleted) continue;
    auto entry = reader.read_entry(id);
    if (!entry) return std::move(entry).error();
    out.emplace_back(id, std::move(*entry));
  }
  return out;
}

std::vector<std::uint32_t> SegmentStorage::get_compactable_segments() const {
  struct Counts {
    std::uint64_t deleted = 0;
    std::uint64_t live = 0;
  };
  std::map<std::uint32_t, Counts> per_segment;
  for (const auto& [id, where] : index_) {
    Counts& c = per_segment[where.segment];
    (where.deleted ? c.deleted : c.live) += 1;
  }
  std::vector<std::uint32_t> out;
  for (const auto& [segment, c] : per_segment) {
    if (segment >= current_segment_) continue;
    const double ratio = static_cast<double>(c.deleted) / static_cast<double>(c.deleted + c.live);
    if (ratio > kCompactableDeletedRatio) out.push_back(segment);
  }
  return out;
}

Result<void, SegmentError> SegmentStorage::prepare_for_maintenance() {
  if (failure_) return io_error(*failure_);
  if (!file_) return {};
  std::unique_ptr<WritableFile> file = std::move(file_);
  if (auto synced = file->sync(); !synced) return fail(std::move(synced).error());
  if (auto closed = file->close(); !closed) return fail(std::move(closed).error());
  return {};
}

Result<void, SegmentError> SegmentStorage::flush() {
  if (failure_) return io_error(*failure_);
  return {};
}

Result<void, SegmentError> SegmentStorage::sync() {
  if (failure_) return io_error(*failure_);
  if (!file_) return {};
  if (auto synced = file_->sync(); !synced) return fail(std::move(synced).error());
  return {};
}

bool SegmentStorage::mark_deleted(MemoryId id) {
  const auto it = index_.find(id);
  if (it == index_.end()) return false;
  it->second.deleted = true;
  return true;
}

}  // namespace tessaradb
