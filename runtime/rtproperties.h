// Published properties: setting a component's properties by name from text.
//
// Every property is read and written through Get<Name> and Set<Name>
// operations of its class. A class publishes the setters that a resource may
// use in a table, which extends the table of its base class:
//
//   const TPropertyTable& TnrLogFile::Published() const {
//     static const TPropertyTable table = TPropertyTable(TnrCustomLogFile::Published())
//         .Add<&TnrLogFile::SetSizeLimit>("SizeLimit")
//         .Add<&TnrLogFile::SetOptions>("Options");
//     return table;
//   }
//
// The text of a value is converted by the setter's argument type:
//   integers     decimal, or "$" and hexadecimal digits
//   bool         True / False
//   std::string  as is
//   enumerations the value's name, for types that specialise EnumNames
//   TSet<E>      "[name, name]"
//   component*   the name of a component of the root (empty or nil: none)
//   Handler<S>   the name of a method of the root (see MethodAddress)
// A text that does not convert raises EConvertError; an unknown property
// EPropertyError.
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
  throw EConvertError("'" + t + "' is not a valid enumeration value");
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
    std::int64_t v = StrToInt64(text);
    using L = std::numeric_limits<V>;
    if (v < static_cast<std::int64_t>(L::min()) ||
        (v > 0 && static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(L::max())))
      throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return static_cast<V>(v);
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
    std::string t = Trim(text);
    if (t.empty() || SameText(t, "nil")) return nullptr;
    TComponent *found = root ? root->FindComponent(t) : nullptr;
    auto *typed = dynamic_cast<V>(found);
    if (!typed) throw EPropertyError("No suitable component named " + t);
    return typed;
  } else if constexpr (IsHandler<V>::value) {
    std::string t = Trim(text);
    if (t.empty() || SameText(t, "nil")) return V();
    std::any method = root ? root->MethodAddress(t) : std::any();
    if (const V *h = std::any_cast<V>(&method)) return *h;
    throw EPropertyError("No suitable method named " + t);
  } else {
    static_assert(sizeof(V) == 0, "no text conversion for this property type");
  }
}

}  // namespace rt_detail

class RT_API TPropertyTable {
 public:
  using Setter =
      std::function<void(TComponent &component, std::string_view text, TComponent *root)>;

  TPropertyTable() = default;

  // Publishes the setter S (void C::Set<Name>(V)) under the name.
  template <auto S>
  TPropertyTable &Add(std::string name) {
    using Traits = rt_detail::SetterTraits<decltype(S)>;
    using C = typename Traits::Class;
    using V = typename Traits::Value;
    entries_.push_back(
        {std::move(name), [](TComponent &component, std::string_view text, TComponent *root) {
           auto &object = dynamic_cast<C &>(component);
           (object.*S)(rt_detail::FromText<V>(text, root));
         }});
    return *this;
  }

  const Setter *Find(std::string_view name) const;
  std::vector<std::string> Names() const;

 private:
  struct Entry {
    std::string name;
    Setter set;
  };
  std::vector<Entry> entries_;
};

// Sets the published property name of component from text. Component and
// method names are looked up in root (by default the component's owner, or the
// component itself when it has none).
RT_API void SetPublishedProperty(TComponent &component, std::string_view name,
                                 std::string_view text, TComponent *root = nullptr);

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
//   static const TComponentClassRegistrar<TnrLogFile> registrar("TnrLogFile");
template <class T>
struct TComponentClassRegistrar {
  explicit TComponentClassRegistrar(const char *name) { RegisterComponentClass<T>(name); }
};
