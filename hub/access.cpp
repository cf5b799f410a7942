#include "access.h"

#include "console_text.h"

#include <array>

namespace hub {
namespace {

// The address as 16 bytes (IPv4 as its IPv4-mapped IPv6 form), and the
// prefix length shifted to match.
std::array<unsigned char, 16> Bytes(const boost::asio::ip::address &a) {
  if (a.is_v6()) {
    auto v6 = a.to_v6();
    return v6.to_bytes();
  }
  return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, a.to_v4()).to_bytes();
}

bool SamePrefix(const std::array<unsigned char, 16> &x, const std::array<unsigned char, 16> &y,
                unsigned bits) {
  for (unsigned i = 0; i < 16 && bits > 0; ++i) {
    unsigned take = bits >= 8 ? 8 : bits;
    unsigned char mask = static_cast<unsigned char>(0xFF00u >> take);
    if ((x[i] & mask) != (y[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

}  // namespace

bool Access::AllowNetwork(const std::string &cidr, std::string &error) {
  std::string addr = cidr;
  std::string bits;
  if (auto slash = cidr.find('/'); slash != std::string::npos) {
    addr = cidr.substr(0, slash);
    bits = cidr.substr(slash + 1);
  }
  boost::system::error_code ec;
  auto a = boost::asio::ip::make_address(addr, ec);
  if (ec) {
    error = "not a network: " + cidr;
    return false;
  }
  unsigned max = a.is_v4() ? 32 : 128;
  unsigned prefix = max;
  if (!bits.empty()) {
    if (bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(bits) > max) {
      error = "not a network: " + cidr;
      return false;
    }
    prefix = static_cast<unsigned>(std::stoul(bits));
  }
  if (a.is_v4()) prefix += 96;  // compared as IPv4-mapped IPv6
  networks_.push_back({a, prefix});
  return true;
}

bool Access::AddressAllowed(const boost::asio::ip::address &a) const {
  if (a.is_loopback()) return true;
  if (a.is_v6() && a.to_v6().is_v4_mapped() &&
      boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).is_loopback())
    return true;
  auto bytes = Bytes(a);
  for (const Network &n : networks_)
    if (SamePrefix(bytes, Bytes(n.base), n.prefix)) return true;
  return false;
}

bool Access::TokenAccepted(int till, std::string_view authorization) const {
  auto it = tokens_.find(till);
  if (it == tokens_.end()) return true;
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.size() < kBearer.size() || authorization.substr(0, kBearer.size()) != kBearer)
    return false;
  // Compared in full whatever the first difference, so that the time taken
  // says nothing about the token.
  return SecretEquals(authorization.substr(kBearer.size()), it->second);
}

}  // namespace hub
