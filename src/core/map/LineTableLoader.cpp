#include "map/LineTableLoader.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/LineIterator.h"
#include "base/LineReader.h"
#include "map/SectionReader.h"

namespace qf {
namespace {

// Entries gathered before they join the table (the batch stays in cache).
constexpr std::size_t kBatchEntries = std::size_t{1} << 16;

void TakeSegments(const SectionReader& reader, ReadLines& out) {
  out.segmentTableFound = reader.SegmentTableFound();
  out.segments = reader.Segments();
}

// Reads every line that next(line) hands out, in order, on this thread.
template <class NextLine>
ReadLines ReadAllLines(NextLine next) {
  ReadLines out;
  LineBatch batch;
  SectionReader reader(batch);
  for (std::string_view line; next(line);) {
    reader.AddLine(line);
    if (batch.Size() >= kBatchEntries) {
      out.table.Append(batch);
      batch.ClearEntries();
    }
  }
  reader.Finish();
  out.table.Append(batch);
  TakeSegments(reader, out);
  return out;
}

ReadLines ReadOnOneThread(FileReader& file, std::size_t bufferSize) {
  LineReader lines(file, bufferSize);
  return ReadAllLines([&lines](std::string_view& line) { return lines.Next(line); });
}

// ---------------------------------------------------------------- pieces

constexpr std::string_view kHeader = "Line numbers";

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Where the line end that finishes at position `after` begins.
std::size_t LineEndBefore(const char* d, std::size_t after) {
  return (d[after - 1] == '\n' && after >= 2 && d[after - 2] == '\r') ? after - 2 : after - 1;
}

// True when the one-thread reading is, for certain, at the start of a
// section at position p of d[0, n) (d begins at a line start): the line at p
// begins with "Line numbers"; the line before it is empty and the one before
// that does not begin with "Line numbers", so the empty line is not the
// skipped line of a section and the reading is looking for a header; and
// two more lines follow the header before n with no NUL on the way, so the
// header opens a section.
bool IsSectionStart(const char* d, std::size_t n, std::size_t p) {
  if (p == 0 || !IsLineEnd(d[p - 1]) || n - p < kHeader.size() ||
      std::memcmp(d + p, kHeader.data(), kHeader.size()) != 0) {
    return false;
  }
  const std::size_t emptyLine = LineEndBefore(d, p);
  if (emptyLine == 0 || !IsLineEnd(d[emptyLine - 1])) return false;
  const std::size_t end2 = LineEndBefore(d, emptyLine);
  std::size_t start2 = end2;
  while (start2 > 0 && !IsLineEnd(d[start2 - 1])) --start2;
  if (end2 - start2 >= kHeader.size() && std::memcmp(d + start2, kHeader.data(), kHeader.size()) == 0) return false;
  std::size_t e = p;
  for (int line = 0; line < 2; ++line) {
    while (e < n && !IsLineEnd(d[e])) ++e;
    if (e >= n || (d[e] == '\r' && e + 1 >= n)) return false;
    e += (d[e] == '\r' && d[e + 1] == '\n') ? 2 : 1;
  }
  return e < n && std::memchr(d + p, '\0', e + 1 - p) == nullptr;
}

std::size_t LastSectionStart(const char* d, std::size_t n) {
  for (std::size_t p = n; p-- > 1;) {
    if (d[p] == 'L' && IsSectionStart(d, n, p)) return p;
  }
  return 0;
}

// The end of the last whole line of d[0, n) (a CR as the last byte may be
// half of a CR LF); 0 when there is none.
std::size_t LastLineEnd(const char* d, std::size_t n) {
  for (std::size_t c = n; c-- > 0;) {
    if (d[c] == '\n' || (d[c] == '\r' && c + 1 < n)) return c + 1;
  }
  return 0;
}

// A large file is cut into pieces of whole lines. A piece that begins at a
// proven section start is read from a fresh state; any other piece goes on
// from the state its predecessor ended in. Pieces are read on all threads;
// the thread that reads the file joins them to the table in file order.
class ParallelReading {
 public:
  ParallelReading(FileReader& file, const LineTableLoadOptions& options, unsigned threads)
      : file_(file), bufferSize_(std::max<std::size_t>(options.bufferSize, 64)), threads_(threads) {}

  ReadLines Run() {
    std::vector<std::thread> workers;
    workers.reserve(threads_);  // no reallocation once threads run
    try {
      for (unsigned i = 0; i < threads_; ++i) workers.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      if (workers.empty()) {
        return ReadOnOneThread(file_, bufferSize_);
      }
    }
    try {
      const std::size_t pieces = ReadPieces();
      // The rest of the pieces join as they are read.
      std::unique_lock<std::mutex> lock(m_);
      while (!error_ && !stopped_ && joined_ < pieces) {
        if (!JoinReady(lock)) cv_.wait(lock);
      }
    } catch (...) {
      Fail(std::current_exception());
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      noMorePieces_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : workers) t.join();
    if (error_) std::rethrow_exception(error_);
    return std::move(out_);
  }

 private:
  struct Buffer {
    std::vector<char> bytes;
  };
  struct Piece {
    std::size_t index;
    Buffer* buffer;
    std::size_t size;
    bool continuation;  // goes on from its predecessor's state
    bool last;
  };
  struct Result {
    std::size_t index = 0;
    Buffer* buffer = nullptr;
    bool continuation = false;
    bool cut = false;  // a NUL ends the text inside this piece
    LineBatch batch;
    SectionReader::State end;
  };

  void Fail(std::exception_ptr error) {
    {
      std::lock_guard<std::mutex> lock(m_);
      if (!error_) error_ = error;
    }
    cv_.notify_all();
  }

  // A free buffer; meanwhile the pieces read join the table.
  Buffer* TakeBuffer() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      JoinReady(lock);
      // One buffer per worker, one being read and one waiting to join.
      if (error_ || stopped_ || !free_.empty() || buffers_.size() < threads_ + 2) break;
      cv_.wait(lock);
    }
    if (error_ || stopped_) return nullptr;
    if (!free_.empty()) {
      Buffer* b = free_.back();
      free_.pop_back();
      return b;
    }
    buffers_.push_back(std::make_unique<Buffer>());
    buffers_.back()->bytes.resize(bufferSize_);
    return buffers_.back().get();
  }

  void Submit(const Piece& piece) {
    {
      std::lock_guard<std::mutex> lock(m_);
      pieces_.push_back(piece);
    }
    cv_.notify_all();
  }

  // Returns the number of pieces given to the workers.
  std::size_t ReadPieces() {
    std::size_t index = 0;
    bool continuation = false;
    Buffer* previous = nullptr;
    std::size_t carryFrom = 0, carrySize = 0;
    for (;;) {
      Buffer* b = TakeBuffer();
      if (!b) return index;
      // The lines not yet given to a piece move to the front.
      if (carrySize > 0) {
        if (b->bytes.size() < carrySize * 2) b->bytes.resize(std::max(bufferSize_, carrySize * 2));
        std::memmove(b->bytes.data(), previous->bytes.data() + carryFrom, carrySize);
      }
      std::size_t n = carrySize;
      for (;;) {
        bool atEnd = false;
        while (n < b->bytes.size()) {
          const std::size_t got = file_.Read(b->bytes.data() + n, b->bytes.size() - n);
          if (got == 0) {
            atEnd = true;
            break;
          }
          n += got;
        }
        if (atEnd) {
          Submit({index, b, n, continuation, true});
          return index + 1;
        }
        const char* d = b->bytes.data();
        std::size_t cut = LastSectionStart(d, n);
        bool nextContinues = false;
        if (cut == 0) {
          cut = LastLineEnd(d, n);
          nextContinues = true;
        }
        if (cut > 0) {
          Submit({index++, b, cut, continuation, false});
          continuation = nextContinues;
          previous = b;
          carryFrom = cut;
          carrySize = n - cut;
          break;
        }
        b->bytes.resize(b->bytes.size() * 2);  // one line longer than the buffer
      }
    }
  }

  void Work() {
    for (;;) {
      Piece piece{};
      {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return error_ || stopped_ || noMorePieces_ || !pieces_.empty(); });
        if (error_ || stopped_ || pieces_.empty()) return;
        piece = pieces_.front();
        pieces_.pop_front();
      }
      try {
        if (!ReadPiece(piece)) return;
      } catch (...) {
        Fail(std::current_exception());
        return;
      }
    }
  }

  bool ReadPiece(const Piece& piece) {
    std::unique_ptr<Result> result;
    SectionReader::State start;
    {
      std::unique_lock<std::mutex> lock(m_);
      if (!spare_.empty()) {
        result = std::move(spare_.back());
        spare_.pop_back();
      }
      if (piece.continuation) {
        cv_.wait(lock, [&] { return error_ || stopped_ || ends_.count(piece.index - 1) != 0; });
        if (error_ || stopped_) return false;
        start = std::move(ends_[piece.index - 1]);
        ends_.erase(piece.index - 1);
      }
    }
    if (!result) result = std::make_unique<Result>();
    result->batch.Reset();
    result->index = piece.index;
    result->buffer = piece.buffer;
    result->continuation = piece.continuation;
    std::string_view text(piece.buffer->bytes.data(), piece.size);
    const auto nul = text.find('\0');
    result->cut = nul != std::string_view::npos;
    if (result->cut) text = text.substr(0, nul);

    SectionReader reader(result->batch, start);
    for (LineIterator it(text); !it.AtEnd(); ++it) reader.AddLine(*it);
    if (piece.last || result->cut) reader.Finish();
    result->end = reader.Leave();
    {
      std::lock_guard<std::mutex> lock(m_);
      ends_[piece.index] = result->end;
      ready_[piece.index] = std::move(result);
    }
    cv_.notify_all();
    return true;
  }

  // Results join the table in file order, on the reading thread: the
  // workers only read pieces. Returns whether anything joined.
  bool JoinReady(std::unique_lock<std::mutex>& lock) {
    bool any = false;
    while (!error_ && !stopped_) {
      const auto next = ready_.find(joined_);
      if (next == ready_.end()) break;
      std::unique_ptr<Result> r = std::move(next->second);
      ready_.erase(next);
      lock.unlock();
      out_.table.Append(r->batch);
      const SectionReader::State& e = r->end;
      if ((!out_.segmentTableFound || (!segmentsDone_ && r->continuation)) && e.segmentRows) {
        out_.segmentTableFound = true;
        segmentsDone_ = e.segmentsDone;
        out_.segments = e.segments.Segments();
      }
      lock.lock();
      if (r->cut) stopped_ = true;
      ++joined_;
      ends_.erase(ends_.begin(), ends_.lower_bound(joined_ > 0 ? joined_ - 1 : 0));
      free_.push_back(r->buffer);
      spare_.push_back(std::move(r));
      any = true;
    }
    if (any) cv_.notify_all();
    return any;
  }

  FileReader& file_;
  const std::size_t bufferSize_;
  const unsigned threads_;

  std::mutex m_;
  std::condition_variable cv_;
  std::exception_ptr error_;
  bool noMorePieces_ = false;
  bool stopped_ = false;  // a NUL ended the text: nothing after it counts
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::vector<Buffer*> free_;
  std::deque<Piece> pieces_;
  std::map<std::size_t, SectionReader::State> ends_;
  std::map<std::size_t, std::unique_ptr<Result>> ready_;
  std::vector<std::unique_ptr<Result>> spare_;
  std::size_t joined_ = 0;
  bool segmentsDone_ = false;
  ReadLines out_;
};

}  // namespace

ReadLines ReadLineTable(FileReader& file, long long sizeHint, const LineTableLoadOptions& options) {
  unsigned threads = options.threads;
  if (threads == 0) {
    // The reading thread copies from the file and joins while the workers
    // read pieces; past a few workers it is the bottleneck, and every worker
    // holds one buffer.
    constexpr unsigned kMostWorkers = 8;
    threads = sizeHint >= options.parallelFrom ? std::clamp(std::thread::hardware_concurrency(), 1u, kMostWorkers) : 1;
  }
  if (threads <= 1) return ReadOnOneThread(file, options.bufferSize);
  return ParallelReading(file, options, threads).Run();
}

ReadLines ReadLineTable(std::string_view text) {
  const auto nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  LineIterator it(text);
  return ReadAllLines([&it](std::string_view& line) {
    if (it.AtEnd()) return false;
    line = *it;
    ++it;
    return true;
  });
}

}  // namespace qf
