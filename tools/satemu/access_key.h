// The 44-digit access key of a CF-e:
//   cUF(2) AAMM(4) CNPJ(14) model "59"(2) SAT serial(9) nCF(6) cNF(6) DV(1)
// The check digit DV is taken modulo 11 over the first 43 digits, with
// weights 2, 3, ..., 9, 2, 3, ... from the rightmost digit; DV = 11 - remainder,
// or 0 when that is 10 or 11.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace satemu {

struct AccessKeyParts {
  int cuf = 0;             // state code (IBGE), 2 digits
  int year = 0;            // four-digit year of emission
  int month = 0;           // 1..12
  std::string cnpj;        // 14 digits
  std::string sat_serial;  // 9 digits
  int ncf = 0;             // CF-e number, 1..999999
  int cnf = 0;             // numeric code, 0..999999
};

// Check digit of a 43-digit string; nothing if it holds anything but 43 digits.
std::optional<int> access_key_check_digit(std::string_view digits43);

// The 44 digits (without the "CFe" prefix); nothing if a part does not fit.
std::optional<std::string> make_access_key(const AccessKeyParts &parts);

// True for 44 digits whose last digit is the right check digit.
bool access_key_valid(std::string_view digits44);

// True when the text is exactly 14 digits with valid CNPJ check digits.
bool cnpj_valid(std::string_view cnpj);

bool all_digits(std::string_view text);

}  // namespace satemu
