// Published properties: setting a component's properties by name.
//
// Every property is read and written through Get<Name> and Set<Name>
// operations of its class. A class publishes the setters that a resource may
// use in a table, which extends the table of its base class:
//
//   const TPropertyTable& TLogFile::Published() const {
//     static const TPropertyTable table = TPropertyTable(TCustomLogFile::Published())
//         .Add<&TLogFile::SetSizeLimit>("SizeLimit")
//         .Add<&TLogFile::SetOptions>("Options");
//     return table;
//   }
//
// A value reaches a setter in one of two forms:
//
// - as text (SetPublishedProperty), converted by the setter's argument type:
//     integers     decimal, or "$" and hexadecimal digits
//     bool         True / False
//     std::string  as is
//     enumerations the value's name, for types that specialise EnumNames
//     TSet<E>      "[name, name]"
//     component*   the name of a component of the root (empty or nil: none)
//     Handler<S>   the name of a method of the root (see MethodAddress)
// - as a typed value read from a form resource (SetPublishedValue): the
//   value's kind must be the one the setter's type takes - an integer for
//   integers, a boolean for bool, a text for std::string, a name for
//   enumerations, components and handlers, a set for TSet - and integers
//   must lie in the type's range.
// A value that does not convert raises EConvertError; an unknown property,
// component or method EPropertyError.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "rtcomponent.h"
#include "rtexcept.h"
#include "rthandler.h"
#include "rtset.h"
#include "rtsysutils.h"

// Specialise for an enumeration to make it settable by name:
//   template <> struct EnumNames<TDetailLevel> {
//     static constexpr std::array<std::string_view, 3> names{"dlSimple", ...};
//   };
template <class E>
struct EnumNames;

// A value as a form resource gives it, before it meets a property's type.
struct TPropertyValue {
  enum TKind { vkInteger, vkBoolean, vkString, vkName, vkSet };
  TKind kind = vkInteger;
  std::int64_t integer = 0;        // vkInteger; vkBoolean: 0 or 1
  std::string text;                // vkString: the text; vkName: the name
  std::vector<std::string> items;  // vkSet: the names of the members

  static TPropertyValue Integer(std::int64_t v) { return {vkInteger, v, {}, {}}; }
  static TPropertyValue Boolean(bool v) { return {vkBoolean, v ? 1 : 0, {}, {}}; }
  static TPropertyValue String(std::string v) { return {vkString, 0, std::move(v), {}}; }
  static TPropertyValue Name(std::string v) { return {vkName, 0, std::move(v), {}}; }
  static TPropertyValue Set(std::vector<std::string> v) { return {vkSet, 0, {}, std::move(v)}; }
};

// "an integer", "a boolean", "a text", "a name", "a set": for messages.
RT_API const char *KindName(TPropertyValue::TKind kind);

namespace rt_detail {

template <class T, class = void>
struct HasEnumNames : std::false_type {};
template <class T>
struct HasEnumNames<T, std::void_t<decltype(EnumNames<T>::names)>> : std::true_type {};

template <class T>
struct IsSet : std::false_type {};
template <class E, class B>
struct IsSet<TSet<E, B>> : std::true_type {
  using Enum = E;
};

template <class T>
struct IsHandler : std::false_type {};
template <class S>
struct IsHandler<Handler<S>> : std::true_type {};

template <class M>
struct SetterTraits;
template <class C, class V>
struct SetterTraits<void (C::*)(V)> {
  using Class = C;
  using Value = std::remove_cvref_t<V>;
};

template <class E>
E EnumFromText(std::string_view text) {
  std::string t = Trim(text);
  const auto &names = EnumNames<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (SameText(names[i], t)) return static_cast<E>(i);
  std::string known;
  for (std::string_view n : names) known += (known.empty() ? "" : ", ") + std::string(n);
  throw EConvertError("'" + t + "' is not a valid enumeration value (" + known + ")");
}

template <class V>
V IntegerInRange(std::int64_t v, std::string_view text) {
  using L = std::numeric_limits<V>;
  if (v < static_cast<std::int64_t>(L::min()) ||
      (v > 0 && static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(L::max())))
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value (" +
                        std::to_string(L::min()) + ".." + std::to_string(L::max()) + ")");
  return static_cast<V>(v);
}

template <class V>
V ComponentByName(const std::string &name, TComponent *root) {
  if (name.empty() || SameText(name, "nil")) return nullptr;
  TComponent *found = root ? root->FindComponent(name) : nullptr;
  if (!found) throw EPropertyError("No component named " + name);
  auto *typed = dynamic_cast<V>(found);
  if (!typed)
    throw EPropertyError("Component " + name + " is not of the class this property takes");
  return typed;
}

template <class V>
V HandlerByName(const std::string &name, TComponent *root) {
  if (name.empty() || SameText(name, "nil")) return V();
  std::any method = root ? root->MethodAddress(name) : std::any();
  if (!method.has_value()) throw EPropertyError("No method named " + name);
  if (const V *h = std::any_cast<V>(&method)) return *h;
  throw EPropertyError("Method " + name + " does not fit this event");
}

template <class V>
V FromText(std::string_view text, TComponent *root) {
  if constexpr (std::is_same_v<V, std::string>) {
    return std::string(text);
  } else if constexpr (std::is_same_v<V, bool>) {
    std::string t = Trim(text);
    if (SameText(t, "True") || t == "1") return true;
    if (SameText(t, "False") || t == "0") return false;
    throw EConvertError("'" + t + "' is not a valid boolean value");
  } else if constexpr (std::is_enum_v<V> && HasEnumNames<V>::value) {
    return EnumFromText<V>(text);
  } else if constexpr (std::is_integral_v<V>) {
    return IntegerInRange<V>(StrToInt64(text), text);
  } else if constexpr (IsSet<V>::value) {
    std::string t = Trim(text);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']')
      throw EConvertError("'" + t + "' is not a valid set value");
    V set;
    std::string_view body = std::string_view(t).substr(1, t.size() - 2);
    while (!Trim(body).empty()) {
      std::size_t comma = body.find(',');
      set.Include(EnumFromText<typename IsSet<V>::Enum>(body.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      body.remove_prefix(comma + 1);
    }
    return set;
  } else if constexpr (std::is_pointer_v<V> &&
                       std::is_base_of_v<TComponent, std::remove_pointer_t<V>>) {
    return ComponentByName<V>(Trim(text), root);
  } else if constexpr (IsHandler<V>::value) {
    return HandlerByName<V>(Trim(text), root);
  } else {
    static_assert(sizeof(V) == 0, "no text conversion for this property type");
  }
}

inline void ExpectKind(const TPropertyValue &value, TPropertyValue::TKind kind) {
  if (value.kind != kind)
    throw EConvertError(std::string(KindName(kind)) + " is expected, not " + KindName(value.kind));
}

template <class V>
V FromValue(const TPropertyValue &value, TComponent *root) {
  using K = TPropertyValue;
  if constexpr (std::is_same_v<V, std::string>) {
    ExpectKind(value, K::vkString);
    return value.text;
  } else if constexpr (std::is_same_v<V, bool>) {
    ExpectKind(value, K::vkBoolean);
    return value.integer != 0;
  } else if constexpr (std::is_enum_v<V> && HasEnumNames<V>::value) {
    ExpectKind(value, K::vkName);
    return EnumFromText<V>(value.text);
  } else if constexpr (std::is_integral_v<V>) {
    ExpectKind(value, K::vkInteger);
    return IntegerInRange<V>(value.integer, std::to_string(value.integer));
  } else if constexpr (IsSet<V>::value) {
    ExpectKind(value, K::vkSet);
    V set;
    for (const std::string &item : value.items)
      set.Include(EnumFromText<typename IsSet<V>::Enum>(item));
    return set;
  } else if constexpr (std::is_pointer_v<V> &&
                       std::is_base_of_v<TComponent, std::remove_pointer_t<V>>) {
    ExpectKind(value, K::vkName);
    return ComponentByName<V>(value.text, root);
  } else if constexpr (IsHandler<V>::value) {
    ExpectKind(value, K::vkName);
    return HandlerByName<V>(value.text, root);
  } else {
    static_assert(sizeof(V) == 0, "no conversion for this property type");
  }
}

}  // namespace rt_detail

class RT_API TPropertyTable {
 public:
  using Setter =
      std::function<void(TComponent &component, std::string_view text, TComponent *root)>;
  using ValueSetter = void (*)(TComponent &component, const TPropertyValue &value,
                               TComponent *root);

  TPropertyTable() = default;

  // Publishes the setter S (void C::Set<Name>(V)) under the name.
  template <auto S>
  TPropertyTable &Add(std::string name) {
    using Traits = rt_detail::SetterTraits<decltype(S)>;
    using C = typename Traits::Class;
    using V = typename Traits::Value;
    entries_.push_back({std::move(name),
                        [](TComponent &component, std::string_view text, TComponent *root) {
                          auto &object = dynamic_cast<C &>(component);
                          (object.*S)(rt_detail::FromText<V>(text, root));
                        },
                        [](TComponent &component, const TPropertyValue &value, TComponent *root) {
                          auto &object = dynamic_cast<C &>(component);
                          (object.*S)(rt_detail::FromValue<V>(value, root));
                        }});
    return *this;
  }

  const Setter *Find(std::string_view name) const;
  ValueSetter FindValueSetter(std::string_view name) const;
  std::vector<std::string> Names() const;

 private:
  struct Entry {
    std::string name;
    Setter set;
    ValueSetter setValue;
  };
  const Entry *FindEntry(std::string_view name) const;
  std::vector<Entry> entries_;
};

// Sets the published property name of component from text. Component and
// method names are looked up in root (by default the component's owner, or the
// component itself when it has none).
RT_API void SetPublishedProperty(TComponent &component, std::string_view name,
                                 std::string_view text, TComponent *root = nullptr);
// The same with a typed value (see the top of this file).
RT_API void SetPublishedValue(TComponent &component, std::string_view name,
                              const TPropertyValue &value, TComponent *root = nullptr);

// Component classes by name, for readers that build components from a
// resource naming their classes. A class registers once (typically from a
// static object in its unit); the component made is owned by owner.
using TComponentFactory = TComponent *(*)(TComponent *owner);
RT_API void RegisterComponentClass(std::string name, TComponentFactory factory);
RT_API bool IsComponentClassRegistered(std::string_view name);
// Raises EPropertyError "Class <name> not found" for an unknown class.
RT_API TComponent &CreateComponentByClassName(std::string_view name, TComponent &owner);

template <class T>
void RegisterComponentClass(std::string name) {
  static_assert(std::is_base_of_v<TComponent, T>);
  RegisterComponentClass(std::move(name),
                         [](TComponent *owner) -> TComponent * { return new T(owner); });
}

// Registers T under name when the unit is loaded:
//   static const TComponentClassRegistrar<TLogFile> registrar("TLogFile");
template <class T>
struct TComponentClassRegistrar {
  explicit TComponentClassRegistrar(const char *name) { RegisterComponentClass<T>(name); }
};

// The methods a form publishes for its resource to assign to events, for its
// MethodAddress:
//
//   std::any TMyForm::MethodAddress(std::string_view name) const {
//     static const TMethodTable<TMyForm> methods = TMethodTable<TMyForm>()
//         .Add<&TMyForm::LogFull>("LogFull");
//     return methods.Find(name, const_cast<TMyForm *>(this));
//   }
template <class C>
class TMethodTable {
 public:
  template <auto M>
  TMethodTable &Add(std::string name) {
    entries_.push_back({std::move(name), [](C *object) { return std::any(Bind<M>(object)); }});
    return *this;
  }
  // A Handler bound to object, or nothing when no method has that name.
  std::any Find(std::string_view name, C *object) const {
    for (const Entry &e : entries_)
      if (SameText(e.name, name)) return e.bind(object);
    return {};
  }

 private:
  struct Entry {
    std::string name;
    std::any (*bind)(C *object);
  };
  std::vector<Entry> entries_;
};
