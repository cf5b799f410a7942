// Components: objects with an owner, a name, a state, and removal notices.
//
// Ownership. A component created with an owner belongs to it: the owner
// destroys it (last created first) when the owner itself is destroyed. Create
// owned components with CreateComponent, which hands back a reference and
// keeps ownership with the owner:
//
//   auto& log = CreateComponent<TLogFile>(form);
//
// A component without an owner is held like any other object, usually in a
// std::unique_ptr. A component may also be destroyed before its owner; it
// then leaves the owner's list.
//
// Removal notices. A component that keeps a pointer to another asks for that
// one's removal notice (FreeNotification). When either of the two is
// destroyed, the other one's Notification(component, opRemove) runs, and the
// survivor clears its pointer there. An owner is told of the removal of each
// of its components the same way.
#pragma once

#include <any>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rtexport.h"
#include "rtset.h"

class TPropertyTable;

class RT_API TObject {
 public:
  TObject() = default;
  TObject(const TObject &) = delete;
  TObject &operator=(const TObject &) = delete;
  virtual ~TObject() = default;
};

enum class TOperation { opInsert, opRemove };

enum TComponentStateFlag { csLoading, csDesigning, csDestroying };
using TComponentState = TSet<TComponentStateFlag>;

class RT_API TComponent : public TObject {
 public:
  explicit TComponent(TComponent *owner);
  ~TComponent() override;

  TComponent *Owner() const { return owner_; }
  const std::string &Name() const { return name_; }
  // Names are unique among the components of one owner; an empty name is
  // always allowed.
  void SetName(std::string name);
  TComponentState ComponentState() const { return state_; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent *Components(int index) const;
  TComponent *FindComponent(std::string_view name) const;  // case-insensitive

  void FreeNotification(TComponent *other);
  void RemoveFreeNotification(TComponent *other);

  // Reading from a resource: BeginLoading sets csLoading; properties are then
  // set by name (SetPublishedProperty); EndLoading clears the flag and calls
  // Loaded. Both also apply to the owned components.
  void BeginLoading();
  void EndLoading();
  // Ends loading without Loaded: for a reader that gives up half-way.
  void CancelLoading();
  void SetDesigning(bool designing);

  // The published properties of the class: what can be set by name from text.
  virtual const TPropertyTable &Published() const;
  // A root component (a form) names the handlers that its resource assigns:
  // the result holds a Handler<Sig> bound to this object, or nothing.
  virtual std::any MethodAddress(std::string_view name) const;

 protected:
  virtual void Notification(TComponent *component, TOperation operation);
  virtual void Loaded();

 private:
  void Insert(TComponent *child);
  void Remove(TComponent *child);

  TComponent *owner_ = nullptr;
  std::string name_;
  TComponentState state_;
  std::vector<TComponent *> components_;  // owned, in creation order
  // The named ones among them by their upper-case name (names are unique
  // within an owner, without regard to letter case): finding, naming and
  // removing a component cost the same however many its owner has.
  std::unordered_map<std::string, TComponent *> byName_;
  std::vector<TComponent *> freeNotifies_;  // peers to tell at destruction
};

// Creates a component owned by owner and returns it; the owner destroys it.
template <class T, class... A>
T &CreateComponent(TComponent &owner, A &&...args) {
  static_assert(std::is_base_of_v<TComponent, T>);
  // The component registers itself with its owner in its constructor, so the
  // owner holds it from then on.
  T *component = new T(&owner, std::forward<A>(args)...);
  return *component;
}
