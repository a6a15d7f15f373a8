#include "export/PdbHash.h"

#include <algorithm>
#include <array>

#include "export/PdbFormat.h"

namespace qf {
namespace {

constexpr uint32_t kGsiBuckets = 4096;

uint32_t Byte(std::string_view text, std::size_t at) { return static_cast<unsigned char>(text[at]); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The order of the records in one bucket: shorter names first, then ASCII
// names case-blind (others byte by byte), then the record offset.
bool GsiBefore(const GsiEntry& a, const GsiEntry& b) {
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  int c = 0;
  if (IsAscii(a.name) && IsAscii(b.name)) {
    for (std::size_t i = 0; i < a.name.size() && c == 0; ++i) {
      const char x = Lower(a.name[i]), y = Lower(b.name[i]);
      if (x != y) c = static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
    }
  } else {
    c = a.name.compare(b.name);
  }
  if (c != 0) return c < 0;
  return a.recordOffset < b.recordOffset;
}

}  // namespace

uint32_t PdbHashV1(std::string_view text) {
  uint32_t h = 0;
  std::size_t i = 0;
  for (; i + 4 <= text.size(); i += 4) {
    h ^= Byte(text, i) | Byte(text, i + 1) << 8 | Byte(text, i + 2) << 16 | Byte(text, i + 3) << 24;
  }
  if (text.size() - i >= 2) {
    h ^= Byte(text, i) | Byte(text, i + 1) << 8;
    i += 2;
  }
  if (i < text.size()) h ^= Byte(text, i);
  h |= 0x20202020;
  h ^= h >> 11;
  return h ^ (h >> 16);
}

std::string GsiHashTable(std::vector<GsiEntry> entries) {
  std::vector<uint32_t> bucketOf(entries.size());
  std::vector<uint32_t> counts(kGsiBuckets + 1, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    bucketOf[i] = PdbHashV1(entries[i].name) % kGsiBuckets;
    ++counts[bucketOf[i] + 1];
  }
  for (uint32_t b = 0; b < kGsiBuckets; ++b) counts[b + 1] += counts[b];
  std::vector<GsiEntry> sorted(entries.size());
  {
    std::vector<uint32_t> next(counts.begin(), counts.end() - 1);
    for (std::size_t i = 0; i < entries.size(); ++i) sorted[next[bucketOf[i]]++] = entries[i];
  }
  entries.clear();
  entries.shrink_to_fit();

  std::string records;
  std::array<uint32_t, (kGsiBuckets + 32) / 32> bitmap{};
  std::string starts;
  LeWriter startsOut(starts);
  for (uint32_t b = 0; b < kGsiBuckets; ++b) {
    if (counts[b] == counts[b + 1]) continue;
    std::sort(sorted.begin() + counts[b], sorted.begin() + counts[b + 1], GsiBefore);
    bitmap[b / 32] |= 1u << (b % 32);
    // The chain's start as the reference's in-memory records of 12 bytes count it.
    startsOut.U32(counts[b] * 12);
  }
  records.reserve(sorted.size() * 8);
  LeWriter recordsOut(records);
  for (const GsiEntry& e : sorted) pdb::GsiHashRecord{e.recordOffset + 1, 1}.Put(recordsOut);
  // Readers look for the bitmap only behind hash records.
  const bool any = !sorted.empty();
  std::string table;
  LeWriter w(table);
  pdb::GsiHashHeader header;
  header.hashRecordBytes = static_cast<uint32_t>(records.size());
  header.bucketBytes = any ? static_cast<uint32_t>(bitmap.size() * 4 + starts.size()) : 0;
  header.Put(w);
  w.Bytes(records);
  if (any) {
    for (const uint32_t word : bitmap) w.U32(word);
    w.Bytes(starts);
  }
  return table;
}

uint32_t PdbStringTable::Add(std::string_view text) {
  if (text.empty()) return 0;
  const auto found = known_.find(std::string(text));
  if (found != known_.end()) return found->second;
  const auto offset = static_cast<uint32_t>(buffer_.size());
  buffer_.append(text);
  buffer_ += '\0';
  known_.emplace(std::string(text), offset);
  offsets_.push_back(offset);
  return offset;
}

uint32_t PdbStringTableBuckets(uint32_t strings) {
  // The reference grows its table as each string comes, the empty one first.
  uint32_t buckets = 1;
  for (uint32_t count = 0; count <= strings; ++count) {
    if (buckets * 3 / 4 < count) buckets = buckets * 3 / 2 + 1;
  }
  return buckets;
}

std::string PdbStringTable::Bytes() const {
  const uint32_t bucketCount = PdbStringTableBuckets(static_cast<uint32_t>(offsets_.size()));
  std::vector<uint32_t> buckets(bucketCount, 0);
  for (const uint32_t offset : offsets_) {
    const std::string_view text(buffer_.c_str() + offset);
    uint32_t slot = PdbHashV1(text) % bucketCount;
    while (buckets[slot] != 0) slot = (slot + 1) % bucketCount;
    buckets[slot] = offset;
  }
  std::string out;
  LeWriter w(out);
  pdb::StringTableHeader header;
  header.stringBytes = static_cast<uint32_t>(buffer_.size());
  header.Put(w);
  w.Bytes(buffer_).U32(bucketCount);
  for (const uint32_t b : buckets) w.U32(b);
  w.U32(static_cast<uint32_t>(offsets_.size()));
  return out;
}

std::string PdbNamedStreamMap(const std::vector<std::pair<std::string, uint32_t>>& streams) {
  std::string names;
  std::vector<uint32_t> nameOffsets;
  for (const auto& s : streams) {
    nameOffsets.push_back(static_cast<uint32_t>(names.size()));
    names += s.first;
    names += '\0';
  }
  // A hash table of at least 8 slots kept under 2/3 full, probed linearly
  // from the low 16 bits of the name's hash.
  uint32_t capacity = 8;
  while (streams.size() >= capacity * 2 / 3) capacity *= 2;
  std::vector<int> slots(capacity, -1);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    uint32_t slot = (PdbHashV1(streams[i].first) & 0xFFFF) % capacity;
    while (slots[slot] >= 0) slot = (slot + 1) % capacity;
    slots[slot] = static_cast<int>(i);
  }
  std::string out;
  LeWriter w(out);
  w.U32(static_cast<uint32_t>(names.size())).Bytes(names);
  w.U32(static_cast<uint32_t>(streams.size())).U32(capacity);
  const uint32_t words = (capacity + 31) / 32;
  w.U32(words);  // the bitmap of slots in use
  for (uint32_t word = 0; word < words; ++word) {
    uint32_t bits = 0;
    for (uint32_t k = 0; k < 32 && word * 32 + k < capacity; ++k) {
      if (slots[word * 32 + k] >= 0) bits |= 1u << k;
    }
    w.U32(bits);
  }
  w.U32(0);  // no deleted slots
  for (uint32_t slot = 0; slot < capacity; ++slot) {
    if (slots[slot] < 0) continue;
    const auto i = static_cast<std::size_t>(slots[slot]);
    w.U32(nameOffsets[i]).U32(streams[i].second);
  }
  return out;
}

}  // namespace qf
