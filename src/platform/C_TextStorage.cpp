#include "C_TextStorage.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/Errors.h"

namespace qf {
namespace {

const char kUnused[] = "unused";

// The list search of the user's locale: case folds for accented letters too.
bool SameTextByLocale(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// 0-based index of the first entry equal to text, or -1.
long long IndexOf(const std::vector<std::string>& list, const std::string& text) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (SameTextByLocale(list[i], text)) return static_cast<long long>(i);
  }
  return -1;
}

}  // namespace

TTextStorage::TTextStorage() = default;

void TTextStorage::LoadFromForm(const std::vector<std::string>& storedItems) {
  items_ = storedItems;
  Loaded();
}

void TTextStorage::Loaded() { defaultItems_ = items_; }

const std::vector<std::string>& TTextStorage::Items() const { return items_; }

void TTextStorage::SetItems(const std::vector<std::string>& items) {
  items_ = items;
  if (Designing) defaultItems_ = items;
}

const std::vector<std::string>& TTextStorage::DefaultItems() const { return defaultItems_; }

std::string TTextStorage::GetText(const std::string& key) const {
  const long long index = IndexOf(defaultItems_, key);
  if (index < 0) return key;
  if (static_cast<std::size_t>(index) >= items_.size()) throw EListError(index);
  const std::string& text = items_[static_cast<std::size_t>(index)];
  return text == kUnused ? key : text;
}

}  // namespace qf
