// Lines of a file read piece by piece through one reused buffer, by the
// LineIterator rules: a line ends at CR LF, a lone CR or a lone LF (LF CR is
// two line ends); a last line without a line end still counts; the text ends
// at its first NUL. A line that crosses the end of the buffer is moved to its
// front; only a line longer than the buffer makes it grow.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/FileSystem.h"

namespace qf {

class LineReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{4} << 20;

  explicit LineReader(FileReader& file, std::size_t bufferSize = kDefaultBufferSize);

  // The next line, without its line end; false when no line remains. The
  // view stays valid until the next call. Read errors propagate.
  bool Next(std::string_view& line);

 private:
  // Keeps the unread bytes, then reads more behind them.
  void Fill();
  // The first c at or after scan_, end_ when there is none; remembered in
  // cached between calls so each byte is searched once.
  std::size_t Find(char c, std::size_t& cached);

  static constexpr std::size_t kUnknown = ~std::size_t{0};

  FileReader& file_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // end of the bytes read
  std::size_t scan_ = 0;   // no line end in [begin_, scan_)
  std::size_t nextLf_ = kUnknown;
  std::size_t nextCr_ = kUnknown;
  bool atEnd_ = false;     // nothing more to read (end of file or a NUL)
};

}  // namespace qf
