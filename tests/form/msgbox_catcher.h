// Catches the message boxes of the test's own process (Windows, with a
// display): a watcher thread finds each message box that this process shows,
// on any of its threads, reads it and closes it with its default button, so
// that a test can run code that shows modal boxes and then check exactly
// which boxes appeared.
//
//   MessageBoxCatcher boxes;
//   DeviceFormCreated();                 // shows a box; returns once closed
//   ASSERT_EQ(boxes.Texts(), std::vector<std::string>{"Achou  zlib"});
//
// A message box here is a visible dialog window ("#32770") of this process
// that holds a static text and a button. The watcher looks every few
// milliseconds (sleeping in between).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct CaughtBox {
  std::string caption;
  std::string text;
  std::vector<std::string> buttons;  // their texts, in window order
  bool icon = false;                 // a visible icon beside the text
  bool centred = false;              // centre within an eighth of the screen's centre
  DWORD thread = 0;                  // the thread that showed it
};

class MessageBoxCatcher {
 public:
  MessageBoxCatcher() : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    watcher_ = std::thread([this] { Watch(); });
  }
  ~MessageBoxCatcher() {
    SetEvent(stop_);
    watcher_.join();
    CloseHandle(stop_);
  }
  MessageBoxCatcher(const MessageBoxCatcher &) = delete;
  MessageBoxCatcher &operator=(const MessageBoxCatcher &) = delete;

  // Waits until at least count boxes have been caught; false after timeoutMs.
  bool WaitFor(std::size_t count, DWORD timeoutMs = 30000) {
    for (DWORD waited = 0;; waited += 10) {
      if (Boxes().size() >= count) return true;
      if (waited >= timeoutMs) return false;
      Sleep(10);
    }
  }

  std::vector<CaughtBox> Boxes() const {
    std::lock_guard guard(lock_);
    return boxes_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const CaughtBox &b : Boxes()) texts.push_back(b.text);
    return texts;
  }

  // True when this process can show windows (a display is there).
  static bool DisplayAvailable() {
    HWND w =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!w) return false;
    DestroyWindow(w);
    return true;
  }

 private:
  void Watch() {
    while (WaitForSingleObject(stop_, 5) == WAIT_TIMEOUT) {
      EnumWindows(&MessageBoxCatcher::Visit, reinterpret_cast<LPARAM>(this));
      // Forget boxes that are gone, so that a new window reusing a handle is
      // seen again.
      for (auto it = closing_.begin(); it != closing_.end();)
        it = IsWindow(*it) ? std::next(it) : closing_.erase(it);
    }
  }

  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    reinterpret_cast<MessageBoxCatcher *>(self)->Consider(window);
    return TRUE;
  }

  struct Parts {
    std::string text;
    std::vector<std::string> buttons;
    bool icon = false;
  };
  static BOOL CALLBACK VisitChild(HWND child, LPARAM parts) {
    auto &p = *reinterpret_cast<Parts *>(parts);
    char cls[32] = {};
    GetClassNameA(child, cls, sizeof cls);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (lstrcmpiA(cls, "Static") == 0) {
      if ((style & SS_TYPEMASK) == SS_ICON) {
        if (IsWindowVisible(child) && SendMessageA(child, STM_GETICON, 0, 0) != 0) p.icon = true;
      } else if (p.text.empty()) {
        p.text = WindowText(child);
      }
    } else if (lstrcmpiA(cls, "Button") == 0 && IsWindowVisible(child)) {
      p.buttons.push_back(WindowText(child));
    }
    return TRUE;
  }

  static std::string WindowText(HWND w) {
    char text[4096] = {};
    GetWindowTextA(w, text, sizeof text);
    return text;
  }

  void Consider(HWND window) {
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return;
    char cls[16] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") != 0 || closing_.count(window)) return;
    Parts parts;
    EnumChildWindows(window, &MessageBoxCatcher::VisitChild, reinterpret_cast<LPARAM>(&parts));
    if (parts.buttons.empty()) return;

    CaughtBox box;
    box.caption = WindowText(window);
    box.text = parts.text;
    box.buttons = parts.buttons;
    box.icon = parts.icon;
    box.thread = thread;
    RECT r{};
    GetWindowRect(window, &r);
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    int dx = (r.left + r.right) / 2 - sw / 2, dy = (r.top + r.bottom) / 2 - sh / 2;
    box.centred = dx * 8 <= sw && -dx * 8 <= sw && dy * 8 <= sh && -dy * 8 <= sh;
    {
      std::lock_guard guard(lock_);
      boxes_.push_back(box);
    }
    closing_.insert(window);
    // The default button (OK for a box with one button).
    LRESULT def = SendMessageA(window, DM_GETDEFID, 0, 0);
    WORD id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  }

  HANDLE stop_;
  std::set<HWND> closing_;  // watcher thread only
  mutable std::mutex lock_;
  std::vector<CaughtBox> boxes_;
  std::thread watcher_;
};
