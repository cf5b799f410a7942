// Forms: components that build the components they own from a form
// resource (rtformres.h).
//
// A form class reads its resource in its constructor and then takes the
// components it needs by name:
//
//   TLogForm::TLogForm(TComponent *owner) : TForm(owner) {
//     InitFromResource("TLogForm");                 // resource "TLOGFORM"
//     logFile1 = &Field<TLogFile>("logFile1");
//   }
//   std::any TLogForm::MethodAddress(std::string_view name) const {
//     static const TMethodTable<TLogForm> methods =
//         TMethodTable<TLogForm>().Add<&TLogForm::LogFull>("LogFull");
//     return methods.Find(name, const_cast<TLogForm *>(this));
//   }
//
// Reading a resource: the outermost block must name the form's class; its
// name becomes the form's name (with "_1", "_2"... when the form's owner has
// a component of that name already) and its properties are set on the form.
// Each inner block creates a component of its class (registered with
// RegisterComponentClass), owned by the component of the enclosing block,
// named as the block says. Once every component exists, the properties are
// set block by block in the order written, through the published properties
// of the classes (rtproperties.h), with the form as the root that resolves
// component references (components of the form's outermost block, also
// those whose blocks come later) and method names (MethodAddress).
// Everything is read while the components are loading; Loaded runs for each
// at the end.
//
// A resource that is malformed or does not fit (an unknown class, property
// or method, a value of the wrong kind or out of range, a duplicate name)
// raises EResourceError with the resource's name, the line and the reason;
// the components made by that read are destroyed first, so the form is left
// as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "rtcomponent.h"
#include "rtexport.h"
#include "rtformres.h"

class RT_API TForm : public TComponent {
 public:
  explicit TForm(TComponent *owner) : TComponent(owner) {}

  // Reads a resource's text into this form. className is the form's class
  // name, source the resource's name for messages.
  void ReadForm(std::string_view text, std::string_view className, std::string_view source = {});

 protected:
  // Reads the form resource named after the class: its name in capitals
  // ("TLOGFORM" for TLogForm), an RCDATA resource of the module that holds
  // the class library (FindModuleResource).
  void InitFromResource(std::string_view className);

  // The component of the form with that name, as a T; raises EResourceError
  // when the form has no component of that name and class.
  template <class T>
  T &Field(std::string_view name) const {
    if (T *found = dynamic_cast<T *>(FindComponent(name))) return *found;
    throw EResourceError(
        source_, 0, "the form has no component " + std::string(name) + " of the class it needs");
  }

 private:
  std::string source_;
};

// The bytes of the RCDATA resource with that name in the module that holds
// the class library (the library's DLL, or a program that links the library
// statically), valid while that module is loaded; nothing when there is no
// such resource. Builds without Windows resources always give nothing.
RT_API std::optional<std::string_view> FindModuleResource(std::string_view name);
