#pragma once

// Shared pieces of the reliability harness programs: a scripted workload over the store, the
// states its command prefixes produce, opening a directory the way the facade does, and the
// checks every program applies to a reopened directory.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/command.hpp"
#include "core/state_machine.hpp"
#include "store/store.hpp"

namespace tessaradb::reliability {

inline constexpr std::size_t kDimension = 8;

// Maintenance steps of a workload; they change no state.
enum class Maintenance { Checkpoint, Compact, Reopen, Flush };

using Step = std::variant<Command, Maintenance>;

// A deterministic workload of `count` steps: mostly inserts, with deletes, edges,
// replacements, and (when `with_maintenance`) checkpoints, compactions, flushes and reopens.
// Every command is one the state accepts at its point of the script.
std::vector<Step> make_workload(std::size_t count, std::uint32_t seed, bool with_maintenance);

// states[i] is the state after the first i commands of `steps` (maintenance skipped).
std::vector<StateMachine> prefix_states(const std::vector<Step>& steps);

StoreOptions store_options(const std::filesystem::path& dir, SyncPolicy sync = {SyncPolicy::Strict{}},
                           CheckpointPolicy checkpoint = {CheckpointPolicy::Disabled{}},
                           IndexMode mode = {IndexMode::Exact{}});

// Opens like the facade: recovers when the log or the checkpoint exists, else creates.
Result<std::unique_ptr<TessaraDBStore>, TessaraDBStoreError> open_store(
    const StoreOptions& options, FileSystem& fs = default_file_system());

// Runs one command through the store.
Result<CommandId, TessaraDBStoreError> run_command(TessaraDBStore& store, const Command& command);

// Runs one maintenance step. Reopen drops `store` and opens it again with `fs`.
Result<void, TessaraDBStoreError> run_maintenance(std::unique_ptr<TessaraDBStore>& store,
                                                  Maintenance step, const StoreOptions& options,
                                                  FileSystem& fs);

// The index of the last state in `states` equal to `state`, or -1.
int find_prefix(const std::vector<StateMachine>& states, const StateMachine& state);

// Names of what an interrupted maintenance step may leave in `dir` and the next open must have
// removed: compaction and backup directories (beside `segments`), and the temporary files of
// durable rewrites (tessaradb.ckpt.tmp, tessaradb.wal.trunc.tmp, tessaradb.hnsw.tmp).
std::vector<std::string> leftovers(const std::filesystem::path& dir);

// The peak of live heap bytes above the level at the last reset, when the build can measure it
// (AddressSanitizer builds); 0 otherwise.
void reset_peak_heap();
std::uint64_t peak_heap_bytes();
bool can_measure_heap();

}  // namespace tessaradb::reliability
