// The one formatting rule of the program's texts: "%d" writes a signed integer
// in decimal (no grouping, no fill), "%s" writes a text unchanged, "%%" a
// percent sign. Arguments are consumed in order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qf {

class FormatArg {
 public:
  FormatArg(std::string_view text) : text_(text), isText_(true) {}
  FormatArg(const std::string& text) : text_(text), isText_(true) {}
  FormatArg(const char* text) : text_(text), isText_(true) {}
  FormatArg(long long number) : number_(number) {}
  FormatArg(long number) : number_(number) {}
  FormatArg(int number) : number_(number) {}

  bool IsText() const { return isText_; }
  std::string_view Text() const { return text_; }
  long long Number() const { return number_; }

 private:
  std::string_view text_;
  long long number_ = 0;
  bool isText_ = false;
};

std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args);

}  // namespace qf
