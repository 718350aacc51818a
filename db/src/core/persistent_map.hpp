#pragma once

// PersistentMap<V>: a map from unsigned 64-bit keys to values of type V, with structural sharing.
//
// Copying a map costs one reference-count increment: the copy shares every node with the
// original. A write copies only the nodes on the path to the key it touches (at most eleven, in
// practice three to six), so a write to a copy never shows through in the original, and the
// other way round. Keys iterate in ascending order.
//
// The tree is a radix trie over the key's bits, 64 children a node (6 bits a level), with the
// children of each node packed behind a 64-bit occupancy bitmap. The trie is only as tall as the
// largest key needs, so small keys (dense memory identifiers) give a shallow tree.
//
// Thread-safety: like any value type. Different threads may read and write different copies at
// the same time, sharing nodes: a writer changes a node in place only when no other copy can
// reach it, and copies it otherwise.
//
// V must be copyable; heavy values are best stored behind a std::shared_ptr<const T>, because a
// write copies the up to 64 values of the bottom node it touches.

#include <atomic>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/block_cache.hpp"

namespace tessaradb {

template <typename V>
class PersistentMap {
  static constexpr unsigned kBits = 6;
  static constexpr unsigned kMask = (1u << kBits) - 1;
  static constexpr unsigned kMaxShift = 60;  // 60 + 6 bits cover the whole 64-bit key

  struct Node {
    std::uint64_t bitmap = 0;
    // Nodes and their arrays come from the per-thread block caches: a write allocates a path
    // of them and frees the path the previous version held.
    std::vector<std::shared_ptr<Node>, detail::CachedAllocator<std::shared_ptr<Node>>>
        children;  // inner nodes (shift > 0)
    std::vector<V, detail::CachedAllocator<V>> values;  // bottom nodes (shift == 0)
  };

  static std::shared_ptr<Node> new_node() {
    return std::allocate_shared<Node>(detail::CachedAllocator<Node>{});
  }

 public:
  PersistentMap() = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The value under `key`, or nullptr. The pointer stays valid until this map is next written.
  const V* find(std::uint64_t key) const {
    if (!root_ || !fits(key, shift_)) return nullptr;
    const Node* node = root_.get();
    for (unsigned shift = shift_;; shift -= kBits) {
      const std::uint64_t bit = std::uint64_t{1} << ((key >> shift) & kMask);
      if (!(node->bitmap & bit)) return nullptr;
      const auto pos = rank(node->bitmap, bit);
      if (shift == 0) return &node->values[pos];
      node = node->children[pos].get();
    }
  }

  bool contains(std::uint64_t key) const { return find(key) != nullptr; }

  // Inserts or replaces. Returns true when the key was new.
  bool insert_or_assign(std::uint64_t key, V value) {
    V* slot = nullptr;
    const bool inserted = locate(key, /*create=*/true, slot);
    *slot = std::move(value);
    return inserted;
  }

  // A writable reference to the value under `key`, inserting `V{}` first when absent. The
  // reference stays valid until this map is next written or copied.
  V& get_or_insert(std::uint64_t key) {
    V* slot = nullptr;
    locate(key, /*create=*/true, slot);
    return *slot;
  }

  // A writable pointer to the value under `key` (copying the path so that no other copy sees the
  // change), or nullptr when absent. Valid until this map is next written or copied.
  V* find_mut(std::uint64_t key) {
    if (!contains(key)) return nullptr;
    V* slot = nullptr;
    locate(key, /*create=*/false, slot);
    return slot;
  }

  // Removes `key`. Returns true when it was present.
  bool erase(std::uint64_t key) {
    if (!contains(key)) return false;
    erase_in(own(root_), shift_, key);
    if (root_->bitmap == 0) root_.reset();
    --size_;
    return true;
  }

  // Calls f(key, value) for every entry in ascending key order; stops early when f returns false
  // (f may also return void). Returns false when stopped early.
  template <typename F>
  bool for_each(F&& f) const {
    return root_ ? walk(root_.get(), shift_, 0, 0, f) : true;
  }

  // As for_each, starting at the first key >= `from`.
  template <typename F>
  bool for_each_from(std::uint64_t from, F&& f) const {
    if (!root_ || !fits(from, shift_)) return true;
    return walk(root_.get(), shift_, 0, from, f);
  }

  // Smallest key, if any.
  bool first_key(std::uint64_t& key) const {
    bool found = false;
    for_each([&](std::uint64_t k, const V&) { key = k; found = true; return false; });
    return found;
  }

 private:
  static bool fits(std::uint64_t key, unsigned shift) {
    return shift >= kMaxShift || (key >> (shift + kBits)) == 0;
  }
  static std::size_t rank(std::uint64_t bitmap, std::uint64_t bit) {
    return static_cast<std::size_t>(std::popcount(bitmap & (bit - 1)));
  }

  // Makes `slot` point to a node that no other map can reach, copying it when shared, and returns
  // it. use_count() == 1 means only our own (already private) parent holds the node; the acquire
  // fence orders our writes after the last reader's release of its reference. A copy made for a
  // write that adds an entry to the node (`growing`) has room for it, so the insert that follows
  // does not allocate again.
  static Node* own(std::shared_ptr<Node>& slot, bool growing = false) {
    if (slot.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      return slot.get();
    }
    const Node& shared = *slot;
    auto copy = new_node();
    copy->bitmap = shared.bitmap;
    copy->children.reserve(shared.children.size() + (growing && !shared.children.empty()));
    copy->children = shared.children;
    copy->values.reserve(shared.values.size() + (growing && !shared.values.empty()));
    copy->values = shared.values;
    slot = std::move(copy);
    return slot.get();
  }

  // Would writing `key` add an entry to `node`, which sits at `shift`?
  static bool grows(const Node& node, unsigned shift, std::uint64_t key) {
    return !(node.bitmap & (std::uint64_t{1} << ((key >> shift) & kMask)));
  }

  // Finds (and with `create`, makes) the slot for `key` on a private path. Returns true when
  // the key was inserted.
  bool locate(std::uint64_t key, bool create, V*& out) {
    if (!root_) {
      root_ = new_node();
      shift_ = 0;
    }
    while (!fits(key, shift_)) {  // grow the trie upwards: the old root becomes child 0
      auto top = new_node();
      if (root_->bitmap != 0) {
        top->bitmap = 1;
        top->children.push_back(std::move(root_));
      }
      root_ = std::move(top);
      shift_ += kBits;
    }
    Node* node = own(root_, grows(*root_, shift_, key));
    for (unsigned shift = shift_;; shift -= kBits) {
      const std::uint64_t bit = std::uint64_t{1} << ((key >> shift) & kMask);
      const auto pos = rank(node->bitmap, bit);
      const bool present = node->bitmap & bit;
      if (!present) {
        assert(create);
        (void)create;
        node->bitmap |= bit;
        if (shift == 0) {
          node->values.insert(node->values.begin() + static_cast<std::ptrdiff_t>(pos), V{});
          ++size_;
          out = &node->values[pos];
          return true;
        }
        node->children.insert(node->children.begin() + static_cast<std::ptrdiff_t>(pos),
                              new_node());
      }
      if (shift == 0) {
        out = &node->values[pos];
        return false;
      }
      std::shared_ptr<Node>& child = node->children[pos];
      node = own(child, grows(*child, shift - kBits, key));
    }
  }

  static void erase_in(Node* node, unsigned shift, std::uint64_t key) {
    const std::uint64_t bit = std::uint64_t{1} << ((key >> shift) & kMask);
    const auto pos = rank(node->bitmap, bit);
    if (shift == 0) {
      node->values.erase(node->values.begin() + static_cast<std::ptrdiff_t>(pos));
      node->bitmap &= ~bit;
      return;
    }
    Node* child = own(node->children[pos]);
    erase_in(child, shift - kBits, key);
    if (child->bitmap == 0) {
      node->children.erase(node->children.begin() + static_cast<std::ptrdiff_t>(pos));
      node->bitmap &= ~bit;
    }
  }

  template <typename F>
  static bool call(F& f, std::uint64_t key, const V& value) {
    if constexpr (std::is_void_v<decltype(f(key, value))>) {
      f(key, value);
      return true;
    } else {
      return static_cast<bool>(f(key, value));
    }
  }

  // In-order walk of the keys >= `from` below `node`, whose keys share `prefix` above `shift`.
  // `from` only constrains the leftmost path; once a branch lies wholly above it, pass 0.
  template <typename F>
  static bool walk(const Node* node, unsigned shift, std::uint64_t prefix, std::uint64_t from,
                   F& f) {
    const unsigned start = static_cast<unsigned>((from >> shift) & kMask);
    std::uint64_t bits = node->bitmap & (~std::uint64_t{0} << start);
    while (bits) {
      const unsigned digit = static_cast<unsigned>(std::countr_zero(bits));
      bits &= bits - 1;
      const std::uint64_t bit = std::uint64_t{1} << digit;
      const auto pos = rank(node->bitmap, bit);
      const std::uint64_t key = prefix | (std::uint64_t{digit} << shift);
      if (shift == 0) {
        if (!call(f, key, node->values[pos])) return false;
      } else {
        const std::uint64_t child_from = digit == start ? from : 0;
        if (!walk(node->children[pos].get(), shift - kBits, key, child_from, f)) return false;
      }
    }
    return true;
  }

  std::shared_ptr<Node> root_;
  unsigned shift_ = 0;
  std::size_t size_ = 0;
};

// A set of 64-bit keys with the same sharing and ordering as PersistentMap. A set of one key (the
// common case of a temporal list or of a memory's incoming sources) holds it inline and allocates
// nothing; the trie is built from the second key on.
class PersistentSet {
  struct Unit {};

 public:
  std::size_t size() const noexcept { return has_single_ ? 1 : map_.size(); }
  bool empty() const noexcept { return size() == 0; }
  bool contains(std::uint64_t key) const {
    return has_single_ ? key == single_ : map_.contains(key);
  }
  bool insert(std::uint64_t key) {
    if (has_single_) {
      if (key == single_) return false;
      has_single_ = false;
      map_.insert_or_assign(single_, Unit{});
      return map_.insert_or_assign(key, Unit{});
    }
    if (map_.empty()) {
      has_single_ = true;
      single_ = key;
      return true;
    }
    return map_.insert_or_assign(key, Unit{});
  }
  bool erase(std::uint64_t key) {
    if (has_single_) {
      if (key != single_) return false;
      has_single_ = false;
      return true;
    }
    return map_.erase(key);
  }
  template <typename F>
  bool for_each(F&& f) const {
    const auto visit = [&](std::uint64_t key) {
      if constexpr (std::is_void_v<decltype(f(key))>) {
        f(key);
        return true;
      } else {
        return static_cast<bool>(f(key));
      }
    };
    if (has_single_) return visit(single_);
    return map_.for_each([&](std::uint64_t key, const Unit&) { return visit(key); });
  }

 private:
  PersistentMap<Unit> map_;  // empty while has_single_
  std::uint64_t single_ = 0;
  bool has_single_ = false;
};

}  // namespace tessaradb
