#include "archive/decimal.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseDecimalTest, ReadsLikeTheClientsOwnFiles) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"3550", 3550},
      {"", 0},
      {"abc", 0},
      {" \t\n\v\f\r+42", 42},
      {"-7", -7},
      {"-0", 0},
      {"+-3", 0},    // one sign only
      {"- 3", 0},    // no space after the sign
      {"12x34", 12},  // digits up to the first other byte
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      // No overflow check: the value wraps in 32 bits (and must not be
      // undefined behaviour, which UBSan would report).
      {"2147483648", INT32_MIN},
      {"4294967297", 1},
      {"-4294967295", 1},
      {"99999999999999999999", 1661992959},  // (10^20 - 1) mod 2^32
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
