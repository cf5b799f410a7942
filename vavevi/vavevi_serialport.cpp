// Vavevi: the serial port component (TnrCustomSerialComm, TvaVevi) - port
// choice, the port list, the plug-and-play identity and the saved
// configuration.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <exception>

#include "nrwin32.h"
#include "rtapplication.h"
#include "rtexcept.h"
#include "rtproperties.h"
#include "rtregistry.h"
#include "vavevi.h"

static_assert(kSerialConfigSize == 1 + sizeof(DCB) + sizeof(COMMTIMEOUTS),
              "port number, device-control block, time-outs");

namespace {

TComponentClassRegistrar<TvaVevi> g_registrar("TvaVevi");

constexpr std::uint32_t kAbortOnError = 0x4000;  // in the block's flag word
constexpr std::size_t kFlagWordOffset = 8;

constexpr DWORD kConnectWait = 200;  // ms for DSR, and each step of the wake-up
// The identity text of the serial plug-and-play enumeration is at most 256
// bytes; a device that sends more without its end marker is cut off there
// rather than read for ever.
constexpr std::size_t kMaxPnpString = 256;

const char kConnectError[] = "Device Connect Initialization Error";
const char kSaveError[] = "Error on save config information from registry";
const char kLoadError[] = "Error on load config information from registry";

}  // namespace

TnrCustomSerialComm::TnrCustomSerialComm(TComponent *owner) : TnrCustomComm(owner) {
  SetLogPrefix("vaVevi: ");
  COMMCONFIG defaults{};
  defaults.dwSize = sizeof defaults;
  defaults.dcb.DCBlength = sizeof(DCB);
  DWORD size = sizeof defaults;
  if (GetDefaultCommConfigA("COM1", &defaults, &size)) CommConfig() = defaults;
  CommConfig().dwSize = sizeof(COMMCONFIG);
  CommConfig().dcb.DCBlength = sizeof(DCB);
  SetComPort(cpCOM1);
  SetBaudRate(19200);
  SetByteSize(8);
  SetParity(pNone);
  SetStopBits(sbOne);
  SetStreamProtocol(spHardware);
  SetEventChar(0);
}

TnrCustomSerialComm::~TnrCustomSerialComm() = default;

// ---------------------------------------------------------------------------
// Choosing the port

void TnrCustomSerialComm::SetComPortNo(std::uint16_t portNo) {
  // While loading, Active only records the wanted state, so this just
  // stores the number.
  const bool wasActive = GetActive();
  SetActive(false);
  comPortNo_ = portNo;
  if (wasActive) SetActive(true);
  DoNotify(nrNotifyDeviceChanged);
}

TComPort TnrCustomSerialComm::GetComPort() const {
  if (comPortNo_ >= 1 && comPortNo_ <= 8) return static_cast<TComPort>(comPortNo_ - 1);
  return cpCOMxx;  // above 8, and 0 (no port) too
}

void TnrCustomSerialComm::SetComPort(TComPort port) {
  if (port >= cpCOM1 && port <= cpCOM8) SetComPortNo(static_cast<std::uint16_t>(port + 1));
}

std::string TnrCustomSerialComm::GetPortName() { return ComPortToStr(comPortNo_); }

// ---------------------------------------------------------------------------
// Opening

HANDLE TnrCustomSerialComm::RequestDeviceHandle() {
  HANDLE external = extHandle_;
  extHandle_ = nullptr;  // one open only
  if (external) return external;
  return OpenPort(comPortNo_);
}

void TnrCustomSerialComm::SetExtHandle(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return;
  if (IsHandleValid()) Close();
  extHandle_ = handle;
  try {
    Open();
  } catch (...) {
    extHandle_ = nullptr;
    throw;
  }
  extHandle_ = nullptr;
}

void TnrCustomSerialComm::InitAfterOpen() {
  TnrCustomComm::InitAfterOpen();
  // Every setting made while the port was closed reaches it here.
  DCB &dcb = Dcb();
  std::uint32_t flags;
  std::memcpy(&flags, reinterpret_cast<const char *>(&dcb) + kFlagWordOffset, sizeof flags);
  flags |= kAbortOnError;
  std::memcpy(reinterpret_cast<char *>(&dcb) + kFlagWordOffset, &flags, sizeof flags);
  DCBApply();
}

void TnrCustomSerialComm::Loaded() {
  TnrCustomComm::Loaded();  // loading ends: Active acts from here on
  SetLastErrorText("");     // a text from before the load is not this load's
  try {
    SetTerminal(GetTerminal());  // hooks the streamed edit
    SetTerminalUsage(GetTerminalUsage());
    SetActive(StoredActive());
  } catch (const std::exception &e) {
    // The open failure's text is the last error text; any other error shows
    // its own. The runtime's error display: a message box "Error" with the
    // error icon and no owner window, or the application object's display
    // when there is one. Loading goes on.
    ShowException(Exception(GetLastErrorText().empty() ? e.what() : GetLastErrorText()));
  }
}

// ---------------------------------------------------------------------------
// The port list

void TnrCustomSerialComm::GetDeviceList(TStringList *list) {
  if (DeviceList().Count() == 0) {
    // Read into a list of its own: a port name that does not convert leaves
    // the device list empty (and reaches the caller).
    TStringList ports;
    GetPortList(ports);
    for (int i = 0; i < ports.Count(); ++i)
      DeviceList().AddObject(ports.Strings(i), ports.Objects(i));
  }
  TnrCustomComm::GetDeviceList(list);
}

void TnrCustomSerialComm::Update() {
  ClearDeviceList();
  GetDeviceList(nullptr);
  TnrCustomComm::Update();
}

void TnrCustomSerialComm::SetDeviceIndex(int index) {
  if (index < 0 || index >= DeviceList().Count()) return;
  // A port number the component cannot hold (above 65535) would open
  // another port: the entry is ignored like one outside the list.
  const auto number = DeviceList().Objects(index);
  if (number > 0xFFFF) return;
  SetComPortNo(static_cast<std::uint16_t>(number));
}

int TnrCustomSerialComm::GetDeviceIndex() {
  for (int i = 0; i < DeviceList().Count(); ++i)
    if (DeviceList().Objects(i) == comPortNo_) return i;
  return -1;
}

// ---------------------------------------------------------------------------
// The device at the other end

void TnrCustomSerialComm::InitDeviceConnect() {
  if (!IsHandleValid()) return;
  ClearDeviceBuffers();
  SetStateDTR(true);
  SetStateRTS(false);
  if (WaitForSignal(msDSR, kConnectWait)) {
    SetStateRTS(true);
    Logging(dlDetail, "The device connection was succesful tested");
  } else {
    DoFatalErrors(1, 0, kConnectError, false);
  }
}

std::string TnrCustomSerialComm::GetPNPDeviceString() {
  std::string result;
  const bool wasActive = GetActive();
  SetActive(true);
  if (!IsHandleValid()) return result;

  ClearDeviceBuffers();
  SetStateDTR(true);
  SetStateRTS(false);
  if (!WaitForSignal(msDSR, kConnectWait)) {
    DoFatalErrors(1, 0, kConnectError, false);
    return result;  // the port stays open
  }

  // The wake-up runs at 1200 baud, 7N1, with no port events watched; the
  // settings before it come back afterwards, whatever happens meanwhile.
  DCBApply();
  const DCB saved = Dcb();
  const TTraceStates savedStates = GetTraceStates();
  struct Restore {
    TnrCustomSerialComm &comm;
    const DCB &block;
    TTraceStates states;
    bool wasActive;
    void Run() {
      if (comm.IsHandleValid()) {
        DCB copy = block;
        SetCommState(comm.GetHandle(), &copy);
      }
      comm.SetTraceState(states);
      comm.SetActive(false);
      comm.SetActive(wasActive);
    }
  } restore{*this, saved, savedStates, wasActive};

  try {
    DCB wake = saved;
    wake.BaudRate = 1200;
    wake.ByteSize = 7;
    wake.Parity = NOPARITY;
    wake.StopBits = ONESTOPBIT;
    SetCommState(GetHandle(), &wake);
    SetTraceState({});

    SetStateDTR(false);
    SetStateRTS(false);
    Sleep(kConnectWait);
    SetStateDTR(true);
    Sleep(kConnectWait);
    SetStateRTS(true);
    bool answered = WaitForBytes(1, kConnectWait);
    if (!answered) {
      SetStateDTR(false);
      SetStateRTS(false);
      Sleep(kConnectWait);
      SetStateDTR(true);
      SetStateRTS(true);
      answered = WaitForBytes(1, kConnectWait);
    }
    // Each byte is read only when it is queued (and counted), so a byte that
    // another consumer took meanwhile ends the answer rather than a read
    // that waits for it.
    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    auto readByte = [&] { return ReadAll(&byte, 1, &got) && got == 1; };
    if (answered && readByte()) {
      std::uint8_t end = 0;
      if (byte == '(')
        end = ')';
      else if (byte == 0x08)
        end = 0x09;
      if (end != 0) {
        result.push_back(static_cast<char>(byte));
        while (result.size() < kMaxPnpString && WaitForBytes(1, kConnectWait) && readByte()) {
          result.push_back(static_cast<char>(byte));
          if (byte == end) break;
        }
      }
    }
  } catch (...) {
    restore.Run();
    throw;
  }
  restore.Run();
  return result;
}

// ---------------------------------------------------------------------------
// The saved configuration

void TnrCustomSerialComm::SaveConfig(HKEY root, const std::string &key, const std::string &name) {
  bool saved = false;
  try {
    TRegistry registry;
    registry.SetRootKey(root);
    if (registry.OpenKey(key, true)) {
      std::uint8_t value[kSerialConfigSize] = {};
      value[0] = static_cast<std::uint8_t>(comPortNo_ & 0xFF);
      std::memcpy(value + 1, &Dcb(), sizeof(DCB));
      std::memcpy(value + 1 + sizeof(DCB), &GetTimeouts(), sizeof(COMMTIMEOUTS));
      registry.WriteBinaryData(name, value, kSerialConfigSize);
      saved = true;
    }
  } catch (const std::exception &) {
    saved = false;
  }
  if (!saved) {
    DoFatalErrors(1, 0, kSaveError, false);
    return;
  }
  Logging(dlDetail, "Configuration was saved");
}

void TnrCustomSerialComm::LoadConfig(HKEY root, const std::string &key, const std::string &name) {
  bool loaded = false;
  try {
    TRegistry registry;
    registry.SetRootKey(root);
    if (registry.OpenKey(key, true)) {
      // Only a value of exactly the saved size is taken; its line settings
      // are not applied.
      if (registry.GetDataSize(name) == kSerialConfigSize) {
        std::uint8_t value[kSerialConfigSize] = {};
        if (registry.ReadBinaryData(name, value, kSerialConfigSize) == kSerialConfigSize) {
          COMMTIMEOUTS timeouts;
          std::memcpy(&timeouts, value + 1 + sizeof(DCB), sizeof timeouts);
          SetComPortNo(value[0]);
          SetTimeOuts(timeouts);
        }
      }
      loaded = true;
    }
  } catch (const std::exception &) {
    loaded = false;
  }
  if (!loaded) {
    DoFatalErrors(1, 0, kLoadError, false);
    return;
  }
  Logging(dlDetail, "Configuration was loaded");
}

// ---------------------------------------------------------------------------
// TvaVevi

TvaVevi::~TvaVevi() = default;

const TPropertyTable &TvaVevi::Published() const {
  static const TPropertyTable table = TPropertyTable(TnrCustomComm::Published())
                                          .Add<&TnrCustomComm::SetEventChar>("EventChar")
                                          .Add<&TnrCustomSerialComm::SetComPortNo>("ComPortNo")
                                          .Add<&TnrCustomSerialComm::SetComPort>("ComPort");
  return table;
}
