#include "rtproperties.h"

#include <map>
#include <mutex>

const TPropertyTable::Setter *TPropertyTable::Find(std::string_view name) const {
  // Later entries (a subclass's) win over earlier ones of the same name.
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
    if (SameText(it->name, name)) return &it->set;
  return nullptr;
}

std::vector<std::string> TPropertyTable::Names() const {
  std::vector<std::string> names;
  for (const Entry &e : entries_) names.push_back(e.name);
  return names;
}

void SetPublishedProperty(TComponent &component, std::string_view name, std::string_view text,
                          TComponent *root) {
  const TPropertyTable::Setter *set = component.Published().Find(name);
  if (!set) throw EPropertyError("Property " + std::string(name) + " does not exist");
  if (!root) root = component.Owner() ? component.Owner() : &component;
  (*set)(component, text, root);
}

namespace {
struct ClassRegistry {
  std::mutex lock;
  std::map<std::string, TComponentFactory, std::less<>> factories;  // by upper-case name
};
ClassRegistry &Classes() {
  static ClassRegistry registry;
  return registry;
}
}  // namespace

void RegisterComponentClass(std::string name, TComponentFactory factory) {
  ClassRegistry &r = Classes();
  std::lock_guard guard(r.lock);
  r.factories[UpperCase(name)] = factory;
}

bool IsComponentClassRegistered(std::string_view name) {
  ClassRegistry &r = Classes();
  std::lock_guard guard(r.lock);
  return r.factories.count(UpperCase(name)) != 0;
}

TComponent &CreateComponentByClassName(std::string_view name, TComponent &owner) {
  TComponentFactory factory = nullptr;
  {
    ClassRegistry &r = Classes();
    std::lock_guard guard(r.lock);
    auto it = r.factories.find(UpperCase(name));
    if (it != r.factories.end()) factory = it->second;
  }
  if (!factory) throw EPropertyError("Class " + std::string(name) + " not found");
  return *factory(&owner);
}
