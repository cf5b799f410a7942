#include "rtproperties.h"

const TPropertyTable::Setter* TPropertyTable::Find(std::string_view name) const {
  // Later entries (a subclass's) win over earlier ones of the same name.
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
    if (SameText(it->name, name)) return &it->set;
  return nullptr;
}

std::vector<std::string> TPropertyTable::Names() const {
  std::vector<std::string> names;
  for (const Entry& e : entries_) names.push_back(e.name);
  return names;
}

void SetPublishedProperty(TComponent& component, std::string_view name, std::string_view text, TComponent* root) {
  const TPropertyTable::Setter* set = component.Published().Find(name);
  if (!set) throw EPropertyError("Property " + std::string(name) + " does not exist");
  if (!root) root = component.Owner() ? component.Owner() : &component;
  (*set)(component, text, root);
}
