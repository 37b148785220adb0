// NameIndex: linear probing over a power-of-two table kept at most half
// full; erasing shifts the rest of a run back, so no tombstones build up.
#include "archive/NameIndex.h"

#include <algorithm>
#include <bit>

namespace GAME {

namespace {

constexpr size_t kSmallest = 64;

}  // namespace

uint32_t NameIndex::Hash(std::string_view name) {
  uint64_t h = 0xcbf29ce484222325u;  // 64-bit FNV-1a
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

size_t NameIndex::Home(uint32_t hash) const {
  // Fibonacci hashing: the high bits of the product pick the slot.
  const int bits = std::countr_zero(slots.size());
  return static_cast<size_t>((uint64_t(hash) * 0x9E3779B97F4A7C15u) >> (64 - bits));
}

void NameIndex::Forget() {
  std::vector<Slot>().swap(slots);
  used = 0;
  inserted = 0;
  ready.store(false, std::memory_order_relaxed);
  walk.store(0, std::memory_order_relaxed);
}

void NameIndex::Reset(size_t count) {
  slots.assign(std::max(kSmallest, std::bit_ceil(count * 2 + 1)), Slot{0, kEmpty, 0});
  used = 0;
  inserted = 0;
}

void NameIndex::Place(const Slot& slot) {
  size_t at = Home(slot.hash);
  while (slots[at].index != kEmpty) at = (at + 1) & Mask();
  slots[at] = slot;
}

void NameIndex::Grow() {
  std::vector<Slot> old;
  old.swap(slots);
  slots.assign(std::max(kSmallest, old.size() * 2), Slot{0, kEmpty, 0});
  for (const Slot& slot : old) {
    if (slot.index != kEmpty) Place(slot);
  }
}

void NameIndex::Insert(std::string_view name, uint32_t index) {
  if ((used + 1) * 2 > slots.size()) Grow();
  Place(Slot{Hash(name), index, ++inserted});
  ++used;
}

void NameIndex::Erase(std::string_view name, uint32_t index) {
  if (slots.empty()) return;
  size_t at = Home(Hash(name));
  while (slots[at].index != index) {
    if (slots[at].index == kEmpty) return;
    at = (at + 1) & Mask();
  }
  // Every later slot of the run that may move up into the gap does so.
  for (size_t next = (at + 1) & Mask(); slots[next].index != kEmpty; next = (next + 1) & Mask()) {
    const size_t home = Home(slots[next].hash);
    const bool betweenGapAndNext =
        at <= next ? (at < home && home <= next) : (at < home || home <= next);
    if (betweenGapAndNext) continue;
    slots[at] = slots[next];
    at = next;
  }
  slots[at].index = kEmpty;
  --used;
}

}  // namespace GAME
