// The hash tables of a program database: the string hash its readers look
// names up by, the hash of the global and public symbols (GSI), the string
// table of /names, and the named stream map of the PDB info stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qf {

// The PDB's string hash (version 1): the little-endian 32-bit words of the
// text XORed, then a 16-bit and an 8-bit tail, folded case-blind.
uint32_t PdbHashV1(std::string_view text);

// A symbol named in the GSI hash: its name and its offset in the symbol
// record stream.
struct GsiEntry {
  std::string_view name;
  uint32_t recordOffset = 0;
};

// The GSI hash of symbols (the globals stream whole, the hash part of the
// publics stream): its header, the hash records bucket by bucket (4096
// buckets by PdbHashV1), the bitmap of buckets in use and their starts.
std::string GsiHashTable(std::vector<GsiEntry> entries);

// A string table as /names holds it: the strings after an empty one, a hash
// table of their offsets (linear probing, sized by the reference's growth
// rule) and their count.
class PdbStringTable {
 public:
  // The offset of the text in the table, adding it when new.
  uint32_t Add(std::string_view text);
  std::string Bytes() const;

 private:
  std::string buffer_{std::string(1, '\0')};
  std::unordered_map<std::string, uint32_t> known_;  // text: its offset
  std::vector<uint32_t> offsets_;  // of every string but the empty one, in order
};

// The buckets a string table of that many strings (besides the empty one)
// hashes into.
uint32_t PdbStringTableBuckets(uint32_t strings);

// The named stream map of the PDB info stream: names and stream numbers.
std::string PdbNamedStreamMap(const std::vector<std::pair<std::string, uint32_t>>& streams);

}  // namespace qf
