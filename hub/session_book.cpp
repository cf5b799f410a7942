#include "session_book.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform.h"

namespace hub {

bool SessionBook::Open(const std::string &path, std::string &error) {
  path_ = path;
  tills_.clear();
  std::string text;
  if (!ReadStateFile(path, text, error)) return false;
  if (text.empty()) return true;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  if (line != "torvex-hub-state 1") {
    error = "state file " + path + " is not a torvex-hub state file";
    return false;
  }
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string kind;
    l >> kind;
    if (kind == "till") {
      int t;
      unsigned long long reserved;
      int fiscal;
      if (!(l >> t >> reserved >> fiscal) || t < 0 || t >= kTills) continue;
      Till &till = tills_[t];
      // Everything up to the reserved mark may have been used.
      till.counter = till.reserved = reserved;
      till.lastFiscal = InRange(t, fiscal) ? fiscal : 0;
    } else if (kind == "map") {
      int t, caller, device;
      if (!(l >> t >> caller >> device) || t < 0 || t >= kTills) continue;
      auto &remote = tills_[t].remote;
      remote.emplace_back(caller, device);
      if (remote.size() > kKeptPerTill) remote.pop_front();
    } else if (kind == "codigo") {
      std::string hex;
      l >> hex;
      std::string code;
      for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        code.push_back(static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
      activationCode_ = code;
    }
  }
  return true;
}

int SessionBook::Next(int till) {
  Till &t = tills_[till];
  if (t.counter >= t.reserved) {
    t.reserved = t.counter + kReserveBlock;
    std::string error;
    if (!Save(error)) std::fprintf(stderr, "torvex-hub: %s\n", error.c_str());
  }
  int session = RangeStart(till) + static_cast<int>(t.counter % kRangeSize);
  ++t.counter;
  return session;
}

void SessionBook::Keep(int till, int deviceSession, const std::string &exportName,
                       const CallResult &r, bool fiscal) {
  Till &t = tills_[till];
  t.kept.push_back(KeptReply{deviceSession, exportName, r});
  if (t.kept.size() > kKeptPerTill) t.kept.pop_front();
  if (fiscal) t.lastFiscal = deviceSession;
}

const KeptReply *SessionBook::Kept(int till, int deviceSession) const {
  auto it = tills_.find(till);
  if (it == tills_.end()) return nullptr;
  for (auto k = it->second.kept.rbegin(); k != it->second.kept.rend(); ++k)
    if (k->deviceSession == deviceSession) return &*k;
  return nullptr;
}

int SessionBook::LastFiscal(int till) const {
  auto it = tills_.find(till);
  return it == tills_.end() ? 0 : it->second.lastFiscal;
}

void SessionBook::SetLastFiscal(int till, int deviceSession) {
  tills_[till].lastFiscal = deviceSession;
}

void SessionBook::MapRemote(int till, int callerSession, int deviceSession) {
  auto &remote = tills_[till].remote;
  for (auto it = remote.begin(); it != remote.end(); ++it) {
    if (it->first == callerSession) {
      remote.erase(it);
      break;
    }
  }
  remote.emplace_back(callerSession, deviceSession);
  if (remote.size() > kKeptPerTill) remote.pop_front();
}

std::optional<int> SessionBook::DeviceSessionOf(int till, int callerSession) const {
  auto it = tills_.find(till);
  if (it == tills_.end()) return std::nullopt;
  for (auto r = it->second.remote.rbegin(); r != it->second.remote.rend(); ++r)
    if (r->first == callerSession) return r->second;
  return std::nullopt;
}

std::optional<int> SessionBook::CallerSessionOf(int till, int deviceSession) const {
  auto it = tills_.find(till);
  if (it == tills_.end()) return std::nullopt;
  for (auto r = it->second.remote.rbegin(); r != it->second.remote.rend(); ++r)
    if (r->second == deviceSession) return r->first;
  return std::nullopt;
}

void SessionBook::SetActivationCode(const std::string &code) { activationCode_ = code; }

bool SessionBook::Save(std::string &error) {
  if (path_.empty()) return true;
  std::ostringstream out;
  out << "torvex-hub-state 1\n";
  if (activationCode_) {
    out << "codigo ";
    char hex[3];
    for (unsigned char c : *activationCode_) {
      std::snprintf(hex, sizeof hex, "%02x", c);
      out << hex;
    }
    out << "\n";
  }
  for (const auto &[n, t] : tills_) {
    out << "till " << n << ' ' << t.reserved << ' ' << t.lastFiscal << '\n';
    for (const auto &[caller, device] : t.remote)
      out << "map " << n << ' ' << caller << ' ' << device << '\n';
  }
  return WriteStateFile(path_, out.str(), error);
}

}  // namespace hub
