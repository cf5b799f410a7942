// Who may call: the networks clients may come from and each till's token.
#pragma once
#include <boost/asio/ip/address.hpp>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace hub {

class Access {
 public:
  // "192.168.0.0/24", "10.1.2.3", "::1/128". False with a message when the
  // text is not a network.
  bool AllowNetwork(const std::string &cidr, std::string &error);
  void SetToken(int till, std::string token) { tokens_[till] = std::move(token); }

  // Loopback clients are always allowed; others only from a listed network.
  bool AddressAllowed(const boost::asio::ip::address &a) const;
  // True when the till has no token, or the header carries "Bearer <its token>".
  bool TokenAccepted(int till, std::string_view authorization) const;
  bool HasNetworks() const { return !networks_.empty(); }

 private:
  struct Network {
    boost::asio::ip::address base;
    unsigned prefix;
  };
  std::vector<Network> networks_;
  std::map<int, std::string> tokens_;
};

}  // namespace hub
