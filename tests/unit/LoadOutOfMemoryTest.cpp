// A load that runs out of memory half-way through a file. The program
// replaces the global operator new so that allocations can be made to fail
// on demand; it is a test program of its own so no other test sees that.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "map/LookupTexts.h"
#include "map/U_MAPFile.h"

namespace {

// Allocations left before the next one fails; negative: never fail.
long long allocationsLeft = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocationsLeft == 0) throw std::bad_alloc();
  if (allocationsLeft > 0) --allocationsLeft;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace qf {
namespace {

// Enough pairs to need several blocks of the table.
std::string LargeMap() {
  std::string text = "Line numbers for Big(Big.pas) segment .text\r\n\r\n";
  for (int i = 0; i < 40000; ++i) text += "  " + std::to_string(i + 1) + " 0001:" + std::to_string(100000 + i) + "\r\n";
  return text;
}

TEST(LoadOutOfMemory, LeavesAnEmptyTableThatIsNotLoaded) {
  TMapFile map;
  const std::string large = LargeMap();

  // Every allocation of the load fails once in turn, until a load gets
  // through: the first ones fail before any entry exists, the later ones
  // with blocks of the new file already filled.
  int failures = 0;
  for (long long budget = 0; budget < 1000; ++budget) {
    map.LoadFromText("Line numbers for A(A.pas) segment .text\r\n\r\n  10 0001:00000100\r\n");
    allocationsLeft = budget;
    bool failed = false;
    try {
      map.LoadFromText(large);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    allocationsLeft = -1;
    if (!failed) break;
    ++failures;
    EXPECT_EQ(map.Count(), 0) << "after " << budget << " allocations";
    EXPECT_FALSE(map.Loaded()) << "after " << budget << " allocations";
    EXPECT_EQ(AnswerSearch(map, "0x00401100").text, "Please load a MAP file first");
  }
  EXPECT_GT(failures, 3) << "the load made too few allocations to fail";
  EXPECT_EQ(map.Count(), 40000) << "the last load went through";
}

}  // namespace
}  // namespace qf
