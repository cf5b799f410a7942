// Session numbers per till, the replies the hub keeps, and the state file
// that carries them across restarts. Used on the hub's network thread only.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "functions.h"

namespace hub {

// Till t owns the 900 six-digit numbers from 100000 + 900 t.
inline constexpr int kTills = 1000;
inline constexpr int kRangeSize = 900;
inline constexpr int RangeStart(int till) { return 100000 + kRangeSize * till; }
inline constexpr bool InRange(int till, int session) {
  return session >= RangeStart(till) && session < RangeStart(till) + kRangeSize;
}
inline constexpr int TillOfSession(int session) {
  return session >= 100000 && session <= 999999 ? (session - 100000) / kRangeSize : -1;
}

// How many numbers are written ahead as used before they are handed out:
// a restart skips at most this many, and never reuses one.
inline constexpr std::uint64_t kReserveBlock = 64;
// Replies and remote session pairs kept per till.
inline constexpr std::size_t kKeptPerTill = 100;

struct KeptReply {
  int deviceSession = 0;
  std::string exportName;
  CallResult result;
};

class SessionBook {
 public:
  // Reads the state file (a missing file is a fresh hub). False, with a
  // message, when the file exists but cannot be read.
  bool Open(const std::string &path, std::string &error);

  // The next session of a till: never one of its last 100 (the counter
  // walks the range), never one handed out before a restart.
  int Next(int till);

  // A completed device call of the till, kept for consultarnumerosessao
  // and consultarultimasessaofiscal.
  void Keep(int till, int deviceSession, const std::string &exportName, const CallResult &r,
            bool fiscal);
  const KeptReply *Kept(int till, int deviceSession) const;
  // The device session of the till's last sale or cancellation sent to the
  // device (whatever became of it), or 0.
  int LastFiscal(int till) const;
  void SetLastFiscal(int till, int deviceSession);

  // Remote mode: the till's own session numbers and the device's.
  void MapRemote(int till, int callerSession, int deviceSession);
  std::optional<int> DeviceSessionOf(int till, int callerSession) const;
  std::optional<int> CallerSessionOf(int till, int deviceSession) const;

  // An activation code changed through the hub (TrocarCodigoDeAtivacao).
  std::optional<std::string> ActivationCode() const { return activationCode_; }
  void SetActivationCode(const std::string &code);

  // Writes the state (temporary file, flushed to disk, renamed over the old).
  bool Save(std::string &error);

 private:
  struct Till {
    std::uint64_t counter = 0;   // numbers handed out so far (walks the range)
    std::uint64_t reserved = 0;  // counter value up to which the file says "used"
    int lastFiscal = 0;
    std::deque<std::pair<int, int>> remote;  // (caller, device), oldest first
    std::deque<KeptReply> kept;
  };
  std::string path_;
  std::map<int, Till> tills_;
  std::optional<std::string> activationCode_;
};

}  // namespace hub
