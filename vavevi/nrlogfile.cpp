#include "nrlogfile.h"

#include <algorithm>
#include <vector>

#include "nrreport.h"
#include "nrsysutils.h"
#include "rtexcept.h"
#include "rtsysutils.h"

namespace {

// The path of the host program's executable (not of this library).
std::string HostExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string LocalDate(const SYSTEMTIME &t) {
  char buffer[128];
  int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}

std::string LocalTime(const SYSTEMTIME &t) {
  char buffer[128];
  int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &t, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}

// Control characters (0 to 31) become "\" + two upper-case hex digits + "h".
void AppendEscaped(std::string &out, const std::string &text) {
  static const char hex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 32) {
      out += '\\';
      out += hex[u >> 4];
      out += hex[u & 15];
      out += 'h';
    } else {
      out += c;
    }
  }
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (Valid()) CloseHandle(h_);
  }
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

bool SeekTo(HANDLE file, std::uint32_t position) {
  LARGE_INTEGER to;
  to.QuadPart = position;
  return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != FALSE;
}

bool WriteAll(HANDLE file, const char *data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20)), written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool ReadAll(HANDLE file, char *data, std::size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(file, data, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
    data += got;
    size -= got;
  }
  return true;
}

// Trimming moves the kept bytes to the start of the file in pieces of this
// size, so memory stays bounded whatever the file's size.
constexpr std::uint32_t kTrimPiece = 64 * 1024;

TComponentClassRegistrar<TnrLogFile> g_registrar("TnrLogFile");

}  // namespace

TnrLogFile::TnrLogFile(TComponent *owner) : TnrCustomLogFile(owner) {}

TnrLogFile::~TnrLogFile() {
  WaitUnLock(1000);
  if (!options_.Contains(loSafeMode)) {
    try {
      Save();
    } catch (...) {
      // Nothing leaves a destructor. A failed save was offered to
      // OnFatalError already (a log does not write its own failure into
      // itself); the debugger output keeps it as well.
      nrDebugReport("Log file", nrCaughtText("unknown error"));
    }
  }
}

void TnrLogFile::SetFileName(std::string name) { fileName_ = Trim(name); }

void TnrLogFile::SetVisualOut(TCustomEdit *edit) {
  if (visualOut_ && visualOut_ != edit) RemoveFreeNotification(visualOut_);
  visualOut_ = edit;
  if (edit) FreeNotification(edit);
}

void TnrLogFile::Notification(TComponent *component, TOperation operation) {
  TnrCustomLogFile::Notification(component, operation);
  if (operation == TOperation::opRemove && component == visualOut_) visualOut_ = nullptr;
}

std::string TnrLogFile::MakeStamp() const {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::string stamp;
  if (options_.Contains(loDate)) stamp = LocalDate(now);
  if (options_.Contains(loTime)) stamp += " " + LocalTime(now);
  if (options_.Contains(loMSec)) stamp = Format("%s +%0.3d", {stamp, now.wMilliseconds});
  if (!stamp.empty()) stamp = "[" + Trim(stamp) + "] ";
  return stamp;
}

void TnrLogFile::Add(const std::string &text) {
  if (firstEntry_) {
    firstEntry_ = false;
    AddSysInfo();
  }
  std::string entry = MakeStamp();
  AppendEscaped(entry, text);
  if (options_.Contains(loDebugOut)) OutputDebugStringA(entry.c_str());
  entry.insert(0, "\r\n");
  pending_ += entry;
  if (visualOut_) {
    try {
      visualOut_->SetText(visualOut_->GetText() + entry);
    } catch (const std::exception &) {
      DoFatalErrors(0, 0, "");
    }
  }
  if (options_.Contains(loSafeMode)) Save();
}

void TnrLogFile::AddSysInfo() { Add(std::string(kLogSysInfoPrefix) + nrGetVersion("", "")); }

void TnrLogFile::AddLog(TDetailLevel level, const std::string &text) {
  if (level > detailLevel_) return;
  Add(text);
}

void TnrLogFile::AddFmt(const std::string &format, const FmtArgs &args) {
  std::string text;
  try {
    text = Format(format, args);
  } catch (const EConvertError &) {
    text = "Log format ERROR!!!";
  }
  Add(text);
}

void TnrLogFile::AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) {
  if (level > detailLevel_) return;
  AddFmt(format, args);
}

std::string TnrLogFile::GetTrueFileName() const {
  std::string exe = HostExecutablePath();
  if (options_.Contains(loAutoFileName)) return ChangeFileExt(exe, ".log");
  if (fileName_.empty()) return {};
  if (ExtractFilePath(fileName_).size() >= 2) return fileName_;
  return ExtractFilePath(exe) + fileName_;
}

void TnrLogFile::Save() {
  if (saving_) return;
  saving_ = true;
  // The flag is cleared however Save ends, also when the fatal-error report
  // raises out of it; otherwise one failed save would silence every later one.
  struct Unlock {
    std::atomic<bool> &flag;
    ~Unlock() { flag = false; }
  } unlock{saving_};

  std::string name = GetTrueFileName();
  if (name.empty()) return;
  if (AddStringToFile(pending_))
    pending_.clear();
  else
    DoFatalErrors(0, 0, "Error when save log file:" + name);
}

bool TnrLogFile::AddStringToFile(const std::string &text) {
  std::string name = Trim(GetTrueFileName());
  if (name.empty()) return false;

  DWORD attributes = GetFileAttributesA(name.c_str());
  bool exists = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  DWORD share = exists && options_.Contains(loSharedLogFile) ? FILE_SHARE_READ : 0;
  FileHandle file(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              exists ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;

  if (sizeLimit_ != 0) {
    DWORD high = 0;
    DWORD low = GetFileSize(file.Get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    const std::uint32_t size = high ? 0xFFFFFFFFu : low;
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(text.size(), sizeLimit_));
    if (static_cast<std::uint64_t>(size) + n > sizeLimit_) {
      if (onReachLimit_) onReachLimit_(this);
      const std::uint32_t cut =
          static_cast<std::uint32_t>(static_cast<std::uint64_t>(size) + n - sizeLimit_);
      if (!SeekTo(file.Get(), 0)) return false;
      if (cut < size) {
        // Move bytes [cut, size) to [0, size - cut), front to back. Each
        // piece is read before anything at or after its position is written.
        const std::uint32_t keep = size - cut;
        std::vector<char> piece(std::min(keep, kTrimPiece));
        for (std::uint32_t done = 0; done < keep;) {
          std::uint32_t len =
              std::min<std::uint32_t>(keep - done, static_cast<std::uint32_t>(piece.size()));
          if (!SeekTo(file.Get(), cut + done) || !ReadAll(file.Get(), piece.data(), len))
            return false;
          if (!SeekTo(file.Get(), done) || !WriteAll(file.Get(), piece.data(), len)) return false;
          done += len;
        }
      }
      if (!SetEndOfFile(file.Get())) return false;
    }
  }
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) return false;
  return WriteAll(file.Get(), text.data(), text.size());
}

bool TnrLogFile::WaitUnLock(std::uint32_t ms) {
  if (saving_) Sleep(ms);
  return !saving_;
}

void TnrLogFile::Clear() {
  pending_.clear();
  std::string name = GetTrueFileName();
  if (!name.empty()) DeleteFileA(name.c_str());
}

const TPropertyTable &TnrLogFile::Published() const {
  static const TPropertyTable table = TPropertyTable(TnrCustomLogFile::Published())
                                          .Add<&TnrLogFile::SetSizeLimit>("SizeLimit")
                                          .Add<&TnrLogFile::SetFileName>("FileName")
                                          .Add<&TnrLogFile::SetVisualOut>("VisualOut")
                                          .Add<&TnrLogFile::SetDetailLevel>("DetailLevel")
                                          .Add<&TnrLogFile::SetOptions>("Options")
                                          .Add<&TnrLogFile::SetOnFatalError>("OnFatalError")
                                          .Add<&TnrLogFile::SetOnReachLimit>("OnReachLimit");
  return table;
}
