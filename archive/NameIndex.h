// NameIndex: the lookup side of the name table. The bucket chains keep the
// format's bucket count and hash (what -stats reports); this open-addressing
// table of entry indices, keyed by a hash of the whole name, lets FindFile
// cost the same at any entry count, however the bucket hash clusters names.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace GAME {

class NameIndex {
 public:
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
};

}  // namespace GAME
