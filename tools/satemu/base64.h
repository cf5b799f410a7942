// Standard base64 (RFC 4648 alphabet, with padding).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace satemu {

std::string base64_encode(std::string_view bytes);
// Ignores whitespace; returns nothing on any other character outside the alphabet.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace satemu
