#include "index/vector.hpp"

namespace tessaradb {

Result<std::vector<MemoryId>, VectorError> PrefixAnnCandidateProvider::candidates(
    std::span<const float>, std::size_t, std::optional<std::string_view>,
    const VectorIndex&) const {
  return VectorError{VectorError::NoEmbeddings{}};
}

VectorIndex::VectorIndex(std::size_t dimension)
    : dimension_(dimension),
      backend_(std::make_shared<ExactBackend>()),
      ann_provider_(std::make_shared<PrefixAnnCandidateProvider>()) {}

Result<VectorIndex, VectorError> VectorIndex::new_with_loaded_hnsw(
    std::size_t dimension, const HnswConfig&, std::shared_ptr<HnswBackend> loaded) {
  VectorIndex index(dimension);
  index.hnsw_ = std::move(loaded);
  return index;
}

Result<void, VectorError> VectorIndex::index_in_namespace(std::string_view, MemoryId,
                                                          std::vector<float>) {
  return VectorError{VectorError::NoEmbeddings{}};
}
Result<void, VectorError> VectorIndex::remove(MemoryId) { return {}; }
bool VectorIndex::has(MemoryId id) const { return ids_.contains(id.value); }
std::optional<std::string_view> VectorIndex::namespace_of(MemoryId) const { return {}; }
std::optional<std::vector<float>> VectorIndex::vector_of(MemoryId) const { return {}; }
bool VectorIndex::has_partition(std::string_view) const { return false; }
std::size_t VectorIndex::partition_len(std::string_view) const { return 0; }
Result<SearchHits, VectorError> VectorIndex::search_scoped(std::span<const float>, std::size_t,
                                                           std::optional<std::string_view>, bool,
                                                           std::size_t) const {
  return VectorError{VectorError::NoEmbeddings{}};
}
Result<SearchHits, VectorError> VectorIndex::search_in_ids(std::span<const float>,
                                                           const std::unordered_set<MemoryId>&,
                                                           std::size_t) const {
  return VectorError{VectorError::NoEmbeddings{}};
}
Result<SearchHits, VectorError> VectorIndex::rerank_exact(std::span<const float>,
                                                          std::span<const MemoryId>,
                                                          std::size_t) const {
  return VectorError{VectorError::NoEmbeddings{}};
}
Result<std::shared_ptr<HnswBackend>, IndexIoError> VectorIndex::load_hnsw(
    const std::filesystem::path&, std::size_t, const HnswConfig&) {
  return std::shared_ptr<HnswBackend>{};
}
Result<void, IndexIoError> VectorIndex::save_hnsw(const std::filesystem::path&) const {
  return {};
}
std::size_t VectorIndex::remove_stale_hnsw_keys() { return 0; }

}  // namespace tessaradb
