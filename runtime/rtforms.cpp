#include "rtforms.h"

#include <utility>
#include <vector>

#include "rtproperties.h"
#include "rtsysutils.h"

namespace {

// One read of a resource into a form.
class FormReader {
 public:
  FormReader(TForm &form, std::string source) : form_(form), source_(std::move(source)) {}

  void Read(const TResourceObject &root) {
    const std::string formerName = form_.Name();
    form_.BeginLoading();
    try {
      AdoptName(root);
      // Every component first, then the properties: a property may name a
      // component whose block comes later.
      for (const TResourceObject &child : root.children) Create(form_, child, true);
      Apply(form_, root);
      for (const auto &[component, object] : built_) Apply(*component, *object);
    } catch (...) {
      // Components go newest first; each takes the ones it owns with it.
      for (auto it = made_.rbegin(); it != made_.rend(); ++it) delete *it;
      form_.SetName(formerName);
      form_.CancelLoading();
      throw;
    }
    form_.EndLoading();
  }

 private:
  [[noreturn]] void Fail(int line, const std::string &reason) const {
    throw EResourceError(source_, line, reason);
  }

  void AdoptName(const TResourceObject &root) {
    if (!form_.Name().empty()) return;
    std::string name = root.name;
    TComponent *owner = form_.Owner();
    for (int n = 1; owner && owner->FindComponent(name); ++n)
      name = root.name + "_" + std::to_string(n);
    form_.SetName(name);
  }

  void Create(TComponent &owner, const TResourceObject &object, bool direct) {
    if (!IsComponentClassRegistered(object.className))
      Fail(object.line, "class " + object.className + " is not registered");
    TComponent *component = nullptr;
    try {
      component = &CreateComponentByClassName(object.className, owner);
    } catch (const Exception &e) {
      Fail(object.line, "cannot create " + object.name + ": " + e.Message());
    }
    if (direct) made_.push_back(component);
    built_.emplace_back(component, &object);
    component->BeginLoading();
    try {
      component->SetName(object.name);
    } catch (const Exception &e) {
      Fail(object.line, e.Message());
    }
    for (const TResourceObject &child : object.children) Create(*component, child, false);
  }

  void Apply(TComponent &component, const TResourceObject &object) {
    const TPropertyTable &table = component.Published();
    for (const TResourceProperty &p : object.properties) {
      if (SameText(p.name, "Name"))
        Fail(p.line, "the name of " + object.name + " is given in its block, not as a property");
      TPropertyTable::ValueSetter set = table.FindValueSetter(p.name);
      if (!set) Fail(p.line, object.className + " has no property " + p.name);
      try {
        set(component, p.value, &form_);
      } catch (const Exception &e) {
        Fail(p.line, p.name + " of " + object.name + ": " + e.Message());
      }
    }
  }

  TForm &form_;
  std::string source_;
  std::vector<TComponent *> made_;  // the components made directly in the form
  std::vector<std::pair<TComponent *, const TResourceObject *>> built_;  // all, in block order
};

}  // namespace

void TForm::ReadForm(std::string_view text, std::string_view className, std::string_view source) {
  source_.assign(source);
  TResourceObject root;
  try {
    root = ParseFormResource(text);
  } catch (const EResourceError &e) {
    throw EResourceError(source_, e.Line(), e.Reason());
  }
  if (!SameText(root.className, className))
    throw EResourceError(
        source_, root.line,
        "the resource describes a " + root.className + ", not a " + std::string(className));
  FormReader(*this, source_).Read(root);
}

void TForm::InitFromResource(std::string_view className) {
  std::string name = UpperCase(className);
  std::optional<std::string_view> text = FindModuleResource(name);
  if (!text) throw EResourceError(name, 0, "form resource not found");
  ReadForm(*text, className, name);
}
