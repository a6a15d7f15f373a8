// A form's store of the texts its code puts together at run time. Code asks
// with a text's default wording (the key) and gets the current wording kept
// at the same position.
#pragma once

#include <string>
#include <vector>

namespace qf {

class TTextStorage {
 public:
  TTextStorage();

  // Fills Items as a form load does (the writer is not involved), then runs
  // the after-loading step: DefaultItems becomes a copy of Items, and from
  // then on the keys are fixed.
  void LoadFromForm(const std::vector<std::string>& storedItems);

  // The current texts.
  const std::vector<std::string>& Items() const;
  // Replaces the current texts; in a form designer also the keys.
  void SetItems(const std::vector<std::string>& items);

  // The keys: the texts as they were when the form was loaded.
  const std::vector<std::string>& DefaultItems() const;

  // The current wording at the position of the first key that equals key
  // without regard to case (by the user's locale); the key itself when there
  // is none or when that wording is the placeholder "unused". Throws
  // EListError when the position lies past the end of Items.
  std::string GetText(const std::string& key) const;

  bool Designing = false;

 private:
  void Loaded();

  std::vector<std::string> items_;
  std::vector<std::string> defaultItems_;
};

}  // namespace qf
