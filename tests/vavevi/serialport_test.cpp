// The serial port component without a port: its defaults, the port number
// and TComPort, the port list from the real Wine registry, the saved
// configuration in the real registry, and a form resource that configures it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "rtexcept.h"
#include "rtforms.h"
#include "rtproperties.h"
#include "serialport_support.h"
#include "testutil.h"
#include "vavevi.h"

namespace {

const char kKey[] = "Software\\TorvexTest\\SerialConfig";

std::string Bytes(const void *data, std::size_t n) {
  return std::string(static_cast<const char *>(data), n);
}

std::uint32_t Le32(const std::string &b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
         static_cast<std::uint8_t>(b[at + 2]) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

// The test key under HKEY_CURRENT_USER, removed after each test.
class ConfigKey {
 public:
  ConfigKey() { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }
  ~ConfigKey() { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }
  void Write(const std::string &name, const std::string &data, DWORD type = REG_BINARY) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(key);
  }
  std::string Read(const std::string &name) {
    char data[256];
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, kKey, name.c_str(), RRF_RT_ANY, nullptr, data, &size) !=
        ERROR_SUCCESS)
      return "<none>";
    return Bytes(data, size);
  }
};

}  // namespace

TEST(SerialPort, DefaultsPortNumbersAndComPort) {
  TvaVevi comm(nullptr);
  EXPECT_EQ(comm.GetLogPrefix(), "vaVevi: ");
  EXPECT_EQ(comm.GetComPortNo(), 1);
  EXPECT_EQ(comm.GetComPort(), cpCOM1);
  EXPECT_EQ(comm.GetPortName(), "COM1");
  // The system's default configuration, then the component's own defaults
  // over it.
  EXPECT_EQ(comm.GetBaudRate(), 19200u);
  EXPECT_EQ(comm.GetByteSize(), 8);
  EXPECT_EQ(comm.GetParity(), pNone);
  EXPECT_EQ(comm.GetStopBits(), sbOne);
  EXPECT_EQ(comm.GetStreamProtocol(), spHardware);
  EXPECT_EQ(comm.GetEventChar(), 0);
  EXPECT_EQ(comm.CommConfig().dwSize, 52u);
  EXPECT_EQ(comm.CommConfig().dcb.DCBlength, 28u);
  EXPECT_EQ(comm.GetBufferInSize(), 4096);
  EXPECT_EQ(comm.GetTimeoutRead(), 0u);
  EXPECT_EQ(comm.GetTimeoutWrite(), 100u);
  EXPECT_TRUE(comm.GetTerminalEcho());
  EXPECT_FALSE(comm.GetActive());

  struct Case {
    const char *step;
    std::uint16_t setNo;  // 0xFFFF: set ComPort instead
    TComPort setPort;
    std::uint16_t wantNo;
    TComPort wantPort;
  };
  const Case cases[] = {
      {"ComPortNo := 12", 12, cpCOM1, 12, cpCOMxx},
      {"ComPort := cpCOMxx leaves the number", 0xFFFF, cpCOMxx, 12, cpCOMxx},
      {"ComPort := cpCOM3", 0xFFFF, cpCOM3, 3, cpCOM3},
      {"ComPortNo := 8", 8, cpCOM1, 8, cpCOM8},
      {"ComPortNo := 9", 9, cpCOM1, 9, cpCOMxx},
      {"ComPort := cpCOM1", 0xFFFF, cpCOM1, 1, cpCOM1},
      {"ComPortNo := 0 (no port) reads cpCOMxx", 0, cpCOM1, 0, cpCOMxx},
      {"ComPort := cpCOM8", 0xFFFF, cpCOM8, 8, cpCOM8},
  };
  Recorder events;
  comm.NotifyAdd(Bind<&Recorder::Notify>(&events));
  for (const Case &c : cases) {
    if (c.setNo == 0xFFFF)
      comm.SetComPort(c.setPort);
    else
      comm.SetComPortNo(c.setNo);
    EXPECT_EQ(comm.GetComPortNo(), c.wantNo) << c.step;
    EXPECT_EQ(comm.GetComPort(), c.wantPort) << c.step;
    EXPECT_FALSE(comm.GetActive()) << c.step << ": a closed component stays closed";
  }
  // Code 3 for every number written (cpCOMxx writes none).
  EXPECT_EQ(events.Notifications(), std::vector<int>(7, nrNotifyDeviceChanged));
  EXPECT_EQ(comm.GetPortName(), "COM8");
}

TEST(SerialPort, PortListFromTheRegistry) {
  SerialCommValues values;
  values.Add("\\Device\\Serial10", "COM10");
  values.Add("\\Device\\Serial3", "com3");
  values.Add("\\Device\\Serial1", "COM1");
  TvaVevi comm(nullptr);
  Recorder events;
  comm.NotifyAdd(Bind<&Recorder::Notify>(&events));
  comm.SetComPortNo(3);
  EXPECT_EQ(comm.GetDeviceIndex(), -1) << "the list is not read for the index";
  comm.SetDeviceIndex(1);
  EXPECT_EQ(comm.GetComPortNo(), 3) << "an index beyond the (empty) list is ignored";

  TStringList list;
  list.Add("stale");
  comm.GetDeviceList(&list);
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM10=10");
  EXPECT_EQ(comm.GetDeviceIndex(), 1);
  events.Clear();
  comm.SetDeviceIndex(2);
  EXPECT_EQ(comm.GetComPortNo(), 10);
  EXPECT_EQ(comm.GetDeviceIndex(), 2);
  comm.SetDeviceIndex(3);
  comm.SetDeviceIndex(-1);
  EXPECT_EQ(comm.GetComPortNo(), 10);
  EXPECT_EQ(events.Notifications(), std::vector<int>{nrNotifyDeviceChanged});

  // The list is kept until Update reads it again.
  values.Add("\\Device\\Serial5", "COM5");
  comm.GetDeviceList(&list);
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM10=10");
  events.Clear();
  comm.Update();
  EXPECT_EQ(events.Notifications(), std::vector<int>{nrNotifyDeviceChanged});
  comm.GetDeviceList(&list);
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM5=5 COM10=10");
  EXPECT_EQ(comm.GetDeviceIndex(), 3);
  comm.GetDeviceList(nullptr);  // no target: nothing to copy into

  // A name that is not a port number reaches the caller; the device list is
  // left empty, not half read.
  values.Add("\\Device\\Bad", "COMX");
  EXPECT_THROW(comm.Update(), EConvertError);
  EXPECT_EQ(comm.DeviceList().Count(), 0);
  EXPECT_EQ(comm.GetDeviceIndex(), -1);
}

TEST(SerialPort, SavedConfigurationRoundTripAndItsLayout) {
  ConfigKey key;
  RecordingLog log(nullptr);
  TvaVevi source(nullptr);
  source.SetLog(&log);
  source.SetComPortNo(12);
  source.SetBaudRate(57600);
  source.SetParity(pEven);
  source.SetTimeoutRead(5000);
  source.SetTimeoutWrite(7);
  COMMTIMEOUTS t = source.GetTimeouts();
  t.ReadIntervalTimeout = 11;
  t.ReadTotalTimeoutConstant = 22;
  t.WriteTotalTimeoutConstant = 33;
  source.SetTimeOuts(t);
  source.SaveConfig(HKEY_CURRENT_USER, kKey, "Port");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"1:vaVevi: Configuration was saved"});

  const std::string value = key.Read("Port");
  ASSERT_EQ(value.size(), 49u);
  EXPECT_EQ(value[0], 12);
  EXPECT_EQ(value.substr(1, 28), Bytes(&source.CommConfig().dcb, 28)) << "the block as held";
  EXPECT_EQ(Le32(value, 1), 28u);
  EXPECT_EQ(Le32(value, 5), 57600u);
  EXPECT_EQ(Le32(value, 9) & 0x2, 0x2u) << "parity checking in the flag word";
  EXPECT_EQ(value[20], 2) << "parity";
  EXPECT_EQ(Le32(value, 29), 11u);
  EXPECT_EQ(Le32(value, 33), 5000u);
  EXPECT_EQ(Le32(value, 37), 22u);
  EXPECT_EQ(Le32(value, 41), 7u);
  EXPECT_EQ(Le32(value, 45), 33u);

  // Loading restores the port number and the time-outs, not the line
  // settings.
  TvaVevi target(nullptr);
  target.SetLog(&log);
  target.LoadConfig(HKEY_CURRENT_USER, kKey, "Port");
  EXPECT_EQ(target.GetComPortNo(), 12);
  EXPECT_EQ(Bytes(&target.GetTimeouts(), 20), Bytes(&t, 20));
  EXPECT_EQ(target.GetBaudRate(), 19200u);
  EXPECT_EQ(target.GetParity(), pNone);
  EXPECT_FALSE(target.GetActive());
  EXPECT_EQ(log.Lines().back(), "1:vaVevi: Configuration was loaded");

  // Only the number's low 8 bits are stored.
  source.SetComPortNo(300);
  source.SaveConfig(HKEY_CURRENT_USER, kKey, "Port");
  EXPECT_EQ(static_cast<std::uint8_t>(key.Read("Port")[0]), 300 % 256);
}

TEST(SerialPort, ValuesOfAnotherSizeOrKindAndMissingKeysChangeNothing) {
  ConfigKey key;
  std::string good(49, '\0');
  good[0] = 5;
  good[33] = 0x10;  // TimeoutRead 16
  const std::string cases[] = {good.substr(0, 48), good + '\0'};
  key.Write("Short", cases[0]);
  key.Write("Long", cases[1]);
  key.Write("Text", good, REG_SZ);  // 49 bytes, not binary

  RecordingLog log(nullptr);
  TvaVevi comm(nullptr);
  comm.SetLog(&log);
  comm.SetComPortNo(2);
  const std::string timeouts = Bytes(&comm.GetTimeouts(), 20);
  for (const char *name : {"Short", "Long", "Missing"}) {
    log.Clear();
    comm.LoadConfig(HKEY_CURRENT_USER, kKey, name);
    EXPECT_EQ(comm.GetComPortNo(), 2) << name;
    EXPECT_EQ(Bytes(&comm.GetTimeouts(), 20), timeouts) << name;
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"1:vaVevi: Configuration was loaded"}) << name;
  }
  // A key that is not there is made, and nothing is loaded.
  comm.LoadConfig(HKEY_CURRENT_USER, std::string(kKey) + "\\New", "Port");
  EXPECT_EQ(comm.GetComPortNo(), 2);
  HKEY made;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kKey) + "\\New").c_str(), 0, KEY_READ, &made),
      ERROR_SUCCESS);
  RegCloseKey(made);
  RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kKey) + "\\New").c_str());

  // A value of the right size that cannot be read as binary data, and a key
  // that cannot be opened, are registry failures: fatal errors, nothing
  // changed.
  log.Clear();
  try {
    comm.LoadConfig(HKEY_CURRENT_USER, kKey, "Text");
    ADD_FAILURE() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Error on load config information from registry");
  }
  EXPECT_EQ(comm.GetComPortNo(), 2);
  EXPECT_EQ(log.Lines(),
            std::vector<std::string>{
                "0:Fatal Error: 1, 0, Error on load config information from registry"});
  const auto badRoot = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678));
  EXPECT_THROW(comm.LoadConfig(badRoot, kKey, "Port"), Exception);
  try {
    comm.SaveConfig(badRoot, kKey, "Port");
    ADD_FAILURE() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Error on save config information from registry");
  }
}

// A form that holds a TvaVevi and a log, and publishes the handlers its
// resource assigns.
class TSerialTestForm : public TForm {
 public:
  using TForm::TForm;
  void FatalError(TObject *, std::uint32_t, std::uint32_t, const std::string &message,
                  bool &raise) {
    fatal.push_back(message);
    raise = false;
  }
  void CommError(TObject *, std::uint32_t, std::uint32_t, TComStateFlags, bool &) {}
  std::any MethodAddress(std::string_view name) const override {
    static const TMethodTable<TSerialTestForm> methods =
        TMethodTable<TSerialTestForm>()
            .Add<&TSerialTestForm::FatalError>("FatalError")
            .Add<&TSerialTestForm::CommError>("CommError")
            .Add<&TSerialTestForm::FatalError>("vaVevi1FatalError")  // the device form's
            .Add<&TSerialTestForm::CommError>("vaVevi1CommError");
    return methods.Find(name, const_cast<TSerialTestForm *>(this));
  }
  std::vector<std::string> fatal;
};

TEST(SerialPort, ConfiguredFromAFormResource) {
  ASSERT_TRUE(IsComponentClassRegistered("TvaVevi"));
  TSerialTestForm form(nullptr);
  form.ReadForm(R"(
    TSerialTestForm SerialForm {
      TvaVevi Com {
        ComPort = cpCOM3
        ComPortNo = 12          # the later one counts
        BaudRate = 115200
        ByteSize = 7
        Parity = pEven
        StopBits = sbTwo
        StreamProtocol = spXonXoff
        EventChar = 13
        BufferInSize = 2048
        BufferOutSize = 1024
        TimeoutRead = 5
        TimeoutWrite = 250
        TraceStates = [tsRxChar, tsDSR, tsCTS]
        EventListOnLine = true
        TerminalEcho = false
        TerminalUsage = tuReceive
        Active = false
        Log = Log
        OnFatalError = FatalError
        OnCommError = CommError
      }
      TRecordingLog Log {
      }
    })",
                "TSerialTestForm");
  auto *comm = dynamic_cast<TvaVevi *>(form.FindComponent("Com"));
  ASSERT_NE(comm, nullptr);
  EXPECT_EQ(comm->GetComPortNo(), 12);
  EXPECT_EQ(comm->GetComPort(), cpCOMxx);
  EXPECT_EQ(comm->GetBaudRate(), 115200u);
  EXPECT_EQ(comm->GetByteSize(), 7);
  EXPECT_EQ(comm->GetParity(), pEven);
  EXPECT_EQ(comm->GetStopBits(), sbTwo);
  EXPECT_EQ(comm->GetStreamProtocol(), spXonXoff);
  EXPECT_EQ(comm->GetEventChar(), 13);
  EXPECT_EQ(comm->GetBufferInSize(), 2048);
  EXPECT_EQ(comm->GetBufferOutSize(), 1024);
  EXPECT_EQ(comm->GetTimeoutRead(), 5u);
  EXPECT_EQ(comm->GetTimeoutWrite(), 250u);
  EXPECT_EQ(comm->GetTraceStates(), (TTraceStates{tsRxChar, tsDSR, tsCTS}));
  EXPECT_TRUE(comm->GetEventListOnLine());
  EXPECT_FALSE(comm->GetTerminalEcho());
  EXPECT_EQ(comm->GetTerminalUsage(), tuReceive);
  EXPECT_FALSE(comm->GetActive());
  EXPECT_EQ(comm->GetLog(), form.FindComponent("Log"));
  EXPECT_TRUE(static_cast<bool>(comm->GetOnFatalError()));
  EXPECT_TRUE(static_cast<bool>(comm->GetOnCommError()));
}

TEST(SerialPort, TakesTheDeviceFormsBlock) {
  // The serial component's block of the device form's resource, as written.
  std::ifstream in(TORVEX_SOURCE_DIR "/resources/commdrv.form", std::ios::binary);
  std::stringstream whole;
  whole << in.rdbuf();
  const std::string form = whole.str();
  const std::size_t from = form.find("  TvaVevi vaVevi1 {");
  const std::size_t to = form.find("\n  }\n", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  TSerialTestForm part(nullptr);
  part.ReadForm("TSerialTestForm CommDrv {\n" + form.substr(from, to + 5 - from) + "}\n",
                "TSerialTestForm", "commdrv.form");
  auto &comm = dynamic_cast<TvaVevi &>(*part.FindComponent("vaVevi1"));
  EXPECT_FALSE(comm.GetActive());
  EXPECT_EQ(comm.GetComPortNo(), 1);
  EXPECT_EQ(comm.GetBaudRate(), 19200u);
  EXPECT_EQ(comm.GetStreamProtocol(), spNone);
  EXPECT_EQ(comm.GetTraceStates(), TTraceStates{tsRxChar});
  EXPECT_EQ(comm.GetBufferInSize(), 65535);
  EXPECT_EQ(comm.GetBufferOutSize(), 65535);
  EXPECT_EQ(comm.GetTimeoutRead(), 5000u);
  EXPECT_EQ(comm.GetTimeoutWrite(), 1000u);
  EXPECT_EQ(comm.GetTerminalUsage(), tuBoth);
  EXPECT_FALSE(comm.GetTerminalEcho());
  EXPECT_TRUE(static_cast<bool>(comm.GetOnFatalError()));
  EXPECT_TRUE(static_cast<bool>(comm.GetOnCommError()));
}
