#pragma once

// Embedding: the vector of a memory as an immutable, shared value. It is either absent (no
// vector; distinct from an empty one) or `size()` floats read at `base[i * stride]`, kept alive by
// a shared owner. Two layouts exist:
//   - owned: the floats were copied into a buffer of their own (stride 1); built from a
//     std::vector<float>, by a decoder, or by a caller;
//   - a view of storage someone else wrote once and never changes again, such as a row of the
//     vector index inside an interleaved tile (stride = the tile's row count); the keep-alive is
//     that storage's owner, so the view stays valid and unchanged for as long as it is held.
// Copies are O(1) (one reference count) and share the floats; nothing can write through an
// Embedding, so sharing is invisible to every holder. 32 bytes.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tessaradb {

class Embedding {
 public:
  // Absent.
  Embedding() noexcept = default;
  Embedding(std::nullopt_t) noexcept {}  // NOLINT: reads like std::optional's nullopt
  // Owned copy of `values` (present, possibly empty). Implicit so that an entry's embedding can be
  // assigned from a vector.
  Embedding(const std::vector<float>& values);  // NOLINT(google-explicit-constructor)
  // Takes over the vector's buffer (no float is copied).
  Embedding(std::vector<float>&& values);  // NOLINT(google-explicit-constructor)
  Embedding(std::optional<std::vector<float>> values);  // NOLINT(google-explicit-constructor)
  // Owned copy of `values` (present, possibly empty).
  static Embedding copy_of(std::span<const float> values);
  // Present, `size` floats to be written by the caller through the returned pointer before the
  // Embedding is shared with anyone.
  static Embedding allocate(std::size_t size, float*& data);
  // A view: element i is base[i * stride] (stride >= 1), valid while `keep_alive` lives. The
  // floats must never change while any view of them exists.
  static Embedding view(std::shared_ptr<const void> keep_alive, const float* base,
                        std::uint32_t size, std::uint32_t stride) noexcept;

  bool has_value() const noexcept { return stride_ != 0; }
  explicit operator bool() const noexcept { return has_value(); }
  void reset() noexcept { *this = Embedding(); }

  // Number of floats; 0 when absent.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  float operator[](std::size_t i) const noexcept { return base_[i * stride_]; }

  // Whether the floats sit next to each other (stride 1; also true for an empty present value),
  // and then the span over them. `contiguous()` is empty otherwise.
  bool is_contiguous() const noexcept { return stride_ == 1; }
  std::span<const float> contiguous() const noexcept {
    return stride_ == 1 ? std::span<const float>(base_, size_) : std::span<const float>();
  }
  // Copies the floats into `out`, which holds at least size() of them.
  void copy_to(float* out) const noexcept;
  std::vector<float> to_vector() const;
  // Whether both read the same floats of the same storage (not merely equal values).
  bool shares_storage_with(const Embedding& other) const noexcept {
    return has_value() && base_ == other.base_ && stride_ == other.stride_ &&
           size_ == other.size_;
  }

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = float;
    using difference_type = std::ptrdiff_t;
    using pointer = const float*;
    using reference = float;

    const_iterator() = default;
    const_iterator(const float* p, std::uint32_t stride) : p_(p), stride_(stride) {}
    float operator*() const noexcept { return *p_; }
    float operator[](difference_type n) const noexcept { return p_[n * stride_]; }
    const_iterator& operator++() noexcept {
      p_ += stride_;
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      p_ += stride_;
      return old;
    }
    const_iterator& operator--() noexcept {
      p_ -= stride_;
      return *this;
    }
    const_iterator operator--(int) noexcept {
      const_iterator old = *this;
      p_ -= stride_;
      return old;
    }
    const_iterator& operator+=(difference_type n) noexcept {
      p_ += n * static_cast<difference_type>(stride_);
      return *this;
    }
    const_iterator& operator-=(difference_type n) noexcept { return *this += -n; }
    friend const_iterator operator+(const_iterator it, difference_type n) noexcept {
      return it += n;
    }
    friend const_iterator operator+(difference_type n, const_iterator it) noexcept {
      return it += n;
    }
    friend const_iterator operator-(const_iterator it, difference_type n) noexcept {
      return it -= n;
    }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) noexcept {
      return a.stride_ == 0 ? 0 : (a.p_ - b.p_) / static_cast<difference_type>(a.stride_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.p_ == b.p_;
    }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) noexcept {
      return a.p_ <=> b.p_;
    }

   private:
    const float* p_ = nullptr;
    std::uint32_t stride_ = 1;
  };
  const_iterator begin() const noexcept { return const_iterator(base_, stride_); }
  const_iterator end() const noexcept {
    return const_iterator(base_ == nullptr ? nullptr : base_ + std::size_t{size_} * stride_,
                          stride_);
  }

 private:
  std::shared_ptr<const void> keep_alive_;
  const float* base_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t stride_ = 0;  // 0: absent
};

// Both absent, or both present with equal sizes and elements equal as numbers (NaN never equals
// anything, 0.0 equals -0.0).
bool operator==(const Embedding& a, const Embedding& b) noexcept;
// Present with exactly these values (compared as numbers).
bool operator==(const Embedding& a, const std::vector<float>& b) noexcept;
// Whether both are absent, or present with equal sizes and identical bit patterns.
bool identical_bits(const Embedding& a, const Embedding& b) noexcept;

}  // namespace tessaradb
