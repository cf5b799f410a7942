#include "rtedit.h"

#include <vector>

#include "rtexcept.h"

TEdit::TEdit(TComponent *owner) : TCustomEdit(owner) {
  window_ =
      CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 0, 0,
                      320, 200, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!window_) throw Exception("Edit window creation error: " + std::to_string(GetLastError()));
}

TEdit::~TEdit() { DestroyWindow(window_); }

void TEdit::SetParentWindow(HWND parent) { SetParent(window_, parent ? parent : HWND_MESSAGE); }

std::string TEdit::GetText() const {
  int length = GetWindowTextLengthA(window_);
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  int n = GetWindowTextA(window_, buffer.data(), length + 1);
  return std::string(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
}

void TEdit::SetText(const std::string &text) { SetWindowTextA(window_, text.c_str()); }
