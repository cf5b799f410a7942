// The text-edit control as far as the non-visual components need it: a
// component with a text. A log can copy its entries into one (VisualOut).
// A windowed edit derives from it and keeps its window's text in step.
#pragma once

#include <string>

#include "rtcomponent.h"

class RT_API TCustomEdit : public TComponent {
 public:
  explicit TCustomEdit(TComponent *owner) : TComponent(owner) {}
  virtual std::string GetText() const { return text_; }
  virtual void SetText(const std::string &text) { text_ = text; }

 private:
  std::string text_;
};
