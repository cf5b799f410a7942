#include "device_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

namespace satemu {

namespace {

std::string escape_value(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out.push_back(c);
  }
  return out;
}

std::string unescape_value(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      const char c = v[++i];
      out.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c);
    } else {
      out.push_back(v[i]);
    }
  }
  return out;
}

int to_int(const std::string &s, int def) {
  try {
    return std::stoi(s);
  } catch (...) {
    return def;
  }
}

std::int64_t to_int64(const std::string &s) {
  try {
    return std::stoll(s);
  } catch (...) {
    return 0;
  }
}

}  // namespace

bool write_file_atomic(const std::filesystem::path &path, std::string_view content) {
  const std::filesystem::path tmp = path.string() + ".tmp";
  {
    std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
    o.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!o) return false;
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  return !ec;
}

std::optional<std::string> read_file(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

DeviceState parse_state(std::string_view text) {
  DeviceState s;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t nl = text.find('\n', from);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view line = text.substr(from, nl - from);
    from = nl + 1;
    const std::size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string_view::npos) continue;
    const std::string_view k = line.substr(0, eq);
    const std::string v = unescape_value(line.substr(eq + 1));
    if (k == "activated")
      s.activated = v == "1";
    else if (k == "activation_code")
      s.activation_code = v;
    else if (k == "emergency_code")
      s.emergency_code = v;
    else if (k == "cnpj")
      s.cnpj = v;
    else if (k == "cuf")
      s.cuf = to_int(v, 35);
    else if (k == "sat_serial")
      s.sat_serial = v;
    else if (k == "operation_state")
      s.operation_state = to_int(v, 0);
    else if (k == "last_number")
      s.last_number = to_int(v, 0);
    else if (k == "activated_at")
      s.activated_at = v;
    else if (k == "certificate_pending")
      s.certificate_pending = v == "1";
    else if (k == "link_cnpjs")
      s.link_cnpjs = v;
    else if (k == "link_signature")
      s.link_signature = v;
    else if (k == "lan_type")
      s.network.lan_type = v;
    else if (k == "lan_ip")
      s.network.ip = v;
    else if (k == "lan_mask")
      s.network.mask = v;
    else if (k == "lan_gateway")
      s.network.gateway = v;
    else if (k == "lan_dns1")
      s.network.dns1 = v;
    else if (k == "lan_dns2")
      s.network.dns2 = v;
    else if (k == "sale_key")
      s.sale_key = v;
    else if (k == "sale_total")
      s.sale_total = to_int64(v);
    else if (k == "sale_buyer_cpf")
      s.sale_buyer_cpf = v;
    else if (k == "sale_buyer_cnpj")
      s.sale_buyer_cnpj = v;
    else if (k == "sale_date")
      s.sale_date = v;
    else if (k == "sale_time")
      s.sale_time = v;
    else if (k == "sale_cancelled")
      s.sale_cancelled = v == "1";
    else if (k == "first_key")
      s.first_key = v;
    else if (k == "last_key")
      s.last_key = v;
    else if (k == "last_cfe_at")
      s.last_cfe_at = v;
  }
  return s;
}

std::string format_state(const DeviceState &s) {
  std::string out = "# satemu device state\n";
  auto put = [&](const char *k, std::string_view v) {
    out += k;
    out += '=';
    out += escape_value(v);
    out += '\n';
  };
  put("activated", s.activated ? "1" : "0");
  put("activation_code", s.activation_code);
  put("emergency_code", s.emergency_code);
  put("cnpj", s.cnpj);
  put("cuf", std::to_string(s.cuf));
  put("sat_serial", s.sat_serial);
  put("operation_state", std::to_string(s.operation_state));
  put("last_number", std::to_string(s.last_number));
  put("activated_at", s.activated_at);
  put("certificate_pending", s.certificate_pending ? "1" : "0");
  put("link_cnpjs", s.link_cnpjs);
  put("link_signature", s.link_signature);
  put("lan_type", s.network.lan_type);
  put("lan_ip", s.network.ip);
  put("lan_mask", s.network.mask);
  put("lan_gateway", s.network.gateway);
  put("lan_dns1", s.network.dns1);
  put("lan_dns2", s.network.dns2);
  put("sale_key", s.sale_key);
  put("sale_total", std::to_string(s.sale_total));
  put("sale_buyer_cpf", s.sale_buyer_cpf);
  put("sale_buyer_cnpj", s.sale_buyer_cnpj);
  put("sale_date", s.sale_date);
  put("sale_time", s.sale_time);
  put("sale_cancelled", s.sale_cancelled ? "1" : "0");
  put("first_key", s.first_key);
  put("last_key", s.last_key);
  put("last_cfe_at", s.last_cfe_at);
  return out;
}

std::optional<DeviceStore> DeviceStore::open(const std::filesystem::path &dir, std::string &error) {
  std::error_code ec;
  std::filesystem::create_directories(dir / "sessions", ec);
  if (ec) {
    error = "cannot create state directory " + dir.string() + ": " + ec.message();
    return std::nullopt;
  }
  const std::string lock_path = (dir / ".lock").string();
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + lock_path;
    return std::nullopt;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    error = "state directory " + dir.string() + " is in use by another satemu";
    return std::nullopt;
  }
  DeviceStore store(dir, fd);
  store.load();
  return store;
}

DeviceStore::DeviceStore(std::filesystem::path dir, int lock_fd)
    : dir_(std::move(dir)), lock_fd_(lock_fd) {}

DeviceStore::DeviceStore(DeviceStore &&o) noexcept
    : dir_(std::move(o.dir_)),
      lock_fd_(std::exchange(o.lock_fd_, -1)),
      fresh_(o.fresh_),
      state_(std::move(o.state_)),
      sessions_(std::move(o.sessions_)),
      events_(std::move(o.events_)) {}

DeviceStore::~DeviceStore() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

void DeviceStore::load() {
  if (auto text = read_file(dir_ / "device.state")) {
    state_ = parse_state(*text);
    fresh_ = false;
  }
  if (auto index = read_file(dir_ / "sessions" / "index")) {
    std::istringstream in(*index);
    long n = 0;
    while (in >> n) sessions_.push_back(n);
  }
  if (auto log = read_file(dir_ / "events.log")) {
    std::istringstream in(*log);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) events_.push_back(line);
    }
    while (events_.size() > kEventsKept) events_.pop_front();
  }
}

void DeviceStore::save_state() { write_file_atomic(dir_ / "device.state", format_state(state_)); }

void DeviceStore::write_index() const {
  std::string out;
  for (long n : sessions_) out += std::to_string(n) + "\n";
  write_file_atomic(dir_ / "sessions" / "index", out);
}

void DeviceStore::put_session(long session, std::string_view reply) {
  const auto it = std::find(sessions_.begin(), sessions_.end(), session);
  if (it != sessions_.end()) sessions_.erase(it);
  sessions_.push_back(session);
  write_file_atomic(dir_ / "sessions" / std::to_string(session), reply);
  while (sessions_.size() > kSessionsKept) {
    std::error_code ec;
    std::filesystem::remove(dir_ / "sessions" / std::to_string(sessions_.front()), ec);
    sessions_.pop_front();
  }
  write_index();
}

std::optional<std::string> DeviceStore::find_session(long session) const {
  if (std::find(sessions_.begin(), sessions_.end(), session) == sessions_.end())
    return std::nullopt;
  return read_file(dir_ / "sessions" / std::to_string(session));
}

void DeviceStore::set_last_fiscal(std::string_view reply) {
  write_file_atomic(dir_ / "last-fiscal", reply);
}

std::optional<std::string> DeviceStore::last_fiscal() const {
  return read_file(dir_ / "last-fiscal");
}

void DeviceStore::log_event(std::string_view stamp, std::string_view origin, std::string_view level,
                            std::string_view text) {
  std::string line;
  line.append(stamp).append("|").append(origin).append("|").append(level).append("|");
  for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  events_.push_back(line);
  if (events_.size() > kEventsKept) {
    events_.pop_front();
    write_file_atomic(dir_ / "events.log", events());
    return;
  }
  std::ofstream o(dir_ / "events.log", std::ios::binary | std::ios::app);
  o << line << '\n';
}

std::string DeviceStore::events() const {
  std::string out;
  for (const auto &l : events_) out += l + "\n";
  return out;
}

}  // namespace satemu
