// Lists of the class library.
//
// TStringList: texts, each with an associated-object slot. The slot is an
// integer the size of a pointer, so it holds either a plain number (a port
// list keeps each port's number there) or the address of an object that the
// list does not own.
//
// TList: a list of untyped pointers that owns nothing. Subclasses that own
// their items override Notify (called for every item that leaves the list)
// and, where they have more to reset, the virtual Clear. TObjectList<T> is the
// owning variant: it destroys each item as it leaves the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtexport.h"

class RT_API TStringList {
 public:
  using Slot = std::uintptr_t;

  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string &Strings(int index) const;
  Slot Objects(int index) const;
  void SetString(int index, std::string text);
  void SetObject(int index, Slot object);

  int Add(std::string text) { return AddObject(std::move(text), 0); }
  int AddObject(std::string text, Slot object);
  void Insert(int index, std::string text) { InsertObject(index, std::move(text), 0); }
  void InsertObject(int index, std::string text, Slot object);
  void Delete(int index);
  virtual void Clear();
  int IndexOf(const std::string &text) const;  // exact match; -1 when absent

 private:
  struct Item {
    std::string text;
    Slot object;
  };
  void Check(int index, bool allowEnd = false) const;
  std::vector<Item> items_;
};

enum class TListNotification { lnAdded, lnDeleted };

class RT_API TList {
 public:
  TList() = default;
  TList(const TList &) = delete;
  TList &operator=(const TList &) = delete;
  // Subclasses that own items must clear in their own destructor: a virtual
  // Notify cannot reach them from here.
  virtual ~TList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  void *Get(int index) const;
  void Put(int index, void *item);  // replaces the pointer; no notification
  int Add(void *item);
  void Insert(int index, void *item);
  void Delete(int index);
  int IndexOf(const void *item) const;
  int Remove(const void *item);  // index it had, or -1
  virtual void Clear();

 protected:
  virtual void Notify(void *item, TListNotification action);

 private:
  void Check(int index, bool allowEnd = false) const;
  std::vector<void *> items_;
};

template <class T>
class TObjectList : public TList {
 public:
  ~TObjectList() override { TObjectList::Clear(); }
  T *Items(int index) const { return static_cast<T *>(Get(index)); }
  int Add(std::unique_ptr<T> item) { return TList::Add(item.release()); }
  void Clear() override { TList::Clear(); }

 protected:
  void Notify(void *item, TListNotification action) override {
    if (action == TListNotification::lnDeleted) std::default_delete<T>()(static_cast<T *>(item));
  }
};
