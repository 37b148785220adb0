// Encoding and decoding of the 44-byte entry record.
#include "archive/Format.h"

namespace GAME::format {

EntryRecord DecodeEntryRecord(const unsigned char* p) {
  EntryRecord r;
  uint32_t* fields[] = {&r.flags,       &r.offset,       &r.storedSize, &r.realSize,
                        &r.checksum,    &r.fileTimeLow,  &r.fileTimeHigh, &r.numParts,
                        &r.firstPart,   &r.nameLength,   &r.nameOffset};
  for (uint32_t* field : fields) {
    *field = LoadU32(p);
    p += 4;
  }
  return r;
}

void EncodeEntryRecord(const EntryRecord& r, unsigned char* p) {
  const uint32_t fields[] = {r.flags,    r.offset,      r.storedSize,   r.realSize,
                             r.checksum, r.fileTimeLow, r.fileTimeHigh, r.numParts,
                             r.firstPart, r.nameLength, r.nameOffset};
  for (uint32_t field : fields) {
    StoreU32(p, field);
    p += 4;
  }
}

}  // namespace GAME::format
