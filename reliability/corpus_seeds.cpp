// Writes the seed inputs of the libFuzzer targets into reliability/corpus/<target>/: the files
// of a small HNSW-mode database (6 memories of 8 floats, one edge, one deletion, a checkpoint)
// and the encodings of one record and one command. Run by hand when a format changes:
//   reliability_corpus_seeds reliability/corpus

#include <cstdio>
#include <fstream>
#include <string>

#include "harness.hpp"
#include "storage/serialization.hpp"
#include "testing/temp_dir.hpp"

namespace {

using namespace tessaradb;

std::string read(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void write(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
std::string text(const std::vector<std::byte>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

MemoryEntry entry(std::uint64_t id) {
  MemoryEntry e;
  e.id = MemoryId{id};
  e.namespace_ = id % 2 ? "default" : "notes";
  e.content = "m" + std::to_string(id);
  std::vector<float> v(reliability::kDimension, 0.1f);
  v[id % reliability::kDimension] = 1.0f;
  e.embedding = std::move(v);
  if (id == 1) e.metadata["kind"] = "fact";
  e.created_at = 1'700'000'000 + id;
  return e;
}

int fail(int step) {
  std::fprintf(stderr, "corpus seeds: step %d failed\n", step);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  testing::TempDir tmp;
  const auto db = tmp.path() / "db";
  std::filesystem::create_directories(db);
  const auto options = reliability::store_options(db, {SyncPolicy::Strict{}},
                                                  {CheckpointPolicy::Disabled{}},
                                                  {IndexMode::Hnsw{HnswConfig{}}});
  {
    auto store = reliability::open_store(options);
    if (!store) return fail(1);
    for (std::uint64_t id = 1; id <= 4; ++id) {
      if (!(*store)->insert_memory(entry(id))) return fail(2);
    }
    if (!(*store)->add_edge(MemoryId{1}, MemoryId{3}, "about")) return fail(3);
    if (!(*store)->checkpoint_now()) return fail(4);
    if (!(*store)->insert_memory(entry(5)) || !(*store)->insert_memory(entry(6))) return fail(5);
    if (!(*store)->delete_memory(MemoryId{2})) return fail(6);
  }
  {  // a second session, so the segments directory holds two files
    auto store = reliability::open_store(options);
    if (!store || !(*store)->insert_memory(entry(7))) return fail(7);
  }
  const std::string seg0 = read(db / "segments" / "000000.seg");
  const std::string seg1 = read(db / "segments" / "000001.seg");
  // fuzz_segments input: a file count byte, u16 LE lengths of all files but the last, the files.
  write(out / "segments" / "one-file", std::string(1, '\0') + seg0);
  write(out / "segments" / "two-files",
        std::string(1, '\1') + static_cast<char>(seg0.size() & 0xff) +
            static_cast<char>((seg0.size() >> 8) & 0xff) + seg0 + seg1);
  write(out / "hnsw" / "graph", read(db / "tessaradb.hnsw"));
  write(out / "decoders" / "log", read(db / "tessaradb.wal"));
  write(out / "decoders" / "checkpoint", read(db / "tessaradb.ckpt"));
  auto record = serialize_versioned(entry(1));
  auto command = serialize_versioned(Command{AddEdge{MemoryId{1}, MemoryId{3}, "about"}});
  if (!record || !command) return fail(8);
  write(out / "decoders" / "record", text(*record));
  write(out / "decoders" / "command", text(*command));
  return 0;
}
