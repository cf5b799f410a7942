#include "access_key.h"

#include <cstdio>

namespace satemu {

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<int> access_key_check_digit(std::string_view digits43) {
  if (digits43.size() != 43 || !all_digits(digits43)) return std::nullopt;
  int sum = 0;
  int weight = 2;
  for (auto it = digits43.rbegin(); it != digits43.rend(); ++it) {
    sum += (*it - '0') * weight;
    weight = weight == 9 ? 2 : weight + 1;
  }
  const int dv = 11 - sum % 11;
  return dv >= 10 ? 0 : dv;
}

std::optional<std::string> make_access_key(const AccessKeyParts &p) {
  if (p.cuf < 10 || p.cuf > 99 || p.month < 1 || p.month > 12 || p.year < 2000 || p.year > 2099 ||
      p.cnpj.size() != 14 || !all_digits(p.cnpj) || p.sat_serial.size() != 9 ||
      !all_digits(p.sat_serial) || p.ncf < 0 || p.ncf > 999999 || p.cnf < 0 || p.cnf > 999999) {
    return std::nullopt;
  }
  char head[16];
  std::snprintf(head, sizeof head, "%02d%02d%02d", p.cuf, p.year % 100, p.month);
  char tail[32];
  std::snprintf(tail, sizeof tail, "%06d%06d", p.ncf, p.cnf);
  std::string key = std::string(head) + p.cnpj + "59" + p.sat_serial + tail;
  key.push_back(static_cast<char>('0' + *access_key_check_digit(key)));
  return key;
}

bool access_key_valid(std::string_view digits44) {
  if (digits44.size() != 44 || !all_digits(digits44)) return false;
  const auto dv = access_key_check_digit(digits44.substr(0, 43));
  return dv && *dv == digits44[43] - '0';
}

bool cnpj_valid(std::string_view cnpj) {
  if (cnpj.size() != 14 || !all_digits(cnpj)) return false;
  auto digit = [&](std::size_t n) {
    // Weights run 2..9 from the right of the first n digits.
    int sum = 0;
    int weight = 2;
    for (std::size_t i = n; i-- > 0;) {
      sum += (cnpj[i] - '0') * weight;
      weight = weight == 9 ? 2 : weight + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
  };
  return digit(12) == cnpj[12] - '0' && digit(13) == cnpj[13] - '0';
}

}  // namespace satemu
