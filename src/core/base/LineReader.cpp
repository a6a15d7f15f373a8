#include "base/LineReader.h"

#include <algorithm>
#include <cstring>

namespace qf {

LineReader::LineReader(FileReader& file, std::size_t bufferSize) : file_(file), buffer_(std::max<std::size_t>(bufferSize, 2)) {}

bool LineReader::Next(std::string_view& line) {
  for (;;) {
    const char* const data = buffer_.data();
    const std::size_t e = std::min(Find('\n', nextLf_), Find('\r', nextCr_));
    // A CR as the last byte read may be the first half of CR LF.
    if (e < end_ && !(data[e] == '\r' && e + 1 == end_ && !atEnd_)) {
      line = std::string_view(data + begin_, e - begin_);
      begin_ = e + ((data[e] == '\r' && e + 1 < end_ && data[e + 1] == '\n') ? 2 : 1);
      scan_ = begin_;
      return true;
    }
    scan_ = e;
    if (atEnd_) {
      if (begin_ == end_) return false;
      line = std::string_view(data + begin_, end_ - begin_);
      begin_ = scan_ = end_;
      return true;
    }
    Fill();
  }
}

std::size_t LineReader::Find(char c, std::size_t& cached) {
  if (cached == kUnknown || cached < scan_) {
    const void* hit = std::memchr(buffer_.data() + scan_, c, end_ - scan_);
    cached = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.data()) : end_;
  }
  return cached;
}

void LineReader::Fill() {
  // A remembered "none before end_" no longer holds once more is read.
  if (nextLf_ == end_) nextLf_ = kUnknown;
  if (nextCr_ == end_) nextCr_ = kUnknown;
  if (begin_ > 0) {
    const std::size_t shift = begin_;
    std::memmove(buffer_.data(), buffer_.data() + shift, end_ - shift);
    end_ -= shift;
    scan_ -= shift;
    begin_ = 0;
    nextLf_ = nextLf_ == kUnknown || nextLf_ < shift ? kUnknown : nextLf_ - shift;
    nextCr_ = nextCr_ == kUnknown || nextCr_ < shift ? kUnknown : nextCr_ - shift;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const std::size_t got = file_.Read(buffer_.data() + end_, buffer_.size() - end_);
  if (got == 0) {
    atEnd_ = true;
    return;
  }
  if (const void* nul = std::memchr(buffer_.data() + end_, '\0', got)) {
    end_ = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer_.data());
    atEnd_ = true;
    return;
  }
  end_ += got;
}

}  // namespace qf
