#pragma once

// A FileSystem for the reliability harness that forwards every operation to a real file system
// and keeps, beside it, a model of what a power loss could leave behind.
//
// The model is a tree of the directory `root` and everything created below it. Each file keeps
// its durable bytes (as of its last successful sync) and the writes and truncations issued since,
// in order. Each directory keeps its current entries and its durable entries (as of its last
// sync_directory). `materialise` writes one possible post-crash image of `root` into another
// directory:
//   - names: the current entries (a file system that orders metadata), or only the durable ones
//     (creates, renames and removals not covered by a directory fsync are undone);
//   - data: unsynced writes all dropped, all kept (what a process kill leaves), or decided per
//     512-byte sector by a seed: applied, dropped or garbled.
//
// Faults: `inject` fails the operation with a given global index (every operation counts,
// reads included) with EIO, with ENOSPC after writing half the bytes of an append, or, on a sync,
// with EIO that also drops the file's unsynced writes (they stay readable until the crash, as in
// a page cache that marked them clean). A persistent fault also fails every later operation of
// the same kind.
//
// `set_hook` installs a function called before each operation with its index and name; the
// crash-state explorer materialises images there and the kill-point runner exits there.
//
// Thread-safety: every operation takes one recursive mutex and the hook runs under it, so the
// hook may call `materialise` (and nothing else of this file system).
//
// Header-only: only the reliability harness includes it.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/file.hpp"
#include "testing/storage_fault_fs.hpp"

namespace tessaradb::testing {

class PageCacheFileSystem final : public FileSystem, public FileGate {
 public:
  enum class FaultKind { Eio, EnospcShortWrite, FsyncEioDropsData };
  struct Fault {
    std::uint64_t at_op = 0;  // global operation index
    FaultKind kind = FaultKind::Eio;
    bool persistent = false;  // also fail every later operation of the same name
  };
  enum class Names { Current, DurableOnly };
  enum class Data { DropUnsynced, KeepUnsynced, PerSector };
  struct CrashImage {
    Names names = Names::Current;
    Data data = Data::DropUnsynced;
    std::uint32_t seed = 0;  // for Data::PerSector
  };
  using Hook = std::function<void(std::uint64_t op_index, const std::string& op)>;

  static constexpr std::size_t kSectorBytes = 512;

  // With `real_syncs` false, file and directory syncs succeed without reaching the disk: the
  // model alone decides what a crash keeps, so the harness need not wait for the device.
  explicit PageCacheFileSystem(std::filesystem::path root, bool real_syncs = true,
                               FileSystem& base = default_file_system())
      : root_(std::move(root)), base_(base), real_syncs_(real_syncs) {
    nodes_.emplace_back();  // the root: exists, durable
    nodes_.back().is_dir = true;
  }

  void set_hook(Hook hook) {
    std::scoped_lock lock(mu_);
    hook_ = std::move(hook);
  }
  void inject(std::optional<Fault> fault) {
    std::scoped_lock lock(mu_);
    fault_ = fault;
    persistent_op_.clear();
  }
  void clear_faults() { inject(std::nullopt); }
  std::uint64_t op_count() const {
    std::scoped_lock lock(mu_);
    return ops_;
  }
  // "<operation> <path>" of every injected fault returned so far, in order.
  std::vector<std::string> faults_returned() const {
    std::scoped_lock lock(mu_);
    return faults_returned_;
  }

  // Writes one post-crash image of `root` into `target` (which must not exist yet).
  void materialise(const std::filesystem::path& target, const CrashImage& image) const {
    std::scoped_lock lock(mu_);
    std::mt19937 rng(image.seed);
    materialise_dir(0, target, image, rng);
  }

  // --- FileSystem ---

  Result<std::unique_ptr<ReadableFile>, IoError> open_readable(
      const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("open_readable", path)) return *e;
    auto file = base_.open_readable(path);
    if (!file) return std::move(file).error();
    return std::unique_ptr<ReadableFile>(std::make_unique<GatedReadableFile>(*this, path, std::move(*file)));
  }

  Result<std::unique_ptr<WritableFile>, IoError> open_writable(const std::filesystem::path& path,
                                                               WriteMode mode) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("open_writable", path)) return *e;
    auto file = base_.open_writable(path, mode);
    if (!file) return std::move(file).error();
    int id = resolve(path);
    if (id < 0) {
      auto parent = resolve(path.parent_path());
      if (parent >= 0) {
        id = new_node(false);
        nodes_[parent].current[path.filename().string()] = id;
      }
    } else if (mode == WriteMode::Truncate) {
      note_truncate(id, 0);
    }
    return std::unique_ptr<WritableFile>(
        std::make_unique<GatedWritableFile>(*this, path, id, std::move(*file)));
  }

  Result<bool, IoError> exists(const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("exists", path)) return *e;
    return base_.exists(path);
  }
  Result<std::uint64_t, IoError> file_size(const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("file_size", path)) return *e;
    return base_.file_size(path);
  }
  Result<void, IoError> rename(const std::filesystem::path& from,
                               const std::filesystem::path& to) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("rename", from)) return *e;
    auto r = base_.rename(from, to);
    if (!r) return r;
    const int id = resolve(from);
    const int from_parent = resolve(from.parent_path());
    const int to_parent = resolve(to.parent_path());
    if (id >= 0 && from_parent >= 0 && to_parent >= 0) {
      nodes_[from_parent].current.erase(from.filename().string());
      nodes_[to_parent].current[to.filename().string()] = id;
    }
    return r;
  }
  Result<void, IoError> create_directories(const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("create_directories", path)) return *e;
    auto r = base_.create_directories(path);
    if (!r) return r;
    auto rel = path.lexically_relative(root_);
    if (rel.empty() || *rel.begin() == "..") return r;
    int at = 0;
    for (const auto& part : rel) {
      if (part == ".") continue;
      auto& children = nodes_[at].current;
      auto it = children.find(part.string());
      if (it == children.end()) {
        const int id = new_node(true);
        nodes_[at].current[part.string()] = id;
        at = id;
      } else {
        at = it->second;
      }
    }
    return r;
  }
  Result<void, IoError> remove_all(const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("remove_all", path)) return *e;
    auto r = base_.remove_all(path);
    if (!r) return r;
    const int parent = resolve(path.parent_path());
    if (parent >= 0) nodes_[parent].current.erase(path.filename().string());
    return r;
  }
  Result<std::vector<std::string>, IoError> list_directory(
      const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("list_directory", path)) return *e;
    return base_.list_directory(path);
  }
  Result<void, IoError> sync_directory(const std::filesystem::path& path) override {
    std::scoped_lock lock(mu_);
    if (auto e = enter("sync_directory", path)) return *e;
    if (real_syncs_) {
      if (auto r = base_.sync_directory(path); !r) return r;
    }
    Result<void, IoError> r{};
    const int id = resolve(path);
    if (id >= 0) nodes_[id].durable = nodes_[id].current;
    return r;
  }

 private:
  struct Pending {
    bool is_truncate = false;
    std::uint64_t offset = 0;  // write offset, or the new length of a truncation
    std::vector<std::byte> bytes;
  };
  struct Node {
    bool is_dir = false;
    std::map<std::string, int> current, durable;     // directories
    std::vector<std::byte> synced_bytes, bytes;      // files: as of the last sync, and now
    std::vector<Pending> pending;                    // files: issued since the last sync
  };

  int new_node(bool is_dir) {
    nodes_.emplace_back();
    nodes_.back().is_dir = is_dir;
    return static_cast<int>(nodes_.size() - 1);
  }

  // The node that `path` names now, or -1 when it is outside the root or absent.
  int resolve(const std::filesystem::path& path) const {
    auto rel = path.lexically_normal().lexically_relative(root_.lexically_normal());
    if (rel.empty() || *rel.begin() == "..") return -1;
    int at = 0;
    for (const auto& part : rel) {
      if (part == "." || part.empty()) continue;
      if (!nodes_[at].is_dir) return -1;
      auto it = nodes_[at].current.find(part.string());
      if (it == nodes_[at].current.end()) return -1;
      at = it->second;
    }
    return at;
  }

  // Counts the operation, runs the hook and returns the fault to inject, if any.
  std::optional<IoError> enter(const std::string& op, const std::filesystem::path& path,
                               FaultKind* kind) {
    const std::uint64_t index = ops_++;
    if (hook_) hook_(index, op);
    bool fail = false;
    if (fault_ && index == fault_->at_op) {
      fail = true;
      if (fault_->persistent) persistent_op_ = op;
    } else if (fault_ && fault_->persistent && op == persistent_op_) {
      fail = true;
    }
    if (!fail) return std::nullopt;
    faults_returned_.push_back(op + " " + path.string());
    if (kind) *kind = fault_->kind;
    const int code = fault_->kind == FaultKind::EnospcShortWrite && op == "append" ? ENOSPC : EIO;
    return IoError{code, op + " " + path.string()};
  }

  void note_write(int id, std::span<const std::byte> bytes) {
    if (id < 0) return;
    auto& node = nodes_[id];
    Pending p;
    p.offset = node.bytes.size();
    p.bytes.assign(bytes.begin(), bytes.end());
    node.bytes.insert(node.bytes.end(), bytes.begin(), bytes.end());
    node.pending.push_back(std::move(p));
  }
  void note_truncate(int id, std::uint64_t length) {
    if (id < 0) return;
    auto& node = nodes_[id];
    node.bytes.resize(length);
    Pending p;
    p.is_truncate = true;
    p.offset = length;
    node.pending.push_back(std::move(p));
  }
  void note_sync(int id) {
    if (id < 0) return;
    nodes_[id].synced_bytes = nodes_[id].bytes;
    nodes_[id].pending.clear();
  }
  // A failed fsync: the kernel has given up on the unsynced pages. Reads still see them until
  // the crash, but no later sync will write them.
  void note_sync_failed_and_dropped(int id) {
    if (id < 0) return;
    nodes_[id].pending.clear();
  }

  std::vector<std::byte> crash_bytes(const Node& node, const CrashImage& image,
                                     std::mt19937& rng) const {
    if (image.data == Data::KeepUnsynced && node.pending.empty()) return node.bytes;
    std::vector<std::byte> out = node.synced_bytes;
    if (image.data == Data::DropUnsynced) return out;
    for (const auto& p : node.pending) {
      if (p.is_truncate) {
        if (image.data == Data::KeepUnsynced || rng() % 2 == 0) out.resize(p.offset);
        continue;
      }
      std::uint64_t at = p.offset;
      std::size_t i = 0;
      while (i < p.bytes.size()) {
        // Pieces end on sector boundaries of the file.
        const std::size_t room = kSectorBytes - static_cast<std::size_t>(at % kSectorBytes);
        const std::size_t n = std::min(room, p.bytes.size() - i);
        const unsigned choice = image.data == Data::KeepUnsynced ? 0u : rng() % 20;
        if (choice < 9 || choice >= 18) {  // applied (9 in 20) or garbled (2 in 20)
          if (out.size() < at + n) out.resize(at + n);
          for (std::size_t k = 0; k < n; ++k) {
            out[at + k] = choice < 9 ? p.bytes[i + k] : static_cast<std::byte>(rng() & 0xff);
          }
        }
        at += n;
        i += n;
      }
    }
    return out;
  }

  void materialise_dir(int id, const std::filesystem::path& target, const CrashImage& image,
                       std::mt19937& rng) const {
    std::filesystem::create_directories(target);
    const auto& entries =
        image.names == Names::Current ? nodes_[id].current : nodes_[id].durable;
    for (const auto& [name, child] : entries) {
      const auto& node = nodes_[child];
      if (node.is_dir) {
        materialise_dir(child, target / name, image, rng);
      } else {
        const auto bytes = crash_bytes(node, image, rng);
        std::ofstream out(target / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
      }
    }
  }

  // --- FileGate: the file wrappers' operations go through the model ---

  std::unique_lock<std::recursive_mutex> hold() override {
    return std::unique_lock<std::recursive_mutex>(mu_);
  }
  std::optional<IoError> enter(const std::string& op, const std::filesystem::path& path) override {
    return enter(op, path, &last_kind_);
  }
  Result<void, IoError> refused_append(int node, WritableFile& file,
                                       std::span<const std::byte> bytes, IoError error) override {
    if (last_kind_ == FaultKind::EnospcShortWrite && bytes.size() > 1) {
      // A short write: the first half reached the file before the disk filled up.
      const auto half = bytes.first(bytes.size() / 2);
      if (file.append(half)) note_write(node, half);
    }
    return error;
  }
  void refused_sync(int node) override {
    if (last_kind_ == FaultKind::FsyncEioDropsData) note_sync_failed_and_dropped(node);
  }
  bool syncs_reach_disk() const override { return real_syncs_; }
  void appended(int node, std::span<const std::byte> bytes) override { note_write(node, bytes); }
  void synced(int node) override { note_sync(node); }
  void truncated(int node, std::uint64_t length) override { note_truncate(node, length); }

  const std::filesystem::path root_;
  FileSystem& base_;
  // Guards everything below.
  mutable std::recursive_mutex mu_;
  std::vector<Node> nodes_;  // [0] is the root
  std::uint64_t ops_ = 0;
  std::optional<Fault> fault_;
  std::string persistent_op_;
  std::vector<std::string> faults_returned_;
  FaultKind last_kind_ = FaultKind::Eio;  // of the fault `enter` returned last
  const bool real_syncs_;
  Hook hook_;
};

}  // namespace tessaradb::testing
