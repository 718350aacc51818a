#include "index/hnsw.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// The SIMD distance kernels that ship with the library (simsimd, same pinned package) speed up
// the graph's cosine distances; they are enabled for this file only, the one that includes the
// library.
#undef USEARCH_USE_SIMSIMD
#define USEARCH_USE_SIMSIMD 1
#define SIMSIMD_NATIVE_F16 0  // half-precision storage types are not used here
#define SIMSIMD_NATIVE_BF16 0
// Compile the AVX2 and AVX-512 kernels (under target pragmas) and pick the best one at run time
// from what the processor reports. Newer kernel families need a newer compiler and stay off.
#define SIMSIMD_TARGET_HASWELL 1
#define SIMSIMD_TARGET_SKYLAKE 1
#define SIMSIMD_TARGET_ICE 0
#define SIMSIMD_TARGET_GENOA 0
#define SIMSIMD_TARGET_SAPPHIRE 0
#define SIMSIMD_TARGET_TURIN 0
#define SIMSIMD_TARGET_SIERRA 0
// g++ 12 reports false "uninitialized" warnings inside its own AVX-512 intrinsics headers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <usearch/index_dense.hpp>
#pragma GCC diagnostic pop

#include "index/hnsw_file_check.hpp"

namespace tessaradb {

namespace us = unum::usearch;

namespace {

// The library keeps one search context per thread slot, and a context may serve one operation
// at a time. Searches share the backend, so each takes a slot of its own from this pool; writes
// hold the backend exclusively and use slot 0.
class SearchSlots {
 public:
  explicit SearchSlots(std::size_t count) {
    free_.reserve(count);
    for (std::size_t slot = count; slot > 0; --slot) free_.push_back(slot - 1);
  }

  // A free slot, waiting while all are taken; nothing when the lock cannot be taken.
  std::optional<std::size_t> acquire() {
    try {
      std::unique_lock lock(mutex_);
      freed_.wait(lock, [&] { return !free_.empty(); });
      const std::size_t slot = free_.back();
      free_.pop_back();
      return slot;
    } catch (const std::system_error&) {
      return std::nullopt;
    }
  }

  void release(std::size_t slot) noexcept {
    {
      // Taking a mutex we already took once does not fail in practice; the slot list was
      // reserved at full size, so the push cannot allocate.
      std::scoped_lock lock(mutex_);
      free_.push_back(slot);
    }
    freed_.notify_one();
  }

 private:
  // Guards free_.
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<std::size_t> free_;
};

// One slot per hardware thread: more searches than that cannot run at once anyway.
std::size_t search_slot_count() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 256);
}

// Holds a slot for the lifetime of a search and its library result, whose buffers live in the
// slot's context.
class SlotGuard {
 public:
  SlotGuard(SearchSlots& slots, std::size_t slot) : slots_(slots), slot_(slot) {}
  ~SlotGuard() { slots_.release(slot_); }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

 private:
  SearchSlots& slots_;
  std::size_t slot_;
};

}  // namespace

struct HnswBackend::Impl {
  explicit Impl(us::index_dense_t library_index)
      : index(std::move(library_index)), slots(search_slot_count()) {}

  us::index_dense_t index;
  SearchSlots slots;
  std::uint64_t generation = 0;  // see the header; advanced by add and remove
};

namespace {

// The file checker spells out the library's layout; make sure it is this library's.
static_assert(sizeof(us::index_dense_head_buffer_t) == 64);
static_assert(sizeof(us::index_serialized_header_t) == 5 * sizeof(std::uint64_t));
static_assert(sizeof(us::index_dense_t::vector_key_t) == 8);
static_assert(sizeof(us::index_dense_t::compressed_slot_t) == 4);
// (The per-node i16 level and u32 neighbour count are private to the library's graph type.)

detail::HnswFileExpectation file_expectation(std::size_t dimension) {
  detail::HnswFileExpectation out;
  out.dimension = dimension;
  out.version_major = USEARCH_VERSION_MAJOR;
  out.metric_kind = static_cast<std::uint8_t>(us::metric_kind_t::cos_k);
  out.scalar_kind = static_cast<std::uint8_t>(us::scalar_kind_t::f32_k);
  out.key_kind = static_cast<std::uint8_t>(us::scalar_kind<us::index_dense_t::vector_key_t>());
  out.slot_kind =
      static_cast<std::uint8_t>(us::scalar_kind<us::index_dense_t::compressed_slot_t>());
  out.free_key = us::default_free_value<us::index_dense_t::vector_key_t>();
  return out;
}

constexpr std::size_t kInitialCapacity = 64;
// Writes run alone, so they always use this slot.
constexpr std::size_t kWriteSlot = 0;

HnswError usearch_error(std::string message) {
  return HnswError{HnswError::UsearchError{std::move(message)}};
}

// Takes the message out of a library error object, so its destructor has nothing to throw.
std::string take_message(us::error_t& error) {
  const char* text = error.release();
  return text ? std::string(text) : std::string("unknown error");
}

HnswError io_error(const std::string& what, int errno_value) {
  std::string text =
      what + ": " + std::strerror(errno_value) + " (os error " + std::to_string(errno_value) + ")";
  const auto kind =
      errno_value == ENOENT ? IndexIoError::Kind::NotFound : IndexIoError::Kind::Other;
  return HnswError{HnswError::IoError{IndexIoError{kind, std::move(text)}}};
}

us::index_dense_config_t library_config(const HnswConfig& config) {
  us::index_dense_config_t out(us::index_config_t(static_cast<std::size_t>(config.m)));
  out.connectivity_base = 0;  // the library's default: twice the connectivity
  out.expansion_add = static_cast<std::size_t>(config.ef_construction);
  out.expansion_search = static_cast<std::size_t>(config.ef_search);
  out.multi = false;
  return out;
}

Result<us::index_dense_t, HnswError> make_library_index(std::size_t dimension,
                                                        const HnswConfig& config) {
  us::metric_punned_t metric(dimension, us::metric_kind_t::cos_k, us::scalar_kind_t::f32_k);
  auto made = us::index_dense_t::make(metric, library_config(config));
  if (made.error) return usearch_error(take_message(made.error));
  return std::move(made.index);
}

// Writes `size` bytes fully, retrying short writes and interruptions. Returns 0 or an errno.
int write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// Syncs the directory's entries; failures are ignored because the rename already happened and
// only the durability of the name is at stake.
void sync_directory(const std::filesystem::path& directory) {
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

std::atomic<detail::HnswSaveStepHook> g_save_step_hook{nullptr};

void save_step(const char* step) {
  if (const auto hook = g_save_step_hook.load(std::memory_order_acquire)) hook(step);
}

// Takes the backend's lock exclusively, holding the gate while it waits so that no new reader
// overtakes it; false when a mutex cannot be taken (the system refused it).
bool take_exclusive(std::unique_lock<std::shared_mutex>& lock, std::mutex& gate) {
  try {
    std::scoped_lock waiting(gate);
    lock.lock();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Takes the backend's lock shared, after passing the gate (which a waiting writer holds).
bool take_shared(std::shared_lock<std::shared_mutex>& lock, std::mutex& gate) {
  try {
    { std::scoped_lock pass(gate); }
    lock.lock();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Reads the whole file. Returns 0 or an errno.
int read_file(const std::filesystem::path& path, std::vector<unsigned char>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  out.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = got < 0 ? errno : EIO;  // the file shrank while we read it
      ::close(fd);
      return error;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return 0;
}

}  // namespace

HnswBackend::HnswBackend(std::size_t dimension, HnswConfig config, std::unique_ptr<Impl> impl)
    : dimension_(dimension), config_(config), impl_(std::move(impl)) {}

HnswBackend::~HnswBackend() = default;

Result<std::shared_ptr<HnswBackend>, HnswError> HnswBackend::create(std::size_t dimension,
                                                                    HnswConfig config) {
  try {
    auto index = make_library_index(dimension, config);
    if (!index) return std::move(index).error();
    auto impl = std::make_unique<Impl>(std::move(*index));
    return std::shared_ptr<HnswBackend>(new HnswBackend(dimension, config, std::move(impl)));
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

Result<std::shared_ptr<HnswBackend>, HnswError> HnswBackend::load_from_file(
    const std::filesystem::path& path, std::size_t dimension, HnswConfig config) {
  std::error_code ec;
  (void)std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(path, ec)) {
    return HnswError{HnswError::IoError{
        IndexIoError{IndexIoError::Kind::NotFound, "HNSW index file not found"}}};
  }
  try {
    std::vector<unsigned char> bytes;
    if (const int error = read_file(path, bytes); error != 0) {
      return io_error("cannot read " + path.string(), error);
    }
    // The library trusts its input; a damaged file could make it allocate without bound or
    // later follow a neighbour link out of its arrays. So every count, kind and link is checked
    // here first, and only a file that passes is handed to the library.
    if (auto problem = detail::check_hnsw_file(bytes, file_expectation(dimension))) {
      return usearch_error("damaged index file: " + *problem);
    }
    auto index = make_library_index(dimension, config);
    if (!index) return std::move(index).error();
    // The loader keeps the thread slots of the index it replaces; give it the search slots now,
    // or searches on the loaded graph would have no search context to work in.
    if (!index->try_reserve(us::index_limits_t(0, search_slot_count()))) {
      return usearch_error("Failed to reserve search threads");
    }
    std::size_t offset = 0;
    auto input = [&](void* buffer, std::size_t length) {
      if (length > bytes.size() - offset) return false;
      std::memcpy(buffer, bytes.data() + offset, length);
      offset += length;
      return true;
    };
    us::serialization_result_t loaded = index->load_from_stream(input);
    if (loaded.error) return usearch_error(take_message(loaded.error));
    auto impl = std::make_unique<Impl>(std::move(*index));
    return std::shared_ptr<HnswBackend>(new HnswBackend(dimension, config, std::move(impl)));
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

Result<void, HnswError> HnswBackend::add(MemoryId id, std::span<const float> vector) {
  if (vector.size() != dimension_) {
    return HnswError{HnswError::DimensionMismatch{dimension_, vector.size()}};
  }
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!take_exclusive(lock, write_gate_)) return HnswError{HnswError::LockError{}};
  ++impl_->generation;
  try {
    us::index_dense_t& index = impl_->index;
    // The library marks removed slots with this key; a member may not use it.
    if (id.value == us::default_free_value<us::index_dense_t::vector_key_t>()) {
      return usearch_error("key " + std::to_string(id.value) + " is reserved by the index");
    }
    if (index.size() >= index.capacity()) {
      const std::size_t wanted = std::max(kInitialCapacity, index.capacity() * 2);
      if (!index.try_reserve(us::index_limits_t(wanted, search_slot_count()))) {
        return usearch_error("Failed to reserve capacity for " + std::to_string(wanted) +
                             " vectors");
      }
    }
    auto added = index.add(id.value, vector.data(), kWriteSlot);
    if (added.error) return usearch_error(take_message(added.error));
    return {};
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

Result<void, HnswError> HnswBackend::remove(MemoryId id) {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!take_exclusive(lock, write_gate_)) return HnswError{HnswError::LockError{}};
  ++impl_->generation;
  try {
    auto removed = impl_->index.remove(id.value);
    if (removed.error) return usearch_error(take_message(removed.error));
    return {};
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

Result<SearchHits, HnswError> HnswBackend::search(std::span<const float> query,
                                                  std::size_t k) const {
  return search_filtered(query, k, nullptr);
}

Result<SearchHits, HnswError> HnswBackend::search_filtered(
    std::span<const float> query, std::size_t k, const std::function<bool(MemoryId)>& accept,
    std::optional<std::uint64_t> all_accepted_at) const {
  if (query.size() != dimension_) {
    return HnswError{HnswError::DimensionMismatch{dimension_, query.size()}};
  }
  std::shared_lock lock(mutex_, std::defer_lock);
  if (!take_shared(lock, write_gate_)) return HnswError{HnswError::LockError{}};
  try {
    const us::index_dense_t& index = impl_->index;
    if (index.capacity() == 0) return HnswError{HnswError::NoVectors{}};
    // Never ask for more than the graph holds: the library sizes its result buffers by k.
    const std::size_t wanted = std::min(k, index.size());
    SearchHits hits;
    if (wanted == 0) return hits;
    const bool filtered = accept && all_accepted_at != impl_->generation;
    const auto slot = impl_->slots.acquire();
    if (!slot) return HnswError{HnswError::LockError{}};
    // Declared before the result, so the slot is given back only once the result is gone.
    const SlotGuard held(impl_->slots, *slot);
    auto found = filtered ? index.filtered_search(
                                query.data(), wanted,
                                [&](std::uint64_t key) { return accept(MemoryId{key}); }, *slot)
                          : index.search(query.data(), wanted, *slot);
    if (found.error) return usearch_error(take_message(found.error));
    hits.reserve(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      const auto match = found[i];
      hits.emplace_back(MemoryId{static_cast<std::uint64_t>(match.member.key)},
                        1.0f - static_cast<float>(match.distance));
    }
    return hits;
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

Result<void, HnswError> HnswBackend::save_to_file(const std::filesystem::path& path) const {
  // Exclusive, so two saves never write the temporary file at once.
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!take_exclusive(lock, write_gate_)) return HnswError{HnswError::LockError{}};
  const std::filesystem::path parent = path.parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return io_error("cannot create " + parent.string(), ec.value());
  }
  // Temporary file, sync, rename, directory sync: a crash at any point leaves either the old
  // complete file or the new complete one under `path`, never a torn mix.
  const std::filesystem::path temp = path.string() + ".tmp";
  save_step("create");
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return io_error("cannot create " + temp.string(), errno);
  int write_error = 0;
  try {
    bool first_write = true;
    auto output = [&](const void* data, std::size_t size) {
      if (first_write) save_step("write");
      first_write = false;
      write_error = write_all(fd, data, size);
      return write_error == 0;
    };
    us::serialization_result_t saved = impl_->index.save_to_stream(output);
    if (saved.error) {
      std::string message = take_message(saved.error);
      ::close(fd);
      ::unlink(temp.c_str());
      if (write_error != 0) return io_error("cannot write " + temp.string(), write_error);
      return usearch_error(std::move(message));
    }
  } catch (const std::exception& e) {
    ::close(fd);
    ::unlink(temp.c_str());
    return usearch_error(e.what());
  }
  save_step("sync");
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return io_error("cannot sync " + temp.string(), error);
  }
  save_step("close");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return io_error("cannot close " + temp.string(), error);
  }
  save_step("rename");
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return io_error("cannot rename " + temp.string() + " to " + path.string(), error);
  }
  save_step("sync_directory");
  sync_directory(parent);
  return {};
}

bool HnswBackend::contains(MemoryId id) const {
  { std::scoped_lock pass(write_gate_); }  // behind any writer already waiting
  std::shared_lock lock(mutex_);
  try {
    return impl_->index.contains(id.value);
  } catch (const std::exception&) {
    return false;
  }
}

Result<std::optional<std::vector<float>>, HnswError> HnswBackend::get(MemoryId id) const {
  { std::scoped_lock pass(write_gate_); }  // behind any writer already waiting
  std::shared_lock lock(mutex_);
  try {
    std::vector<float> vector(dimension_);
    if (impl_->index.get(id.value, vector.data()) == 0) return std::optional<std::vector<float>>{};
    return std::optional<std::vector<float>>(std::move(vector));
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

bool HnswBackend::copy_vectors_at(std::uint64_t generation, std::span<const MemoryId> ids,
                                  float* out) const {
  std::shared_lock lock(mutex_, std::defer_lock);
  if (!take_shared(lock, write_gate_)) return false;
  try {
    if (impl_->generation != generation) return false;
    for (std::size_t n = 0; n < ids.size(); ++n) {
      if (impl_->index.get(ids[n].value, out + n * dimension_) == 0) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

Result<std::vector<MemoryId>, HnswError> HnswBackend::keys() const {
  { std::scoped_lock pass(write_gate_); }  // behind any writer already waiting
  std::shared_lock lock(mutex_);
  try {
    const std::size_t count = impl_->index.size();
    std::vector<std::uint64_t> raw(count);
    impl_->index.export_keys(raw.data(), 0, count);
    std::vector<MemoryId> out;
    out.reserve(count);
    for (const std::uint64_t key : raw) out.emplace_back(key);
    return out;
  } catch (const std::exception& e) {
    return usearch_error(e.what());
  }
}

std::size_t HnswBackend::size() const {
  { std::scoped_lock pass(write_gate_); }  // behind any writer already waiting
  std::shared_lock lock(mutex_);
  try {
    return impl_->index.size();
  } catch (const std::exception&) {
    return 0;
  }
}

std::uint64_t HnswBackend::generation() const {
  { std::scoped_lock pass(write_gate_); }  // behind any writer already waiting
  std::shared_lock lock(mutex_);
  return impl_->generation;
}

namespace detail {

void set_hnsw_save_step_hook(HnswSaveStepHook hook) {
  g_save_step_hook.store(hook, std::memory_order_release);
}

}  // namespace detail

}  // namespace tessaradb
