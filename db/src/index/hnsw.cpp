#include "index/hnsw.hpp"

namespace tessaradb {

struct HnswBackend::Impl {};

HnswBackend::HnswBackend(std::size_t dimension, HnswConfig config, std::unique_ptr<Impl> impl)
    : dimension_(dimension), config_(config), impl_(std::move(impl)) {}
HnswBackend::~HnswBackend() = default;

Result<std::shared_ptr<HnswBackend>, HnswError> HnswBackend::create(std::size_t, HnswConfig) {
  return HnswError{HnswError::UsearchError{"not built yet"}};
}
Result<std::shared_ptr<HnswBackend>, HnswError> HnswBackend::load_from_file(
    const std::filesystem::path&, std::size_t, HnswConfig) {
  return HnswError{HnswError::UsearchError{"not built yet"}};
}
Result<void, HnswError> HnswBackend::add(MemoryId, std::span<const float>) {
  return HnswError{HnswError::UsearchError{"not built yet"}};
}
Result<void, HnswError> HnswBackend::remove(MemoryId) { return {}; }
Result<SearchHits, HnswError> HnswBackend::search(std::span<const float>, std::size_t) const {
  return HnswError{HnswError::NoVectors{}};
}
Result<SearchHits, HnswError> HnswBackend::search_filtered(
    std::span<const float>, std::size_t, const std::function<bool(MemoryId)>&) const {
  return HnswError{HnswError::NoVectors{}};
}
Result<void, HnswError> HnswBackend::save_to_file(const std::filesystem::path&) const {
  return HnswError{HnswError::UsearchError{"not built yet"}};
}
bool HnswBackend::contains(MemoryId) const { return false; }
Result<std::optional<std::vector<float>>, HnswError> HnswBackend::get(MemoryId) const {
  return std::optional<std::vector<float>>{};
}
Result<std::vector<MemoryId>, HnswError> HnswBackend::keys() const {
  return std::vector<MemoryId>{};
}
std::size_t HnswBackend::size() const { return 0; }

}  // namespace tessaradb
