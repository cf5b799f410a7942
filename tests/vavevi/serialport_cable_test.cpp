// The serial port component on the cable: COM7 (the component) joined to
// COM8 (driven by the test) by a null-modem cable, COM9 behind a loopback
// plug. A plug-and-play device is simulated on COM8: it answers the wake-up
// only after the line changes it expects.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm_support.h"
#include "rtapplication.h"
#include "rtexcept.h"
#include "rtforms.h"
#include "serialport_support.h"
#include "testutil.h"
#include "vavevi.h"

namespace {

// A serial plug-and-play device on the far end of the cable. Powered, it
// drives its DTR (the component's DSR). It watches the component's DTR (its
// DSR) and RTS (its CTS): after both have been off, then DTR on with RTS
// still off, then RTS on, it sends its identity - on the wake-up whose number
// is answerOn (1 the first), and never when answerOn is 0. The lines are
// looked at every millisecond.
class PnpDevice {
 public:
  PnpDevice(Peer &peer, std::string identity, int answerOn = 1, bool powered = true)
      : peer_(peer), identity_(std::move(identity)), answerOn_(answerOn) {
    peer_.Lines(powered ? SETDTR : CLRDTR);
    peer_.Lines(CLRRTS);
    thread_ = std::thread([this] { Run(); });
  }
  ~PnpDevice() {
    stop_ = true;
    thread_.join();
    peer_.Lines(CLRDTR);
  }
  int WakeUps() const { return wakeUps_; }
  int Answers() const { return answers_; }

 private:
  enum State { kIdle, kDropped, kDtrOn };

  void Run() {
    State state = kIdle;
    while (!stop_) {
      DWORD status = peer_.ModemStatus();
      bool dtr = status & MS_DSR_ON, rts = status & MS_CTS_ON;
      switch (state) {
        case kIdle:
          if (!dtr && !rts) state = kDropped;
          break;
        case kDropped:
          if (dtr && rts)  // seen together: the retry raises them back to back
            WokenUp(state);
          else if (dtr)
            state = kDtrOn;
          else if (rts)
            state = kIdle;  // RTS before DTR is not the wake-up
          break;
        case kDtrOn:
          if (!dtr)
            state = kDropped;
          else if (rts)
            WokenUp(state);
          break;
      }
      Sleep(1);
    }
  }

  void WokenUp(State &state) {
    state = kIdle;
    if (++wakeUps_ == answerOn_) {
      peer_.Write(identity_);
      ++answers_;
    }
  }

  Peer &peer_;
  std::string identity_;
  int answerOn_;
  std::atomic<bool> stop_{false};
  std::atomic<int> wakeUps_{0};
  std::atomic<int> answers_{0};
  std::thread thread_;
};

const char kIdentity[] = "(\x01$TVX0001\\00000042\\MODEM\\PNPC107\\Torvex test modem)";

// A component on COM7 with a log and a recorder bound, at 115200 baud.
struct Rig {
  RecordingLog log{nullptr};
  Recorder events;
  std::unique_ptr<TvaVevi> comm = std::make_unique<TvaVevi>(nullptr);
  Peer peer;
  Rig() {
    comm->SetComPortNo(kNearPort);
    comm->SetBaudRate(115200);
    comm->SetLog(&log);
    comm->SetOnFatalError(Bind<&Recorder::Fatal>(&events));
    comm->NotifyAdd(Bind<&Recorder::Notify>(&events));
  }
  ~Rig() { comm.reset(); }
};

// What the wake-up must leave as it found it: the line settings (read back
// from the port while open), the trace states and the open state.
std::string Snapshot(TvaVevi &comm) {
  comm.GetBaudRate();  // refreshes the block while open
  std::uint8_t block[sizeof(DCB)];
  std::memcpy(block, &comm.CommConfig().dcb, sizeof block);
  block[9] &= ~0x40;  // abort-on-error: every open sets it, and the port does not report it
  std::string text = "block";
  char hex[4];
  for (std::size_t i = 0; i < sizeof block; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", block[i]);
    text += hex;
  }
  return text + " traces " + std::to_string(comm.GetTraceStates().ToBits()) +
         (comm.GetActive() ? " open" : " closed");
}

}  // namespace

TEST(SerialPortCable, PlugAndPlayIdentityAfterTheExpectedLineChanges) {
  Rig rig;
  ASSERT_TRUE(rig.peer.Ok());
  rig.comm->SetTraceState({tsRxChar, tsDSR});

  struct Case {
    const char *what;
    bool open;
    int answerOn;  // 0: never
    std::string sent;
    std::string expected;
    int wakeUps;
  };
  const std::string longAnswer = "(" + std::string(300, 'A');
  const Case cases[] = {
      {"closed component, first wake-up", false, 1, kIdentity, kIdentity, 1},
      {"open component, answer to the second wake-up", true, 2, kIdentity, kIdentity, 2},
      {"the other markers", false, 1,
       "\x08"
       "ABC\x09",
       "\x08"
       "ABC\x09",
       1},
      {"a device that never answers", true, 0, "", "", 2},
      {"an answer that is not an identity", false, 1, "ABC)", "", 1},
      {"no end marker: cut at 256 bytes", false, 1, longAnswer, longAnswer.substr(0, 256), 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.open) rig.comm->Open();
    const std::string before = Snapshot(*rig.comm);
    std::string identity;
    {
      PnpDevice device(rig.peer, c.sent, c.answerOn);
      identity = rig.comm->GetPNPDeviceString();
      // A late answer is still found by the second wake-up's wait.
      EXPECT_GE(device.WakeUps(), c.wakeUps);
      EXPECT_LE(device.WakeUps(), 2);
    }
    EXPECT_EQ(identity, c.expected);
    EXPECT_EQ(Snapshot(*rig.comm), before) << "line settings, trace states and open state";
    rig.comm->Close();
  }
  EXPECT_TRUE(rig.events.Fatals().empty());
}

TEST(SerialPortCable, NoDeviceOnTheLineIsAConnectError) {
  Rig rig;
  PnpDevice unpowered(rig.peer, kIdentity, 1, false);
  EXPECT_EQ(rig.comm->GetPNPDeviceString(), "");
  EXPECT_EQ(rig.events.Fatals(),
            std::vector<std::string>{"1,0,Device Connect Initialization Error"});
  EXPECT_TRUE(rig.comm->GetActive()) << "the port stays open";
  EXPECT_EQ(unpowered.WakeUps(), 0);

  // The connection test the same way, then with the device's answer.
  rig.events.Clear();
  rig.comm->InitDeviceConnect();
  EXPECT_EQ(rig.events.Fatals(),
            std::vector<std::string>{"1,0,Device Connect Initialization Error"});
  EXPECT_EQ(rig.peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), static_cast<DWORD>(MS_DSR_ON))
      << "DTR on, RTS off";
  rig.events.cancelFatal = false;
  EXPECT_THROW(rig.comm->InitDeviceConnect(), Exception) << "the error asks to be raised";
}

TEST(SerialPortCable, ConnectionTestAgainstADeviceThatAnswersDsr) {
  Rig rig;
  rig.comm->Open();
  // The device raises its DTR once it sees the component's.
  std::atomic<bool> stop{false};
  std::thread device([&] {
    while (!stop && !(rig.peer.ModemStatus() & MS_DSR_ON)) Sleep(1);
    rig.peer.Lines(SETDTR);
  });
  rig.comm->InitDeviceConnect();
  stop = true;
  device.join();
  EXPECT_TRUE(rig.events.Fatals().empty());
  EXPECT_TRUE(rig.log.Has("1:vaVevi: The device connection was succesful tested"));
  EXPECT_EQ(rig.peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON),
            static_cast<DWORD>(MS_DSR_ON | MS_CTS_ON))
      << "DTR and RTS on";

  rig.comm->Close();
  rig.events.Clear();
  rig.comm->InitDeviceConnect();  // closed: nothing
  EXPECT_TRUE(rig.events.Fatals().empty());
}

TEST(SerialPortCable, EveryOpenWritesTheWholeBlock) {
  Rig rig;
  // Made while closed: only the component's block holds them.
  // (A pseudo-terminal keeps 8 data bits without parity whatever it is
  // given, so those two are not seen on the port.)
  rig.comm->SetBaudRate(4800);
  rig.comm->SetStopBits(sbTwo);
  rig.comm->SetStreamProtocol(spXonXoff);
  rig.comm->Open();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(rig.comm->GetHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(dcb.fOutX && dcb.fInX) << "XON/XOFF both ways";
  EXPECT_TRUE(rig.comm->CommConfig().dcb.fAbortOnError) << "abort on error set at open";
  EXPECT_TRUE(rig.log.Has("0:vaVevi: The port COM7 succesful opened"));
}

TEST(SerialPortCable, PortNumberChangesReopenAndAMissingPortIsTheOpenError) {
  Rig rig;
  rig.comm->Open();
  rig.events.Clear();
  rig.comm->SetComPortNo(kLoopPort);
  EXPECT_TRUE(rig.comm->GetActive());
  EXPECT_EQ(rig.events.Notifications(),
            (std::vector<int>{nrNotifyMediumClosed, nrNotifyMediumOpened, nrNotifyDeviceChanged}));
  // The loopback plug sends back what the port on the new number writes.
  std::string echo;
  rig.comm->SendString("loop");
  EXPECT_TRUE(PumpUntil([&] { return rig.comm->GetReadyForRead() >= 4; }));
  echo = rig.comm->ReadString();
  EXPECT_EQ(echo, "loop");

  rig.events.Clear();
  rig.comm->SetComPortNo(42);  // no such port
  EXPECT_FALSE(rig.comm->GetActive());
  EXPECT_EQ(rig.comm->GetComPortNo(), 42);
  ASSERT_EQ(rig.events.Fatals().size(), 1u);
  EXPECT_EQ(rig.events.Fatals()[0].rfind("1,0,Device \"COM42\" Open Error !!!\r", 0), 0u)
      << rig.events.Fatals()[0];
  EXPECT_EQ(rig.comm->GetLastErrorText().rfind("Device \"COM42\" Open Error !!!\r", 0), 0u);

  // Without a handler that cancels, the open's error is raised.
  rig.events.cancelFatal = false;
  EXPECT_THROW(rig.comm->SetActive(true), Exception);
  EXPECT_FALSE(rig.comm->GetActive());
}

TEST(SerialPortCable, AnAdoptedHandleServesOneOpen) {
  Rig rig;
  rig.comm->SetComPortNo(42);  // the number's own port does not exist
  rig.comm->SetExtHandle(nullptr);
  rig.comm->SetExtHandle(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(rig.comm->GetActive());
  EXPECT_TRUE(rig.events.Fatals().empty()) << "0 and INVALID_HANDLE_VALUE do nothing";

  HANDLE own = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  rig.comm->SetExtHandle(own);
  ASSERT_TRUE(rig.comm->GetActive());
  EXPECT_EQ(rig.comm->GetHandle(), own);
  rig.comm->SendString("adopted");
  EXPECT_EQ(rig.peer.Read(7), "adopted");

  // A second handle replaces the first, which the component closes.
  HANDLE second = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  rig.comm->SetExtHandle(second);
  EXPECT_EQ(rig.comm->GetHandle(), second);
  rig.comm->Close();
  DWORD flags;
  EXPECT_FALSE(GetHandleInformation(second, &flags));

  // The next open is the port number's again.
  rig.comm->SetActive(true);
  EXPECT_FALSE(rig.comm->GetActive());
  ASSERT_EQ(rig.events.Fatals().size(), 1u);
  EXPECT_EQ(rig.events.Fatals()[0].rfind("1,0,Device \"COM42\" Open Error", 0), 0u);
}

namespace {
class TCableForm : public TForm {
 public:
  using TForm::TForm;
  Recorder events;
  void FatalError(TObject *s, std::uint32_t c, std::uint32_t d, const std::string &m, bool &r) {
    events.Fatal(s, c, d, m, r);
  }
  std::any MethodAddress(std::string_view name) const override {
    static const TMethodTable<TCableForm> methods =
        TMethodTable<TCableForm>().Add<&TCableForm::FatalError>("FatalError");
    return methods.Find(name, const_cast<TCableForm *>(this));
  }
};
}  // namespace

TEST(SerialPortCable, AFormOpensThePortOnceLoaded) {
  Peer peer;
  // Active comes first: the port opens after loading, with every setting.
  TCableForm form(nullptr);
  form.ReadForm(R"(TCableForm F {
      TvaVevi Com {
        Active = true
        ComPortNo = 7
        BaudRate = 9600
        StreamProtocol = spNone
        OnFatalError = FatalError
      }
    })",
                "TCableForm");
  auto &comm = dynamic_cast<TvaVevi &>(*form.FindComponent("Com"));
  ASSERT_TRUE(comm.GetActive());
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(comm.GetHandle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  comm.SendString("form");
  EXPECT_EQ(peer.Read(4), "form");

  // A port that does not open: the handler hears the error, the component
  // stays closed, loading goes on.
  TCableForm missing(nullptr);
  missing.ReadForm(
      "TCableForm M { TvaVevi Com { ComPortNo = 42  Active = true  OnFatalError = FatalError } }",
      "TCableForm");
  auto &closed = dynamic_cast<TvaVevi &>(*missing.FindComponent("Com"));
  EXPECT_FALSE(closed.GetActive());
  ASSERT_EQ(missing.events.Fatals().size(), 1u);
  EXPECT_EQ(missing.events.Fatals()[0].rfind("1,0,Device \"COM42\" Open Error", 0), 0u);

  // Without a handler the error goes to the standard error display (here
  // the application object's), and the components after it still load.
  struct Display : TApplication {
    std::vector<std::string> shown;
    void ShowException(const std::exception &error) override { shown.push_back(error.what()); }
  } display;
  TCableForm shown(nullptr);
  shown.ReadForm(R"(TCableForm S {
      TvaVevi Bad { ComPortNo = 42  Active = true }
      TvaVevi Good { ComPortNo = 7  Active = true }
    })",
                 "TCableForm");
  ASSERT_EQ(display.shown.size(), 1u);
  EXPECT_EQ(display.shown[0].rfind("Device \"COM42\" Open Error !!!\r", 0), 0u) << display.shown[0];
  EXPECT_FALSE(dynamic_cast<TvaVevi &>(*shown.FindComponent("Bad")).GetActive());
  EXPECT_TRUE(dynamic_cast<TvaVevi &>(*shown.FindComponent("Good")).GetActive());
}

std::string IdentifyDevice(const std::string &portName);  // docs/examples

TEST(SerialPortCable, TheGuideExample) {
  // The guide shows the example as it is built here (a code block indented
  // by four blanks).
  std::ifstream file(TORVEX_SOURCE_DIR "/docs/examples/serial_port_identity.cpp");
  std::ifstream guide(TORVEX_SOURCE_DIR "/docs/serial.md");
  std::stringstream code, text;
  code << file.rdbuf();
  text << guide.rdbuf();
  ASSERT_FALSE(code.str().empty());
  std::string indented, line;
  while (std::getline(code, line)) indented += (line.empty() ? "" : "    ") + line + "\n";
  EXPECT_NE(text.str().find("\n\n" + indented + "\n"), std::string::npos)
      << "docs/serial.md does not show docs/examples/serial_port_identity.cpp as it is";

  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Example\\Till");
  SerialCommValues ports;
  ports.Add("\\Device\\Serial0", "COM7");
  ports.Add("\\Device\\Serial1", "COM8");
  Peer peer;
  {
    PnpDevice device(peer, kIdentity);
    EXPECT_EQ(IdentifyDevice("COM7"), kIdentity);
  }
  // The next run finds the port in the registry.
  {
    PnpDevice device(peer, kIdentity);
    EXPECT_EQ(IdentifyDevice("COM99"), kIdentity);
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Example\\Till");
}
