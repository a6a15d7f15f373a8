// A text served as a file, in reads of varying length, for the readings that
// go piece by piece.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Errors.h"
#include "base/FileSystem.h"

namespace qf::test {

// Serves a text in reads of 1, 2, 3 ... bytes (cycling up to `longest`),
// failing with EFOpenError once failAt bytes are served.
class PieceReader : public FileReader {
 public:
  PieceReader(std::string_view text, std::size_t longest, std::size_t failAt = std::string::npos)
      : text_(text), longest_(longest), failAt_(failAt) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    if (at_ >= failAt_) throw EFOpenError("/x.map", "read failed");
    step_ = step_ % longest_ + 1;
    const std::size_t n = std::min({size, step_, text_.size() - at_, failAt_ - at_});
    std::copy_n(text_.data() + at_, n, buffer);
    at_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t longest_, failAt_, at_ = 0, step_ = 0;
};

class TextFileSystem : public FileSystem {
 public:
  TextFileSystem(std::string text, std::size_t longestRead, std::size_t failAt = std::string::npos)
      : text_(std::move(text)), longest_(longestRead), failAt_(failAt) {}
  std::unique_ptr<FileReader> OpenForReading(const std::string&) const override {
    return std::make_unique<PieceReader>(text_, longest_, failAt_);
  }
  long long FileSize(const std::string&) const override { return static_cast<long long>(text_.size()); }
  std::string ReadWholeFile(const std::string&) const override { return text_; }
  bool FileExists(const std::string&) const override { return true; }
  bool DirectoryExists(const std::string&) const override { return false; }
  bool CreateDir(const std::string&) const override { return false; }
  bool CopyNoReplace(const std::string&, const std::string&) const override { return false; }
  bool MoveNoReplace(const std::string&, const std::string&) const override { return false; }
  bool RemoveFile(const std::string&) const override { return false; }
  std::vector<FoundEntry> FindEntries(const std::string&) const override { return {}; }

 private:
  std::string text_;
  std::size_t longest_, failAt_;
};

}  // namespace qf::test
