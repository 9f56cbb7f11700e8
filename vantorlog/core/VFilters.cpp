#include "VFilters.h"

#include "VOptions.h"

TVantorExceptionsFilters::~TVantorExceptionsFilters() {
  owner_ = nullptr;  // the owner is being torn down: announce nothing
  items_.clear();
}

void TVantorExceptionsFilters::Changed() {
  if (owner_) owner_->TriggerChanged();
}

TVantorExceptionFilter* TVantorExceptionsFilters::GetFilter(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<std::size_t>(index)].get();
}

TVantorExceptionFilter* TVantorExceptionsFilters::Add(const TVantorExceptionFilter& record) {
  items_.push_back(std::make_unique<TVantorExceptionFilter>(record));
  TVantorExceptionFilter* added = items_.back().get();
  Changed();
  return added;
}

void TVantorExceptionsFilters::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  items_.erase(items_.begin() + index);
  Changed();
}

void TVantorExceptionsFilters::ClearFilters() {
  items_.clear();
  Changed();
}

void TVantorExceptionsFilters::CopyFilters(const TVantorExceptionsFilters& other) {
  if (&other == this) return;
  // Copies first, so that a failure part-way leaves this list as it was.
  std::vector<TVantorExceptionFilter> copies;
  copies.reserve(other.items_.size());
  for (const auto& item : other.items_) copies.push_back(*item);
  items_.clear();
  for (const auto& copy : copies) items_.push_back(std::make_unique<TVantorExceptionFilter>(copy));
  Changed();
}
