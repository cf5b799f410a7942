#include "rtlists.h"

#include "rtexcept.h"

void TStringList::Check(int index, bool allowEnd) const {
  int limit = Count() + (allowEnd ? 1 : 0);
  if (index < 0 || index >= limit)
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string &TStringList::Strings(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)].text;
}

TStringList::Slot TStringList::Objects(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::SetString(int index, std::string text) {
  Check(index);
  items_[static_cast<std::size_t>(index)].text = std::move(text);
}

void TStringList::SetObject(int index, Slot object) {
  Check(index);
  items_[static_cast<std::size_t>(index)].object = object;
}

int TStringList::AddObject(std::string text, Slot object) {
  items_.push_back({std::move(text), object});
  return Count() - 1;
}

void TStringList::InsertObject(int index, std::string text, Slot object) {
  Check(index, true);
  items_.insert(items_.begin() + index, Item{std::move(text), object});
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Clear() { items_.clear(); }

int TStringList::IndexOf(const std::string &text) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[static_cast<std::size_t>(i)].text == text) return i;
  return -1;
}

void TList::Check(int index, bool allowEnd) const {
  int limit = Count() + (allowEnd ? 1 : 0);
  if (index < 0 || index >= limit)
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

void *TList::Get(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)];
}

void TList::Put(int index, void *item) {
  Check(index);
  items_[static_cast<std::size_t>(index)] = item;
}

int TList::Add(void *item) {
  items_.push_back(item);
  Notify(item, TListNotification::lnAdded);
  return Count() - 1;
}

void TList::Insert(int index, void *item) {
  Check(index, true);
  items_.insert(items_.begin() + index, item);
  Notify(item, TListNotification::lnAdded);
}

void TList::Delete(int index) {
  Check(index);
  void *item = items_[static_cast<std::size_t>(index)];
  items_.erase(items_.begin() + index);
  Notify(item, TListNotification::lnDeleted);
}

int TList::IndexOf(const void *item) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[static_cast<std::size_t>(i)] == item) return i;
  return -1;
}

int TList::Remove(const void *item) {
  int i = IndexOf(item);
  if (i >= 0) Delete(i);
  return i;
}

void TList::Clear() {
  // Items leave one by one from the end, so Notify sees a consistent list.
  while (!items_.empty()) Delete(Count() - 1);
}

void TList::Notify(void *, TListNotification) {}
