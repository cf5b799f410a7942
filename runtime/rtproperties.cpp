#include "rtproperties.h"

#include <cstring>
#include <mutex>

#include "rtlock.h"

#include "rtunits.h"

const TPropertyTable::Entry *TPropertyTable::FindEntry(std::string_view name) const {
  // Later entries (a subclass's) win over earlier ones of the same name.
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
    if (SameText(it->name, name)) return &*it;
  return nullptr;
}

const TPropertyTable::Setter *TPropertyTable::Find(std::string_view name) const {
  const Entry *e = FindEntry(name);
  return e ? &e->set : nullptr;
}

TPropertyTable::ValueSetter TPropertyTable::FindValueSetter(std::string_view name) const {
  const Entry *e = FindEntry(name);
  return e ? e->setValue : nullptr;
}

const char *KindName(TPropertyValue::TKind kind) {
  switch (kind) {
    case TPropertyValue::vkInteger:
      return "an integer";
    case TPropertyValue::vkBoolean:
      return "a boolean";
    case TPropertyValue::vkString:
      return "a text";
    case TPropertyValue::vkName:
      return "a name";
    case TPropertyValue::vkSet:
      return "a set";
  }
  return "a value";
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

void SetPublishedValue(TComponent &component, std::string_view name, const TPropertyValue &value,
                       TComponent *root) {
  TPropertyTable::ValueSetter set = component.Published().FindValueSetter(name);
  if (!set) throw EPropertyError("Property " + std::string(name) + " does not exist");
  if (!root) root = component.Owner() ? component.Owner() : &component;
  set(component, value, root);
}

namespace {
// The registry is built from constant data and filled by the registrars of
// the units while the library loads. It holds no object that needs building
// at run time, so registering touches no once-only initialisation of the
// thread runtime on the loading thread (see rtunits.h).
constexpr std::size_t kMaxClasses = 256;
constexpr std::size_t kMaxClassName = 63;
struct ClassEntry {
  char name[kMaxClassName + 1];
  TComponentFactory factory;
};
// Constant-initialised: usable by the registrars of every unit. Globals by
// design: a form resource names its classes, and the registry is where the
// units that define them put them while the module loads.
constinit rt::TLock g_classLock;
constinit ClassEntry g_classes[kMaxClasses] = {};
constinit std::size_t g_classCount = 0;

// Under g_classLock.
ClassEntry *FindClass(std::string_view name) {
  for (std::size_t i = 0; i < g_classCount; ++i)
    if (SameText(g_classes[i].name, name)) return &g_classes[i];
  return nullptr;
}
}  // namespace

void RegisterComponentClass(std::string name, TComponentFactory factory) {
  if (name.empty() || name.size() > kMaxClassName)
    throw EPropertyError("Class name '" + name + "' is empty or too long");
  std::lock_guard guard(g_classLock);
  ClassEntry *entry = FindClass(name);
  if (!entry) {
    if (g_classCount == kMaxClasses) throw EPropertyError("Too many component classes");
    entry = &g_classes[g_classCount++];
    std::memcpy(entry->name, name.data(), name.size());
    entry->name[name.size()] = '\0';
  }
  entry->factory = factory;
}

bool IsComponentClassRegistered(std::string_view name) {
  std::lock_guard guard(g_classLock);
  return FindClass(name) != nullptr;
}

TComponent &CreateComponentByClassName(std::string_view name, TComponent &owner) {
  TComponentFactory factory = nullptr;
  {
    std::lock_guard guard(g_classLock);
    if (ClassEntry *entry = FindClass(name)) factory = entry->factory;
  }
  if (!factory) throw EPropertyError("Class " + std::string(name) + " not found");
  return *factory(&owner);
}
