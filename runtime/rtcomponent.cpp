#include "rtcomponent.h"

#include <algorithm>
#include <iterator>

#include "rtexcept.h"
#include "rtproperties.h"
#include "rtsysutils.h"

TComponent::TComponent(TComponent *owner) {
  if (owner) owner->Insert(this);
}

TComponent::~TComponent() {
  state_.Include(csDestroying);
  // Owned components go first, last created first. Each one takes itself out
  // of components_ in its destructor.
  while (!components_.empty()) delete components_.back();

  std::vector<TComponent *> peers = std::move(freeNotifies_);
  freeNotifies_.clear();
  for (TComponent *peer : peers) {
    auto &list = peer->freeNotifies_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    peer->Notification(this, TOperation::opRemove);
  }
  if (owner_) owner_->Remove(this);
}

void TComponent::Insert(TComponent *child) {
  components_.push_back(child);
  child->owner_ = this;
  Notification(child, TOperation::opInsert);
}

void TComponent::Remove(TComponent *child) {
  if (!child->name_.empty()) {
    auto named = byName_.find(UpperCase(child->name_));
    if (named != byName_.end() && named->second == child) byName_.erase(named);
  }
  // Components mostly go newest first: look from the end.
  auto it = std::find(components_.rbegin(), components_.rend(), child);
  if (it != components_.rend()) components_.erase(std::next(it).base());
  child->owner_ = nullptr;
  if (!state_.Contains(csDestroying)) Notification(child, TOperation::opRemove);
}

void TComponent::SetName(std::string name) {
  if (name == name_) return;
  if (owner_) {
    if (!name.empty()) {
      TComponent *other = owner_->FindComponent(name);
      if (other && other != this) throw Exception("A component named " + name + " already exists");
    }
    auto &index = owner_->byName_;
    if (!name_.empty()) {
      auto named = index.find(UpperCase(name_));
      if (named != index.end() && named->second == this) index.erase(named);
    }
    if (!name.empty()) index[UpperCase(name)] = this;
  }
  name_ = std::move(name);
}

TComponent *TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  return components_[static_cast<std::size_t>(index)];
}

TComponent *TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  auto named = byName_.find(UpperCase(name));
  return named != byName_.end() ? named->second : nullptr;
}

void TComponent::FreeNotification(TComponent *other) {
  if (!other || other == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
    freeNotifies_.push_back(other);
  auto &theirs = other->freeNotifies_;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent *other) {
  if (!other) return;
  freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), other),
                      freeNotifies_.end());
  auto &theirs = other->freeNotifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::BeginLoading() {
  state_.Include(csLoading);
  for (TComponent *c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  for (TComponent *c : components_) c->EndLoading();
  if (state_.Contains(csLoading)) Loaded();
}

void TComponent::CancelLoading() {
  for (TComponent *c : components_) c->CancelLoading();
  state_.Exclude(csLoading);
}

void TComponent::SetDesigning(bool designing) {
  if (designing)
    state_.Include(csDesigning);
  else
    state_.Exclude(csDesigning);
  for (TComponent *c : components_) c->SetDesigning(designing);
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

void TComponent::Notification(TComponent *, TOperation) {}

std::any TComponent::MethodAddress(std::string_view) const { return {}; }

const TPropertyTable &TComponent::Published() const {
  static const TPropertyTable table = TPropertyTable().Add<&TComponent::SetName>("Name");
  return table;
}
