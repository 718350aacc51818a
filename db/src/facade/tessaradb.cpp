#include "facade/tessaradb.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "query/hybrid.hpp"

namespace tessaradb {
namespace {

TessaraDBError store_error(TessaraDBStoreError error) {
  return TessaraDBError{TessaraDBError::Store{std::move(error)}};
}

TessaraDBError io_error(int code, std::string context) {
  return TessaraDBError{TessaraDBError::Io{IoError{code, std::move(context)}}};
}

std::uint64_t unix_seconds_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

QueryOptions ask_options(std::size_t top_k, std::optional<Metadata> filter) {
  QueryOptions options;
  options.time_range = std::nullopt;
  options.graph_hops = 1;
  options.namespace_ = std::nullopt;
  options.top_k = top_k;
  options.candidate_multiplier = 5;  // the planner sets its own
  options.metadata_filter = std::move(filter);
  options.score_weights = ScoreWeights{70, 20, 10};
  return options;
}

}  // namespace

// ---- the directory lock ------------------------------------------------------------------------
//
// An exclusive flock on the database directory itself keeps a second process from writing the
// same files. flock belongs to the open file description, so one description per directory and
// process is kept here and shared by every TessaraDB on it; a second flock from this process
// through another description would refuse ourselves. A child after fork inherits the
// description (and with it the parent's lock): the child must never use or release it, so it is
// recognised by its pid and the child tries a lock of its own, which the parent's lock refuses.
//
// flock is not part of the FileSystem interface, so its errno is turned into an IoError here.

struct TessaraDB::DirectoryLock {
  DirectoryLock(int descriptor, pid_t process) : fd(descriptor), pid(process) {}
  ~DirectoryLock() {
    // Closing the last descriptor of the description releases the lock. In a forked child the
    // descriptor is the child's own copy: closing it leaves the parent's lock in place.
    ::close(fd);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  const int fd;
  const pid_t pid;  // the process that took the lock
};

namespace {

struct DirectoryKey {
  dev_t device;
  ino_t inode;
  friend bool operator<(const DirectoryKey& a, const DirectoryKey& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
  }
};

// Locks of this process by directory (device and inode, so every spelling of a path and every
// symbolic link to it meet in one entry).
struct LockRegistry {
  // Guards `locks`.
  std::mutex mutex;
  std::map<DirectoryKey, std::weak_ptr<void>> locks;
};

LockRegistry& lock_registry() {
  static auto* registry = new LockRegistry();  // never destroyed: handles may outlive statics
  return *registry;
}

}  // namespace

// ---- TessaraDBError
// --------------------------------------------------------------------------------

std::string TessaraDBError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Store>) {
          return "Store error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, StateMachine>) {
          return "State machine error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else {
          static_assert(std::is_same_v<K, MemoryNotFound>);
          return "Memory not found: " + std::to_string(k.id);
        }
      },
      kind);
}

std::optional<VectorError::DimensionMismatch> TessaraDBError::dimension_mismatch() const {
  const auto* store = std::get_if<Store>(&kind);
  if (store == nullptr) return std::nullopt;
  const auto* vector = std::get_if<TessaraDBStoreError::Vector>(&store->inner.kind);
  if (vector == nullptr) return std::nullopt;
  const auto* mismatch = std::get_if<VectorError::DimensionMismatch>(&vector->inner.kind);
  if (mismatch == nullptr) return std::nullopt;
  return *mismatch;
}

// ---- open and close
// --------------------------------------------------------------------------------

Result<std::unique_ptr<TessaraDB>, TessaraDBError> TessaraDB::open_with_config(
    const std::filesystem::path& directory, const TessaraDBConfig& config) {
  FileSystem& fs = default_file_system();
  if (auto created = fs.create_directories(directory); !created) {
    return TessaraDBError{TessaraDBError::Io{std::move(created).error()}};
  }
  auto lock = lock_directory(directory);
  if (!lock) return std::move(lock).error();

  StoreOptions options;
  options.wal_path = directory / "tessaradb.wal";
  options.segments_dir = directory / "segments";
  options.dimension = config.dimension;
  options.sync = config.sync;
  options.checkpoint = config.checkpoint;
  options.capacity = config.capacity;
  options.index_mode = config.index_mode;
  // Another handle of this process shares the lock: it may be inside a rewrite right now.
  options.remove_stale_temporaries = lock->use_count() == 1;

  // A checkpoint without its log is a database too: opening it as a new one would later
  // overwrite the checkpoint with an empty state.
  auto has_log = fs.exists(options.wal_path);
  if (!has_log) return TessaraDBError{TessaraDBError::Io{std::move(has_log).error()}};
  auto has_checkpoint = fs.exists(checkpoint_path_for(options.wal_path));
  if (!has_checkpoint) return TessaraDBError{TessaraDBError::Io{std::move(has_checkpoint).error()}};
  auto store = (*has_log || *has_checkpoint) ? TessaraDBStore::recover_with_policies(options, fs)
                                             : TessaraDBStore::new_with_policies(options, fs);
  if (!store) return store_error(std::move(store).error());

  std::unique_ptr<TessaraDB> db(new TessaraDB());
  db->directory_lock_ = std::move(*lock);
  db->store_ = std::move(*store);
  std::uint64_t largest = 0;
  db->store_->snapshot()->state_machine.memories().for_each(
      [&](std::uint64_t id, const StateMachine::EntryPtr&) { largest = id; });  // ascending
  db->next_id_.store(largest + 1);
  return db;
}

// store_ is declared after directory_lock_, so the store (threads joined, files flushed) is gone
// before this handle's share of the lock is released.
TessaraDB::~TessaraDB() = default;

Result<std::shared_ptr<TessaraDB::DirectoryLock>, TessaraDBError> TessaraDB::lock_directory(
    const std::filesystem::path& directory) {
  const pid_t self = ::getpid();
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return io_error(errno, "open " + directory.string());
  auto lock = std::make_shared<TessaraDB::DirectoryLock>(fd, self);  // closes fd from here on
  struct stat info {};
  if (::fstat(fd, &info) != 0) return io_error(errno, "stat " + directory.string());
  const DirectoryKey key{info.st_dev, info.st_ino};

  LockRegistry& registry = lock_registry();
  std::scoped_lock guard(registry.mutex);
  if (auto held = std::static_pointer_cast<TessaraDB::DirectoryLock>(registry.locks[key].lock());
      held && held->pid == self) {
    return held;  // `lock`'s descriptor is closed again; it never held the lock
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      return io_error(0,
                      "database directory " + directory.string() + " is in use by another process");
    }
    return io_error(errno, "lock " + directory.string());
  }
  registry.locks[key] = lock;
  return lock;
}

// ---- writes
// ---------------------------------------------------------------------------------------

Result<MemoryId, TessaraDBError> TessaraDB::remember_in_namespace(
    std::string namespace_, std::vector<float> embedding, std::optional<Metadata> metadata) {
  return remember_with_content(std::move(namespace_), std::string(), std::move(embedding),
                               std::move(metadata));
}

Result<MemoryId, TessaraDBError> TessaraDB::remember_with_content(
    std::string namespace_, std::string content, std::vector<float> embedding,
    std::optional<Metadata> metadata) {
  // Taken before the call and never given back, so concurrent callers get distinct ids.
  const MemoryId id{next_id_.fetch_add(1)};
  MemoryEntry entry;
  entry.id = id;
  entry.namespace_ = std::move(namespace_);
  entry.content = std::move(content);
  entry.embedding = std::move(embedding);
  entry.metadata = metadata ? std::move(*metadata) : Metadata{};
  entry.created_at = unix_seconds_now();
  entry.importance = 0.0f;
  if (auto refused = check_writer(); refused) return *refused;
  auto inserted = store_->insert_memory(std::move(entry));
  if (!inserted) return store_error(std::move(inserted).error());
  return id;
}

Result<void, TessaraDBError> TessaraDB::delete_memory(MemoryId id) {
  if (auto refused = check_writer(); refused) return *refused;
  auto deleted = store_->delete_memory(id);
  if (!deleted) return store_error(std::move(deleted).error());
  return {};
}

Result<void, TessaraDBError> TessaraDB::connect(MemoryId from, MemoryId to, std::string relation) {
  if (auto refused = check_writer(); refused) return *refused;
  auto added = store_->add_edge(from, to, std::move(relation));
  if (!added) return store_error(std::move(added).error());
  return {};
}

Result<void, TessaraDBError> TessaraDB::compact() {
  if (auto refused = check_writer(); refused) return *refused;
  auto compacted = store_->compact_segments();
  if (!compacted) return store_error(std::move(compacted).error());
  return {};
}

Result<void, TessaraDBError> TessaraDB::flush() {
  if (auto refused = check_writer(); refused) return *refused;
  auto flushed = store_->flush();
  if (!flushed) return store_error(std::move(flushed).error());
  return {};
}

Result<void, TessaraDBError> TessaraDB::checkpoint() {
  if (auto refused = check_writer(); refused) return *refused;
  auto done = store_->checkpoint_now();
  if (!done) return store_error(std::move(done).error());
  return {};
}

// A forked child shares the parent's open files: writing through them would interleave two
// processes' appends in one log.
std::optional<TessaraDBError> TessaraDB::check_writer() const {
  if (directory_lock_->pid == ::getpid()) return std::nullopt;
  return io_error(0, "this database handle was opened by process " +
                         std::to_string(directory_lock_->pid) +
                         "; a forked child process must open the database itself");
}

// ---- reads
// ----------------------------------------------------------------------------------------

Result<std::vector<AskHit>, TessaraDBError> TessaraDB::ask(std::vector<float> embedding,
                                                           std::size_t top_k,
                                                           std::optional<Metadata> filter) const {
  const FixedEmbedder embedder(std::move(embedding));
  auto result = store_->query_with_snapshot("", ask_options(top_k, std::move(filter)), embedder);
  if (!result) return store_error(std::move(result).error());
  std::vector<AskHit> hits;
  hits.reserve(result->execution.hits.size());
  for (const QueryHit& hit : result->execution.hits) hits.push_back(AskHit{hit.id, hit.score});
  return hits;
}

Result<std::vector<AskHit>, TessaraDBError> TessaraDB::ask_in_namespace(
    std::string namespace_, std::vector<float> embedding, std::size_t top_k,
    std::optional<Metadata> filter) const {
  QueryOptions options = ask_options(top_k, std::move(filter));
  options.namespace_ = namespace_;
  const FixedEmbedder embedder(std::move(embedding));
  auto result = store_->query_with_snapshot("", options, embedder);
  if (!result) return store_error(std::move(result).error());
  result->snapshot.reset();
  // The hits are checked against the state as it is now, which may already hold later writes:
  // a memory deleted or moved to another namespace since the query ran is dropped.
  const StateMachine current = store_->state_machine();
  std::vector<AskHit> kept;
  for (const QueryHit& hit : result->execution.hits) {
    if (kept.size() >= top_k) break;
    const MemoryEntry* entry = current.get(hit.id);
    if (entry != nullptr && entry->namespace_ == namespace_)
      kept.push_back(AskHit{hit.id, hit.score});
  }
  return kept;
}

Result<Memory, TessaraDBError> TessaraDB::get_memory(MemoryId id) const {
  const auto snapshot = store_->snapshot();
  const MemoryEntry* entry = snapshot->state_machine.get(id);
  if (entry == nullptr) return TessaraDBError{TessaraDBError::MemoryNotFound{id.value}};
  return Memory(*entry);
}

Result<TessaraDB::Neighbors, TessaraDBError> TessaraDB::get_neighbors(MemoryId id) const {
  auto neighbours = store_->state_machine().get_neighbors(id);
  if (!neighbours) {
    return TessaraDBError{TessaraDBError::StateMachine{std::move(neighbours).error()}};
  }
  return std::move(*neighbours);
}

Stats TessaraDB::stats() const {
  Stats stats;
  stats.entries = store_->state_machine().memory_count();
  stats.indexed_embeddings = store_->indexed_embeddings();
  stats.wal_length = store_->wal_len();
  stats.vector_dimension = store_->vector_dimension();
  stats.storage_version = 1;
  return stats;
}

}  // namespace tessaradb
