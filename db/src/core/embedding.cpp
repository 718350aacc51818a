#include "core/embedding.hpp"

#include <cassert>
#include <cstring>
#include <limits>

namespace tessaradb {

Embedding::Embedding(const std::vector<float>& values) : Embedding(copy_of(values)) {}

Embedding::Embedding(std::vector<float>&& values) {
  if (values.empty()) {
    *this = copy_of({});
    return;
  }
  assert(values.size() <= std::numeric_limits<std::uint32_t>::max());
  auto owner = std::make_shared<const std::vector<float>>(std::move(values));
  base_ = owner->data();
  size_ = static_cast<std::uint32_t>(owner->size());
  stride_ = 1;
  keep_alive_ = std::move(owner);
}

Embedding::Embedding(std::optional<std::vector<float>> values) {
  if (values) *this = Embedding(std::move(*values));
}

Embedding Embedding::allocate(std::size_t size, float*& data) {
  assert(size <= std::numeric_limits<std::uint32_t>::max());
  // One allocation holds the reference counts and the floats. An empty buffer still gets a
  // non-null base, so that an empty present value is told apart from an absent one by the stride
  // alone and every pointer stays valid.
  std::shared_ptr<float[]> buffer = std::make_shared_for_overwrite<float[]>(size == 0 ? 1 : size);
  data = buffer.get();
  Embedding e;
  e.base_ = buffer.get();
  e.keep_alive_ = std::move(buffer);
  e.size_ = static_cast<std::uint32_t>(size);
  e.stride_ = 1;
  return e;
}

Embedding Embedding::copy_of(std::span<const float> values) {
  float* data = nullptr;
  Embedding e = allocate(values.size(), data);
  if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(float));
  return e;
}

Embedding Embedding::view(std::shared_ptr<const void> keep_alive, const float* base,
                          std::uint32_t size, std::uint32_t stride) noexcept {
  assert(stride >= 1 && base != nullptr);
  Embedding e;
  e.keep_alive_ = std::move(keep_alive);
  e.base_ = base;
  e.size_ = size;
  e.stride_ = stride;
  return e;
}

void Embedding::copy_to(float* out) const noexcept {
  if (stride_ == 1) {
    if (size_ != 0) std::memcpy(out, base_, std::size_t{size_} * sizeof(float));
    return;
  }
  const float* p = base_;
  for (std::uint32_t i = 0; i < size_; ++i, p += stride_) out[i] = *p;
}

std::vector<float> Embedding::to_vector() const {
  std::vector<float> out(size_);
  copy_to(out.data());
  return out;
}

bool operator==(const Embedding& a, const Embedding& b) noexcept {
  if (a.has_value() != b.has_value()) return false;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

bool operator==(const Embedding& a, const std::vector<float>& b) noexcept {
  if (!a.has_value() || a.size() != b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

bool identical_bits(const Embedding& a, const Embedding& b) noexcept {
  if (a.has_value() != b.has_value() || a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const float x = a[i];
    const float y = b[i];
    if (std::memcmp(&x, &y, sizeof x) != 0) return false;
  }
  return true;
}

}  // namespace tessaradb
