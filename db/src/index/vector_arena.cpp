#include "index/vector_arena.hpp"

namespace tessaradb::detail {

float squared_norm(std::span<const float> v) noexcept {
  float sum = 0.0f;
  for (const float x : v) sum += x * x;
  return sum;
}

}  // namespace tessaradb::detail
