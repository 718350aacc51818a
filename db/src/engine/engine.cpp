#include "engine/engine.hpp"

#include <utility>

namespace tessaradb {

namespace detail {
class CapacityTracker {};
}  // namespace detail

std::string CompactionError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else {
          return "Segment error: " + k.inner.message();
        }
      },
      kind);
}

std::string EngineError::message() const {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, Io>) {
          return "IO error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Wal>) {
          return "WAL error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, StateMachine>) {
          return "State machine error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Segment>) {
          return "Segment error: " + k.inner.message();
        } else if constexpr (std::is_same_v<K, Compaction>) {
          return "Compaction error: " + k.inner.message();
        } else {
          return "Checkpoint error: " + k.inner.message();
        }
      },
      kind);
}

std::uint64_t memory_size(const MemoryEntry& entry) {
  std::uint64_t size = entry.namespace_.size() + entry.content.size();
  if (entry.embedding) size += 4 * static_cast<std::uint64_t>(entry.embedding->size());
  for (const auto& [key, value] : entry.metadata) size += key.size() + value.size();
  return size;
}

Engine::Engine(WriteAheadLog wal, SegmentStorage segments, StateMachine state,
               std::uint64_t last_applied_id, FileSystem& fs)
    : wal_(std::move(wal)),
      segments_(std::move(segments)),
      state_(std::move(state)),
      last_applied_id_(last_applied_id),
      fs_(&fs) {}

Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

namespace {
EngineError not_yet() { return EngineError{EngineError::Io{IoError{0, "not implemented yet"}}}; }
}  // namespace

Result<Engine, EngineError> Engine::create(const std::filesystem::path&,
                                           const std::filesystem::path&, FileSystem&) {
  return not_yet();
}
Result<Engine, EngineError> Engine::recover_from_checkpoint(const std::filesystem::path&,
                                                            const std::filesystem::path&,
                                                            std::optional<CheckpointData>,
                                                            FileSystem&) {
  return not_yet();
}
Result<CommandId, EngineError> Engine::execute_command_unsynced(const Command&) { return not_yet(); }
Result<void, EngineError> Engine::reopen_wal() { return not_yet(); }
Result<void, EngineError> Engine::sync_wal() { return not_yet(); }
Result<void, EngineError> Engine::sync_segments() { return not_yet(); }
Result<void, EngineError> Engine::sync_all() { return not_yet(); }
Result<CapacityResult, EngineError> Engine::enforce_capacity_with_sync(const CapacityLimits&,
                                                                       bool) {
  return not_yet();
}
Result<CompactionResult, EngineError> Engine::compact_segments() { return not_yet(); }
void Engine::recover_compaction_state(const std::filesystem::path&, FileSystem&) {}

}  // namespace tessaradb
