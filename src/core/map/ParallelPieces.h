// A large MAP file read on all processors: it is cut into pieces of whole
// lines, and a piece that begins at a proven section start (SectionCuts.h)
// is read from a fresh state while any other piece goes on from the state
// its predecessor ended in. Workers read the pieces; their results join in
// file order, one at a time, on whichever thread finds the next one ready
// (the thread that reads the file or a worker that has just read a piece),
// so the result is the one of a reading on one thread.
//
// A Reading names what is read:
//   using State = ...;  where a reading stands between two lines (copyable;
//                       a default State is the start of a file)
//   using Batch = ...;  what one piece gives; reused, with Batch::Reset()
//   State ReadPiece(std::string_view text, const State& from, bool fileEnds, Batch& batch) const;
//                       reads whole lines (any thread)
//   void Join(Batch& batch, const State& end, bool continuation);
//                       takes a piece's result, in file order (any thread,
//                       one at a time)
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/FileSystem.h"
#include "map/SectionCuts.h"

namespace qf {

template <class Reading>
class ParallelPieces {
 public:
  using State = typename Reading::State;
  using Batch = typename Reading::Batch;

  ParallelPieces(FileReader& file, Reading& reading, std::size_t bufferSize, unsigned threads)
      : file_(file), reading_(reading), bufferSize_(std::max<std::size_t>(bufferSize, 64)), threads_(threads) {}

  // Reads the whole file; false, with nothing read, when no worker could
  // start. Read errors propagate.
  bool Run() {
    std::vector<std::thread> workers;
    workers.reserve(threads_);  // no reallocation once threads run
    try {
      for (unsigned i = 0; i < threads_; ++i) workers.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      if (workers.empty()) return false;
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
    return true;
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
    Batch batch;
    State end;
  };

  void Fail(std::exception_ptr error) {
    {
      std::lock_guard<std::mutex> lock(m_);
      if (!error_) error_ = error;
    }
    cv_.notify_all();
  }

  // A free buffer; meanwhile the pieces read join.
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
    State start;
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
    result->end = reading_.ReadPiece(text, start, piece.last || result->cut, result->batch);
    {
      std::unique_lock<std::mutex> lock(m_);
      ends_[piece.index] = result->end;
      ready_[piece.index] = std::move(result);
      // Joining copies the entries into fresh memory, most of the cost of
      // a join: done here, it leaves the reading thread to the file.
      JoinReady(lock);
    }
    cv_.notify_all();
    return true;
  }

  // Results join in file order, one thread at a time: a thread that finds
  // another one joining leaves the ready results to it. Returns whether
  // anything joined.
  bool JoinReady(std::unique_lock<std::mutex>& lock) {
    if (joining_) return false;
    joining_ = true;
    bool any = false;
    while (!error_ && !stopped_) {
      const auto next = ready_.find(joined_);
      if (next == ready_.end()) break;
      std::unique_ptr<Result> r = std::move(next->second);
      ready_.erase(next);
      lock.unlock();
      try {
        reading_.Join(r->batch, r->end, r->continuation);
      } catch (...) {
        lock.lock();
        joining_ = false;
        throw;
      }
      lock.lock();
      if (r->cut) stopped_ = true;
      ++joined_;
      ends_.erase(ends_.begin(), ends_.lower_bound(joined_ > 0 ? joined_ - 1 : 0));
      free_.push_back(r->buffer);
      spare_.push_back(std::move(r));
      any = true;
    }
    joining_ = false;
    if (any) cv_.notify_all();
    return any;
  }

  FileReader& file_;
  Reading& reading_;
  const std::size_t bufferSize_;
  const unsigned threads_;

  std::mutex m_;
  std::condition_variable cv_;
  std::exception_ptr error_;
  bool noMorePieces_ = false;
  bool stopped_ = false;  // a NUL ended the text: nothing after it counts
  bool joining_ = false;  // a thread is in JoinReady
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::vector<Buffer*> free_;
  std::deque<Piece> pieces_;
  std::map<std::size_t, State> ends_;
  std::map<std::size_t, std::unique_ptr<Result>> ready_;
  std::vector<std::unique_ptr<Result>> spare_;
  std::size_t joined_ = 0;
};

// The number of readers for a file of sizeHint bytes: `threads` when not 0,
// else one per processor from parallelFrom bytes on, else one. The reading
// thread copies from the file and joins while the workers read pieces; past
// a few workers it is the bottleneck, and every worker holds one buffer.
inline unsigned PieceReaders(unsigned threads, long long sizeHint, long long parallelFrom) {
  constexpr unsigned kMostWorkers = 8;
  if (threads != 0) return threads;
  return sizeHint >= parallelFrom ? std::clamp(std::thread::hardware_concurrency(), 1u, kMostWorkers) : 1;
}

}  // namespace qf
