// Sale documents of a chosen size for the sale benchmark: well-formed sale
// XML whose items vary (codes, names, quantities, prices, free text) so that
// it compresses like the data of a real shop, not like one repeated byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace torvex::bench {

// The issuer and activation code the sales are made for (an emulated device
// started activated has them by default).
inline constexpr char kSaleIssuerCnpj[] = "11222333000181";
inline constexpr char kActivationCode[] = "12345678";

// Items per sale at most (a device refuses more).
inline constexpr int kMaxSaleItems = 500;

// A sale of exactly size bytes (size at least 4 KiB), built from seed. Large
// sales carry long free-text notes per item so that they stay within
// kMaxSaleItems items; the last bytes are filled by the sale's note.
std::string MakeSale(std::size_t size, std::uint32_t seed);

}  // namespace torvex::bench
