// The log file component: the exact bytes of the file after each case.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "nrlogfile.h"
#include "nrsysutils.h"
#include "rtexcept.h"
#include "testutil.h"

namespace {

std::string ShortDate() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char b[128];
  GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, b, sizeof b);
  return b;
}

// Splits the file at its CR LF line breaks (the first piece is the empty
// text before the first entry).
std::vector<std::string> Entries(const std::string &bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t p = bytes.find("\r\n", start);
    out.push_back(bytes.substr(start, p - start));
    if (p == std::string::npos) break;
    start = p + 2;
  }
  return out;
}

// A log in a scratch directory: no stamp, no debugger output, no safe mode
// unless a test asks for it; the first-entry system line already spent.
struct PlainLog {
  ScratchDir dir;
  std::string file = dir / "plain.log";
  std::unique_ptr<TnrLogFile> log = std::make_unique<TnrLogFile>(nullptr);
  PlainLog() {
    log->SetOptions({});
    log->SetFileName(file);
    log->SetSizeLimit(0);
    log->Add("x");
    log->Clear();  // drops the system line and the x
  }
};

struct Recorder {
  int reached = 0;
  std::vector<std::string> errors;
  bool clearRaise = false;
  TnrLogFile *nested = nullptr;
  bool nestedUnlocked = true;
  std::size_t pendingDuringNested = 0;

  void OnReachLimit(TObject *) {
    ++reached;
    if (nested) {
      nestedUnlocked = nested->WaitUnLock(0);
      nested->Save();  // returns at once: a save is running
      pendingDuringNested = nested->PendingText().size();
    }
  }
  void OnFatal(TObject *, std::uint32_t code, std::uint32_t detail, const std::string &msg,
               bool &raise) {
    errors.push_back(std::to_string(code) + "," + std::to_string(detail) + "," + msg);
    if (clearRaise) raise = false;
  }
};

}  // namespace

TEST(LogFile, FirstEntryCarriesTheSystemLineAndAutoFileName) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string expected = exe;
  expected = expected.substr(0, expected.rfind('.')) + ".log";
  DeleteFileA(expected.c_str());
  {
    TnrLogFile log(nullptr);  // default options: safe mode, auto file name, date, time
    EXPECT_EQ(log.GetSizeLimit(), 20480u);
    EXPECT_EQ(log.GetFileName(), "vavevilib.log");
    EXPECT_EQ(log.GetDetailLevel(), dlSimple);
    EXPECT_EQ(log.GetOptions().ToBits(), 0x5B);
    EXPECT_EQ(log.GetTrueFileName(), expected);
    log.SetFileName("C:\\ignored\\by\\auto.log");
    EXPECT_EQ(log.GetTrueFileName(), expected);
    log.Add("ABC");
    EXPECT_TRUE(log.PendingText().empty());
  }
  std::string bytes = ReadFileBytes(expected);
  DeleteFileA(expected.c_str());
  auto e = Entries(bytes);
  ASSERT_EQ(e.size(), 3u) << bytes;
  EXPECT_EQ(e[0], "");
  std::string stampStart = "[" + ShortDate() + " ";
  EXPECT_EQ(e[1].rfind(stampStart, 0), 0u) << e[1];
  std::string sys = std::string("] vaVevi Lib v6.69 ") + nrGetVersion("", "");
  EXPECT_NE(e[1].find(sys), std::string::npos) << e[1];
  EXPECT_EQ(e[1].substr(e[1].size() - sys.size()), sys);
  EXPECT_EQ(e[2].rfind(stampStart, 0), 0u);
  EXPECT_EQ(e[2].substr(e[2].size() - 5), "] ABC");
}

TEST(LogFile, AddSysInfoFirstWritesTheSystemLineTwice) {
  PlainLog p;
  TnrLogFile fresh(nullptr);
  fresh.SetOptions({});
  fresh.SetFileName(p.file);
  fresh.AddSysInfo();
  std::string line = std::string("\r\nvaVevi Lib v6.69 ") + nrGetVersion("", "");
  EXPECT_EQ(fresh.PendingText(), line + line);
  fresh.Clear();
}

// Each stamp option, matched as a whole entry: the date as the system
// writes it, a time without its leading blank, milliseconds as "+ddd".
TEST(LogFile, StampsForEachOption) {
  PlainLog p;
  std::string date;
  for (char c : ShortDate())
    date += std::string(isalnum(static_cast<unsigned char>(c)) ? "" : "\\") + c;
  const std::string time = "[^ \\]][^\\]]*";
  struct Case {
    TLogOptions options;
    const char *text;
    std::string pattern;
  } cases[] = {
      {{}, "ABC", "\r\nABC"},
      {{loDate, loTime}, "", "\r\n\\[" + date + " " + time + "\\] "},
      {{loMSec}, "m", "\r\n\\[\\+\\d{3}\\] m"},
      {{loTime}, "t", "\r\n\\[" + time + "\\] t"},
      {{loDate, loTime, loMSec}, "all", "\r\n\\[" + date + " " + time + " \\+\\d{3}\\] all"},
  };
  for (const Case &c : cases) {
    p.log->SetOptions(c.options);
    p.log->Add(c.text);
    EXPECT_TRUE(std::regex_match(p.log->PendingText(), std::regex(c.pattern)))
        << "entry " << testing::PrintToString(p.log->PendingText()) << "\nexpected "
        << testing::PrintToString(c.pattern);
    p.log->Clear();
  }
}

// Control characters are escaped; a format that does not fit its arguments
// gives an entry saying so instead of the text.
TEST(LogFile, EntriesEscapeControlCharactersAndReportFormatErrors) {
  PlainLog p;
  std::string msg = "A\r\nB";
  msg += '\0';
  msg += "\x1F\x7F\x80\xFF";
  p.log->Add(msg);
  p.log->AddFmt("Fatal Error: %u, %u, %s", {5, 0, "M"});
  p.log->AddFmt("%0.3d|%s", {7, "x"});
  p.log->AddFmt("%d", {"not a number"});
  p.log->AddFmt("%s %s", {"too few"});
  EXPECT_EQ(p.log->PendingText(),
            "\r\nA\\0Dh\\0AhB\\00h\\1Fh\x7F\x80\xFF\r\nFatal Error: 5, 0, M\r\n007|x"
            "\r\nLog format ERROR!!!\r\nLog format ERROR!!!");
  p.log->Clear();
}

TEST(LogFile, AddLogFiltersByDetailLevel) {
  ScratchDir dir;
  TnrLogFile log(nullptr);
  log.SetOptions({});
  log.SetFileName(dir / "f.log");
  log.SetDetailLevel(dlDetail);
  log.AddLog(dlDebug, "hidden");
  log.AddLogFmt(dlDebug, "%s", {"hidden"});
  EXPECT_EQ(log.PendingText(), "");  // not even the system line
  log.AddLog(dlDetail, "shown");
  log.SetDetailLevel(dlSimple);
  log.AddLog(dlDetail, "hidden");
  log.AddLog(dlSimple, "simple");
  auto e = Entries(log.PendingText());
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].rfind("vaVevi Lib v6.69 ", 0), 0u);
  EXPECT_EQ(e[2], "shown");
  EXPECT_EQ(e[3], "simple");
  log.Clear();
}

TEST(LogFile, SizeLimitTrimsTheOldestBytes) {
  PlainLog p;
  Recorder rec;
  auto &log = *p.log;
  log.SetOnReachLimit(Bind<&Recorder::OnReachLimit>(&rec));

  // Limit 0: the file grows without bound.
  log.Add(std::string(100, 'a'));
  log.Save();
  log.Add(std::string(100, 'b'));
  log.Save();
  EXPECT_EQ(ReadFileBytes(p.file).size(), 204u);
  EXPECT_EQ(rec.reached, 0);

  // 90 bytes in the file, 30 to save, limit 100: the first 20 bytes go.
  std::string old;
  for (int i = 0; i < 90; ++i) old += static_cast<char>('0' + i % 10);
  WriteFileBytes(p.file, old);
  log.SetSizeLimit(100);
  log.Add(std::string(28, 'n'));
  ASSERT_EQ(log.PendingText().size(), 30u);
  log.Save();
  EXPECT_EQ(rec.reached, 1);
  EXPECT_EQ(ReadFileBytes(p.file), old.substr(20) + "\r\n" + std::string(28, 'n'));
  EXPECT_TRUE(log.PendingText().empty());

  // 150 bytes pending and a non-empty file: the file is emptied first.
  log.Add(std::string(148, 'p'));
  log.Save();
  EXPECT_EQ(rec.reached, 2);
  EXPECT_EQ(ReadFileBytes(p.file), "\r\n" + std::string(148, 'p'));

  // With a new file nothing is trimmed and OnReachLimit stays quiet.
  DeleteFileA(p.file.c_str());
  log.Add(std::string(148, 'q'));
  log.Save();
  EXPECT_EQ(rec.reached, 2);
  EXPECT_EQ(ReadFileBytes(p.file).size(), 150u);
}

TEST(LogFile, TrimmingALargeFileInPiecesGivesTheSameBytes) {
  PlainLog p;
  auto &log = *p.log;
  std::string old;
  old.reserve(300000);
  for (int i = 0; i < 300000; ++i) old += static_cast<char>('A' + (i * 7 + i / 251) % 26);
  WriteFileBytes(p.file, old);
  log.SetSizeLimit(200003);
  std::string text(998, 'z');
  log.Add(text);
  log.Save();
  std::string expected = old.substr(300000 + 1000 - 200003) + "\r\n" + text;
  std::string got = ReadFileBytes(p.file);
  ASSERT_EQ(got.size(), 200003u);
  EXPECT_TRUE(got == expected);
}

// Names are trimmed; a bare name lands next to the executable.
TEST(LogFile, FileNameResolution) {
  TnrLogFile log(nullptr);
  log.SetOptions({});
  log.SetFileName("  C:\\LOGS\\a.log \t");
  EXPECT_EQ(log.GetFileName(), "C:\\LOGS\\a.log");
  EXPECT_EQ(log.GetTrueFileName(), "C:\\LOGS\\a.log");
  const std::string bare = "torvex-bare-" + std::to_string(GetCurrentProcessId()) + ".log";
  log.SetFileName(bare);
  EXPECT_EQ(log.GetTrueFileName(), ExeDirectory() + bare);
  log.Add("here");
  log.Save();
  EXPECT_TRUE(FileExists(ExeDirectory() + bare));
  DeleteFileA((ExeDirectory() + bare).c_str());
  log.SetFileName("");
  EXPECT_EQ(log.GetTrueFileName(), "");
  // An empty name: saves write and report nothing; the text stays pending.
  log.Add("kept");
  log.Save();
  EXPECT_NE(log.PendingText().find("kept"), std::string::npos);
  log.SetOptions({loAutoFileName});
  log.SetFileName("a.log");
  EXPECT_EQ(log.GetTrueFileName().substr(log.GetTrueFileName().size() - 4), ".log");
  EXPECT_NE(log.GetTrueFileName(), ExeDirectory() + "a.log");
  log.SetOptions({});
  log.SetFileName("");
}

TEST(LogFile, SaveInProgressReturnsAtOnce) {
  PlainLog p;
  Recorder rec;
  auto &log = *p.log;
  WriteFileBytes(p.file, std::string(50, 'o'));
  log.SetSizeLimit(60);
  rec.nested = &log;
  log.SetOnReachLimit(Bind<&Recorder::OnReachLimit>(&rec));
  log.Add(std::string(18, 'n'));
  log.Save();
  EXPECT_EQ(rec.reached, 1);
  EXPECT_FALSE(rec.nestedUnlocked);         // WaitUnLock(0) during a save
  EXPECT_EQ(rec.pendingDuringNested, 20u);  // the nested Save took nothing
  EXPECT_EQ(ReadFileBytes(p.file).size(), 60u);
  EXPECT_TRUE(log.WaitUnLock(0));
}

TEST(LogFile, FailedSaveRaisesOrReportsAndKeepsThePendingText) {
  ScratchDir dir;
  std::string bad = dir / "missing-dir\\x.log";
  Recorder rec;
  TnrLogFile log(nullptr);
  log.SetOptions({loSafeMode});
  log.SetFileName(bad);

  // Without a handler: an Exception out of Add (the first-entry save).
  try {
    log.Add("one");
    FAIL() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Error when save log file:" + bad);
  }
  std::string pending = log.PendingText();
  EXPECT_NE(pending.find("vaVevi Lib v6.69"), std::string::npos);

  // The raise did not leave the save locked: a handler that clears the flag
  // now gets the report from the next save.
  log.SetOnFatalError(Bind<&Recorder::OnFatal>(&rec));
  rec.clearRaise = true;
  log.Add("two");
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(rec.errors[0], "0,0,Error when save log file:" + bad);
  EXPECT_TRUE(log.WaitUnLock(0));

  // A handler that leaves the flag set: the exception comes after the report.
  rec.clearRaise = false;
  EXPECT_THROW(log.Save(), Exception);
  EXPECT_EQ(rec.errors.size(), 2u);

  // Everything pending reaches a writable file at the next save.
  log.SetFileName(dir / "ok.log");
  log.Save();
  std::string bytes = ReadFileBytes(dir / "ok.log");
  EXPECT_NE(bytes.find("vaVevi Lib v6.69"), std::string::npos);
  // "one" never became an entry: the save of the system line raised first.
  EXPECT_EQ(bytes.find("one"), std::string::npos);
  EXPECT_NE(bytes.find("two"), std::string::npos);
  EXPECT_TRUE(log.PendingText().empty());
}

// Clear deletes the file and drops what is pending (twice is no error);
// destruction saves what is pending, and nothing earlier.
TEST(LogFile, ClearDeletesAndDestructionSaves) {
  ScratchDir dir;
  const std::string file = dir / "late.log";
  {
    TnrLogFile log(nullptr);
    log.SetOptions({});
    log.SetFileName(file);
    log.Add("saved");
    log.Save();
    ASSERT_TRUE(FileExists(file));
    log.Add("pending");
    log.Clear();
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(log.PendingText(), "");
    log.Clear();
    log.Add("late");
    EXPECT_FALSE(FileExists(file));
  }
  EXPECT_EQ(ReadFileBytes(file), "\r\nlate");
}

namespace {
class FailingEdit : public TCustomEdit {
 public:
  using TCustomEdit::TCustomEdit;
  bool fail = false;
  void SetText(const std::string &t) override {
    if (fail) throw Exception("edit gone");
    TCustomEdit::SetText(t);
  }
};
}  // namespace

TEST(LogFile, VisualOutGetsEveryEntryAndIsClearedOnRemoval) {
  PlainLog p;
  auto &log = *p.log;
  log.SetOptions({loSafeMode});
  auto edit = std::make_unique<FailingEdit>(nullptr);
  log.SetVisualOut(edit.get());
  log.Add("seen");
  EXPECT_EQ(edit->GetText(), "\r\nseen");

  // A failing control: DoFatalErrors(0, 0, "") raises with an empty text and
  // the entry's safe-mode save does not happen.
  edit->fail = true;
  try {
    log.Add("stuck");
    FAIL();
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "");
  }
  EXPECT_EQ(log.PendingText(), "\r\nstuck");
  edit.reset();
  EXPECT_EQ(log.GetVisualOut(), nullptr);
  log.Add("after");
  EXPECT_EQ(ReadFileBytes(p.file), "\r\nseen\r\nstuck\r\nafter");
}

namespace {
class LogForm : public TComponent {
 public:
  using TComponent::TComponent;
  void OnFatal(TObject *, std::uint32_t, std::uint32_t, const std::string &, bool &raise) {
    raise = false;
  }
  std::any MethodAddress(std::string_view name) const override {
    if (name == "nrLogFile1FatalError") return Bind<&LogForm::OnFatal>(const_cast<LogForm *>(this));
    return {};
  }
};
}  // namespace

TEST(LogFile, PublishedPropertiesFromText) {
  ScratchDir dir;
  LogForm form(nullptr);
  auto &log = dynamic_cast<TnrLogFile &>(CreateComponentByClassName("TnrLogFile", form));
  auto &edit = CreateComponent<TCustomEdit>(form);
  edit.SetName("Memo1");
  form.BeginLoading();
  SetPublishedProperty(log, "Name", "nrLogFile1");
  SetPublishedProperty(log, "SizeLimit", "2048000");
  // A file of this test's own, away from the program's directory, where the
  // library's load test checks that the device form's "sat.log" never
  // appears.
  const std::string file = dir / "logfile-published.log";
  SetPublishedProperty(log, "FileName", file);
  SetPublishedProperty(log, "DetailLevel", "dlDetail");
  SetPublishedProperty(log, "Options", "[loSafeMode, loAutoFileName, loDate, loTime, loDebugOut]");
  SetPublishedProperty(log, "VisualOut", "Memo1");
  SetPublishedProperty(log, "OnFatalError", "nrLogFile1FatalError");
  form.EndLoading();
  EXPECT_EQ(form.FindComponent("nrLogFile1"), &log);
  EXPECT_EQ(log.GetSizeLimit(), 2048000u);
  EXPECT_EQ(log.GetFileName(), file);
  EXPECT_EQ(log.GetDetailLevel(), dlDetail);
  EXPECT_EQ(log.GetOptions().ToBits(), 0x5B);
  EXPECT_EQ(log.GetVisualOut(), &edit);
  EXPECT_TRUE(log.GetOnFatalError());
  EXPECT_THROW(SetPublishedProperty(log, "Options", "[loNoSuch]"), EConvertError);
  EXPECT_THROW(SetPublishedProperty(log, "SizeLimit", "-1"), EConvertError);
  log.SetOptions({});
}

TEST(CustomLogFile, AbstractOperationsAndTheFatalErrorRule) {
  TnrCustomLogFile log(nullptr);
  EXPECT_THROW(log.Add("x"), EAbstractError);
  EXPECT_THROW(log.Save(), EAbstractError);
  EXPECT_THROW(log.AddFmt("%d", {1}), EAbstractError);
  EXPECT_THROW(log.DoFatalErrors(1, 2, "boom"), Exception);
  Recorder rec;
  rec.clearRaise = true;
  log.SetOnFatalError(Bind<&Recorder::OnFatal>(&rec));
  log.DoFatalErrors(1, 2, "boom");
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(rec.errors[0], "1,2,boom");
}

namespace {
// Tries to read the log file while the log has it open (from OnReachLimit).
struct Reader {
  std::string path;
  bool opened = false;
  void OnReachLimit(TObject *) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    opened = h != INVALID_HANDLE_VALUE;
    if (opened) CloseHandle(h);
  }
};
}  // namespace

TEST(LogFile, SharedLogFileLetsOthersReadWhileItWrites) {
  PlainLog p;
  Reader reader{p.file};
  p.log->SetOnReachLimit(Bind<&Reader::OnReachLimit>(&reader));
  p.log->SetSizeLimit(10);
  for (bool shared : {false, true}) {
    WriteFileBytes(p.file, "0123456789");
    p.log->SetOptions(shared ? TLogOptions{loSharedLogFile} : TLogOptions{});
    p.log->Add("x");
    p.log->Save();
    EXPECT_EQ(reader.opened, shared);
    EXPECT_EQ(ReadFileBytes(p.file), "3456789\r\nx");
  }
}
