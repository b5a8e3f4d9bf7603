#pragma once
// FlatKeyMap: a map from 64-bit keys to values, held in one open-addressed
// array (linear probing, at most half full).
//
// The mesh is assembled by looking up every corner of every triangle by its
// grid-edge key: millions of lookups, where a node-based map spent most of
// its time allocating nodes and chasing pointers. This map only inserts and
// finds: there is no erase and no iteration, so no result can depend on the
// order in which it keeps its entries.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace wendfit {

template <class Value>
class FlatKeyMap {
 public:
  // The one key the map cannot hold: it marks a free slot.
  static constexpr uint64_t kFree = ~uint64_t{0};

  // Room for `count` entries without growing.
  void reserve(size_t count) {
    size_t capacity = kLeastCapacity;
    while (capacity < 2 * count) capacity *= 2;
    if (capacity > keys_.size()) rehash(capacity);
  }

  // The value under `key`, first set to `value` when the key is new; the
  // flag tells whether it was. The pointer is valid until the next
  // insertion. `key` must not be kFree (std::invalid_argument).
  std::pair<Value*, bool> tryEmplace(uint64_t key, const Value& value) {
    if (key == kFree) throw std::invalid_argument("FlatKeyMap: the free-slot marker cannot be a key");
    if (2 * (size_ + 1) > keys_.size()) rehash(keys_.empty() ? kLeastCapacity : 2 * keys_.size());
    size_t slot = slotOf(key);
    while (keys_[slot] != kFree) {
      if (keys_[slot] == key) return {&values_[slot], false};
      slot = (slot + 1) & (keys_.size() - 1);
    }
    keys_[slot] = key;
    values_[slot] = value;
    ++size_;
    return {&values_[slot], true};
  }

  // The value under `key`, or nullptr.
  const Value* find(uint64_t key) const {
    if (keys_.empty() || key == kFree) return nullptr;
    for (size_t slot = slotOf(key);; slot = (slot + 1) & (keys_.size() - 1)) {
      if (keys_[slot] == key) return &values_[slot];
      if (keys_[slot] == kFree) return nullptr;
    }
  }
  Value* find(uint64_t key) { return const_cast<Value*>(static_cast<const FlatKeyMap&>(*this).find(key)); }

  // The value under `key`, default-constructed when the key is new.
  Value& operator[](uint64_t key) { return *tryEmplace(key, Value{}).first; }

  size_t size() const { return size_; }

 private:
  static constexpr size_t kLeastCapacity = 16;

  // Grid keys run in long arithmetic progressions: a mixing step (the
  // splitmix64 finaliser) spreads them over the slots.
  size_t slotOf(uint64_t key) const {
    key ^= key >> 30;
    key *= 0xbf58476d1ce4e5b9ULL;
    key ^= key >> 27;
    key *= 0x94d049bb133111ebULL;
    key ^= key >> 31;
    return static_cast<size_t>(key) & (keys_.size() - 1);
  }

  void rehash(size_t capacity) {
    std::vector<uint64_t> keys(capacity, kFree);
    std::vector<Value> values(capacity);
    keys.swap(keys_);
    values.swap(values_);
    for (size_t old = 0; old < keys.size(); ++old) {
      if (keys[old] == kFree) continue;
      size_t slot = slotOf(keys[old]);
      while (keys_[slot] != kFree) slot = (slot + 1) & (capacity - 1);
      keys_[slot] = keys[old];
      values_[slot] = std::move(values[old]);
    }
  }

  std::vector<uint64_t> keys_;  // kFree where the slot is free
  std::vector<Value> values_;
  size_t size_ = 0;
};

}  // namespace wendfit
