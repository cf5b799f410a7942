// Vavevi: the terminal and the indicators of the serial component.
//
// A terminal is an edit control whose window procedure the component hooks:
// characters typed into it are sent (TerminalUsage tuSend or tuBoth), and
// received bytes are put into it (tuReceive or tuBoth). Several components
// may hook one edit; their hooks form a chain (Unhook). Indicators are
// controls with a boolean "Checked" property that show the modem lines at
// every trace report.
#include <cstring>

#include "rtproperties.h"
#include "vavevi_comm.h"

namespace {

// The window property of a hooked edit: the component that hooked it last.
const char *const kTerminalProp = "vaVeviTerminal";

}  // namespace

// ---------------------------------------------------------------------------
// The indicators

void TnrCustomComm::DoTraceStates(TObject *com, TTraceStates states) {
  TModemSignals signals = GetStateModemSignals();
  if (monitorCTS_) SetIndicator(monitorCTS_, signals.Contains(msCTS));
  if (monitorDSR_) SetIndicator(monitorDSR_, signals.Contains(msDSR));
  if (monitorRLSD_) SetIndicator(monitorRLSD_, signals.Contains(msRLSD));
  if (states.Contains(tsRing) && monitorRing_) SetIndicator(monitorRing_, true);
  if (onTraceState_) onTraceState_(com, states);
}

void TnrCustomComm::SetIndicator(TComponent *control, bool on) {
  try {
    SetPublishedProperty(*control, "Checked", on ? "True" : "False");
  } catch (const EPropertyError &) {
    // A control without a "Checked" property is left alone.
  }
}

void TnrCustomComm::SetMonitor(TComponent *&slot, TComponent *control) {
  slot = control;
  if (control) FreeNotification(control);
}

// ---------------------------------------------------------------------------
// The terminal

void TnrCustomComm::Unhook() {
  HWND window = hookedWindow_;
  if (window) {
    auto *last = static_cast<TnrCustomComm *>(GetPropA(window, kTerminalProp));
    if (last == this || !last) {
      if (hookedAfter_) {
        SetPropA(window, kTerminalProp, hookedAfter_);
      } else {
        RemovePropA(window, kTerminalProp);
        if (savedWndProc_)
          SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(savedWndProc_));
      }
    } else {
      // Hooked after this one: that component now hooks after this one's
      // predecessor (or holds the edit's own procedure).
      for (TnrCustomComm *c = last; c; c = c->hookedAfter_) {
        if (c->hookedAfter_ != this) continue;
        c->hookedAfter_ = hookedAfter_;
        if (!hookedAfter_) c->savedWndProc_ = savedWndProc_;
        break;
      }
    }
  }
  hookedWindow_ = nullptr;
  hookedAfter_ = nullptr;
  savedWndProc_ = nullptr;
}

void TnrCustomComm::SetTerminal(TEdit *edit) {
  Unhook();
  if (edit) {
    HWND window = edit->Handle();
    auto *last = static_cast<TnrCustomComm *>(GetPropA(window, kTerminalProp));
    auto current = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    if (last && current == &TnrCustomComm::TerminalWndProc) {
      // Another component hooked this edit: messages go on to it.
      hookedAfter_ = last;
    } else {
      savedWndProc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
          window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TnrCustomComm::TerminalWndProc)));
    }
    SetPropA(window, kTerminalProp, this);
    hookedWindow_ = window;
  }
  terminalWindow_ = nullptr;
  terminal_ = edit;
  if (ComponentState().Contains(csDesigning) && terminalUsage_ == tuNone) {
    terminalUsage_ = tuBoth;
    SetTraceState(GetTraceStates() + TTraceStates{tsRxChar});
  }
  SetTerminalUsage(terminalUsage_);
  if (edit) FreeNotification(edit);
}

void TnrCustomComm::SetTerminalUsage(TTerminalUsage usage) {
  terminalUsage_ = usage;
  if (terminal_)
    terminalWindow_ = usage == tuReceive || usage == tuBoth ? terminal_->Handle() : nullptr;
}

LRESULT CALLBACK TnrCustomComm::TerminalWndProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  auto *self = static_cast<TnrCustomComm *>(GetPropA(window, kTerminalProp));
  if (!self) return DefWindowProcA(window, message, wParam, lParam);
  return self->NewWndProc(window, message, wParam, lParam);
}

LRESULT TnrCustomComm::NewWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // A character that UpdateTerminalByChars puts into the terminal is not
  // sent back: it comes from the thread running the update, directly or as
  // a message sent from it. A key typed meanwhile is sent.
  DWORD updater = terminalBusy_.load();
  bool fromUpdate = updater != 0 && (updater == GetCurrentThreadId() || InSendMessage());
  if (!fromUpdate && message == WM_CHAR && (terminalUsage_ == tuSend || terminalUsage_ == tuBoth)) {
    SendChar(static_cast<char>(wParam));
    if (!terminalEcho_) return 0;
  }
  if (hookedAfter_) return hookedAfter_->NewWndProc(window, message, wParam, lParam);
  if (!savedWndProc_) return DefWindowProcA(window, message, wParam, lParam);
  return CallWindowProcA(savedWndProc_, window, message, wParam, lParam);
}

void TnrCustomComm::UpdateTerminalByChars(std::uint8_t *data, std::uint32_t count) {
  HWND window = terminalWindow_;
  if (!window || count == 0) return;
  terminalBusy_ = GetCurrentThreadId();
  if (count == 1) {
    SendMessageA(window, WM_CHAR, data[0], 1);
  } else {
    data[count] = 0;  // the buffer has room for it
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + count;
    while (p < end) {
      SendMessageA(window, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(p));
      p += std::strlen(p) + 1;
    }
  }
  terminalBusy_ = 0;
}

void TnrCustomComm::Notification(TComponent *component, TOperation operation) {
  TnrBaseIO::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == terminal_) {
    // The edit and its window are going: nothing to give back.
    terminal_ = nullptr;
    terminalWindow_ = nullptr;
    savedWndProc_ = nullptr;
    hookedAfter_ = nullptr;
    hookedWindow_ = nullptr;
  }
  if (component == monitorCTS_) monitorCTS_ = nullptr;
  if (component == monitorDSR_) monitorDSR_ = nullptr;
  if (component == monitorRLSD_) monitorRLSD_ = nullptr;
  if (component == monitorRing_) monitorRing_ = nullptr;
}
