#include <gtest/gtest.h>

#include "access_key.h"

namespace satemu {
namespace {

TEST(AccessKey, CheckDigitOfPublishedKey) {
  // The worked example of the national fiscal documents' manual, whose key
  // uses the same modulo-11 rule: 5206043300991100250655012000000780026730161-5.
  EXPECT_EQ(access_key_check_digit("5206043300991100250655012000000780026730161"), 5);
  EXPECT_TRUE(access_key_valid("52060433009911002506550120000007800267301615"));
  EXPECT_FALSE(access_key_valid("52060433009911002506550120000007800267301614"));
}

TEST(AccessKey, CheckDigitRuleByHand) {
  // 43 zeros but a final 1: sum = 1*2 = 2, 11 - 2 = 9.
  EXPECT_EQ(access_key_check_digit(std::string(42, '0') + "1"), 9);
  // Sum 0: 11 - 0 = 11 -> 0.
  EXPECT_EQ(access_key_check_digit(std::string(43, '0')), 0);
  // A last digit 5: 5*2 = 10, remainder 10, 11 - 10 = 1.
  EXPECT_EQ(access_key_check_digit(std::string(42, '0') + "5"), 1);
  // Remainder 1 gives 11 - 1 = 10 -> 0: a 4 second from the right weighs 3, 12 = 11 + 1.
  EXPECT_EQ(access_key_check_digit(std::string(41, '0') + "40"), 0);
  // Weights wrap after 9: the ninth digit from the right weighs 2 again.
  EXPECT_EQ(access_key_check_digit(std::string(34, '0') + "1" + std::string(8, '0')), 9);
  EXPECT_FALSE(access_key_check_digit("123"));
  EXPECT_FALSE(access_key_check_digit(std::string(42, '0') + "a"));
}

TEST(AccessKey, BuiltFromItsParts) {
  const auto key = make_access_key({35, 2026, 12, "11222333000181", "900004019", 1, 123456});
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 44u);
  EXPECT_EQ(key->substr(0, 43), "3526121122233300018159900004019000001123456");
  EXPECT_TRUE(access_key_valid(*key));
  EXPECT_FALSE(make_access_key({35, 2026, 13, "11222333000181", "900004019", 1, 1}));
  EXPECT_FALSE(make_access_key({35, 2026, 1, "1122233300018", "900004019", 1, 1}));
  EXPECT_FALSE(make_access_key({35, 2026, 1, "11222333000181", "90000401", 1, 1}));
  EXPECT_FALSE(make_access_key({35, 2026, 1, "11222333000181", "900004019", 1000000, 1}));
}

TEST(AccessKey, Cnpj) {
  EXPECT_TRUE(cnpj_valid("11222333000181"));
  EXPECT_FALSE(cnpj_valid("11222333000182"));
  EXPECT_FALSE(cnpj_valid("1122233300018"));
  EXPECT_FALSE(cnpj_valid("1122233300018x"));
}

}  // namespace
}  // namespace satemu
