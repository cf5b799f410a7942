// A windowed edit control: a TCustomEdit whose text lives in a Win32 "EDIT"
// window. The window is a multi-line edit created on the constructing thread
// as the child of a message-only window, so it exists (and takes messages
// such as WM_CHAR and EM_REPLACESEL) without a display; a program that shows
// it gives it a parent of its own with SetParentWindow.
#pragma once

#include <windows.h>

#include <string>

#include "rtcontrols.h"

class RT_API TEdit : public TCustomEdit {
 public:
  explicit TEdit(TComponent *owner);
  ~TEdit() override;

  HWND Handle() const { return window_; }
  void SetParentWindow(HWND parent);
  std::string GetText() const override;
  void SetText(const std::string &text) override;

 private:
  HWND window_ = nullptr;
};
