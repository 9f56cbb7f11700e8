#include "Classes.h"

int TStrings::IndexOf(const std::string& s) const {
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    if (Get(i) == s) return i;
  }
  return -1;
}

std::string TStrings::Text() const {
  std::string out;
  const int n = Count();
  for (int i = 0; i < n; ++i) out += Get(i) + "\r\n";
  return out;
}

std::string TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) {
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return items_[static_cast<std::size_t>(index)];
}

int TStringList::Add(const std::string& s) {
  items_.push_back(s);
  return Count() - 1;
}
