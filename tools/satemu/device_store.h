// The device's persistent state, kept in a state directory so that a POS
// program finds the same device after a restart:
//
//   device.state     key=value lines: activation, codes, blocking, counters,
//                    the last sale, the network settings, the POS link
//   sessions/        the reply of each of the last 100 sessions, one file each,
//                    listed oldest first in sessions/index
//   last-fiscal      the reply of the last sale or cancellation
//   events.log       the device's own log (yyyymmddHHMMSS|origin|level|text)
//   .lock            held while an emulator uses the directory
//
// Every file is replaced atomically (written aside, then renamed).
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

struct NetworkSettings {
  std::string lan_type = "DHCP";
  std::string ip = "010.000.000.108";
  std::string mask = "255.255.255.000";
  std::string gateway = "010.000.000.001";
  std::string dns1 = "008.008.008.008";
  std::string dns2 = "008.008.004.004";
};

struct DeviceState {
  bool activated = false;
  std::string activation_code;
  std::string emergency_code;
  std::string cnpj;  // the taxpayer's, set by activation
  int cuf = 35;
  std::string sat_serial = "900004019";
  int operation_state = 0;  // 0 unblocked, 1 blocked by the tax authority, 2 by the taxpayer
  int last_number = 0;      // last CF-e number issued (1..999999, then 1 again)
  bool certificate_pending = false;  // activated with ICP-Brasil, waiting for the certificate
  std::string activated_at;          // yyyymmddHHMMSS
  std::string link_cnpjs;            // software house CNPJ + taxpayer CNPJ (28 digits)
  std::string link_signature;        // signAC
  NetworkSettings network;
  // The last sale, the only one that can be cancelled.
  std::string sale_key;  // 44 digits
  std::int64_t sale_total = 0;
  std::string sale_buyer_cpf, sale_buyer_cnpj, sale_date, sale_time;
  bool sale_cancelled = false;
  // Any CF-e issued (sales and cancellations).
  std::string first_key, last_key, last_cfe_at;
};

// Parses and prints device.state.
DeviceState parse_state(std::string_view text);
std::string format_state(const DeviceState &state);

class DeviceStore {
 public:
  // Opens (creating it if needed) and locks a state directory. Fails when
  // another emulator holds it.
  static std::optional<DeviceStore> open(const std::filesystem::path &dir, std::string &error);
  DeviceStore(DeviceStore &&other) noexcept;
  DeviceStore &operator=(DeviceStore &&) = delete;
  ~DeviceStore();

  const std::filesystem::path &dir() const { return dir_; }
  bool fresh() const { return fresh_; }  // the directory held no state yet

  DeviceState &state() { return state_; }
  void save_state();

  void put_session(long session, std::string_view reply);
  std::optional<std::string> find_session(long session) const;

  void set_last_fiscal(std::string_view reply);
  std::optional<std::string> last_fiscal() const;

  void log_event(std::string_view stamp, std::string_view origin, std::string_view level,
                 std::string_view text);
  std::string events() const;

  static constexpr std::size_t kSessionsKept = 100;
  static constexpr std::size_t kEventsKept = 1000;

 private:
  DeviceStore(std::filesystem::path dir, int lock_fd);
  void load();
  void write_index() const;

  std::filesystem::path dir_;
  int lock_fd_ = -1;
  bool fresh_ = true;
  DeviceState state_;
  std::deque<long> sessions_;  // oldest first
  std::deque<std::string> events_;
};

// Writes a file atomically; returns false on failure.
bool write_file_atomic(const std::filesystem::path &path, std::string_view content);
std::optional<std::string> read_file(const std::filesystem::path &path);

}  // namespace satemu
