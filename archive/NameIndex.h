// NameIndex: the lookup side of the name table. The bucket chains keep the
// format's bucket count and hash (what -stats reports); this open-addressing
// table of entry indices, keyed by a hash of the whole name, lets FindFile
// cost the same at any entry count, however the bucket hash clusters names.
//
// The table is built lazily: until lookups have walked as many chain links
// as building it costs, they walk the chains, so an opening that looks up a
// few names never pays for it. Ready, Charge and BuildOnce may be called by
// several const lookups at once (one builds, the others walk chains until it
// is ready); everything else needs the index to itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

namespace GAME {

class NameIndex {
 public:
  // Whether the table is built, and so kept current by Insert and Erase.
  bool Ready() const { return ready.load(std::memory_order_acquire); }
  // Counts links a lookup walked without the table; true when all such
  // walks together have cost as much as building it for count names would.
  bool Charge(uint64_t walked, uint64_t count) {
    return walk.fetch_add(walked, std::memory_order_relaxed) + walked >= count;
  }
  // Builds the table for count names, fill(*this) inserting them, unless it
  // is ready or being built. Running out of memory leaves it not ready,
  // lookups walking chains, and the work counted so far forgotten.
  template <class Fill>
  void BuildOnce(size_t count, Fill fill) {
    std::unique_lock<std::mutex> lock(building, std::try_to_lock);
    if (!lock.owns_lock() || Ready()) return;
    try {
      Reset(count);
      fill(*this);
    } catch (const std::bad_alloc&) {
      std::vector<Slot>().swap(slots);
      walk.store(0, std::memory_order_relaxed);
      return;
    }
    ready.store(true, std::memory_order_release);
  }
  // Not ready, its memory released and the work counted so far forgotten.
  void Forget();

  // Forgets every name and makes room for count of them.
  void Reset(size_t count);
  void Insert(std::string_view name, uint32_t index);
  // Removes index, stored under name; nothing when it is not there.
  void Erase(std::string_view name, uint32_t index);

  // Among the indices stored under name (nameOf(index) gives an index's
  // name), the one inserted last, as the head of a bucket chain would be;
  // -1 when there is none.
  template <class NameOf>
  int Find(std::string_view name, NameOf nameOf) const {
    if (slots.empty()) return -1;
    const uint32_t hash = Hash(name);
    const Slot* found = nullptr;
    for (size_t at = Home(hash);; at = (at + 1) & Mask()) {
      const Slot& slot = slots[at];
      if (slot.index == kEmpty) break;
      if (slot.hash == hash && (found == nullptr || slot.order > found->order) &&
          nameOf(slot.index) == name) {
        found = &slot;
      }
    }
    return found != nullptr ? static_cast<int>(found->index) : -1;
  }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;
  struct Slot {
    uint32_t hash;
    uint32_t index;  // kEmpty for a free slot
    uint64_t order;  // when it was inserted
  };

  static uint32_t Hash(std::string_view name);
  size_t Mask() const { return slots.size() - 1; }
  size_t Home(uint32_t hash) const;
  void Place(const Slot& slot);
  void Grow();

  std::vector<Slot> slots;  // a power of two long, at most half used
  size_t used = 0;
  uint64_t inserted = 0;
  std::atomic<bool> ready{false};
  std::atomic<uint64_t> walk{0};  // links walked without the table
  std::mutex building;
};

}  // namespace GAME
