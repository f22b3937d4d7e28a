#include "text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace kovra_utils::text;

TEST(FormatFloat, PythonReprForms) {
  const std::pair<double, const char*> cases[] = {
      {0.1 + 0.2, "0.30000000000000004"},
      {25.0, "25.0"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {1e16, "1e+16"},
      {1234567890123456.0, "1234567890123456.0"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1.5e-7, "1.5e-07"},
      {2.5e100, "2.5e+100"},
      {-3.25, "-3.25"},
      {450.00000000000006, "450.00000000000006"},
      {0.8999999999999999, "0.8999999999999999"},
      {100.0, "100.0"},
      {33.33333333333333, "33.33333333333333"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(format_float(value), expected);
  EXPECT_EQ(format_float(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_float(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FormatFixed, RoundsTheExactBinaryValue) {
  EXPECT_EQ(format_fixed(600.0, 2), "600.00");
  EXPECT_EQ(format_fixed(2.675, 2), "2.67");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");  // exact tie, half to even
  EXPECT_EQ(round_to(85.714, 2), 85.71);
  EXPECT_EQ(format_float(round_to(99.999, 2)), "100.0");
  EXPECT_EQ(format_padded(7, 4), "0007");
  EXPECT_EQ(format_padded(12345, 4), "12345");
}

TEST(FormatValues, BooleansNoneListsAndKeys) {
  EXPECT_EQ(format_bool(true), "True");
  EXPECT_EQ(format_bool(false), "False");
  EXPECT_EQ(format_optional(std::optional<std::int64_t>{}), "None");
  EXPECT_EQ(format_optional(std::optional<std::int64_t>{12}), "12");
  EXPECT_EQ(format_list({"a", "b\\c"}), "['a', 'b\\\\c']");
  EXPECT_EQ(format_list({}), "[]");
  EXPECT_EQ(format_list({"it's"}), "[\"it's\"]");
  EXPECT_EQ(format_dict_keys({"Box1-Box3"}), "dict_keys(['Box1-Box3'])");
  EXPECT_EQ(format_dict_keys({}), "dict_keys([])");
}

TEST(FormatArray, NumpyTextForm) {
  EXPECT_EQ(format_array(std::vector<std::int64_t>{0, 1, 3}), "[0 1 3]");
  EXPECT_EQ(format_array(std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
            "[ 0  1  2  3  4  5  6  7  8  9 10]");
  EXPECT_EQ(format_array(std::vector<std::int64_t>{}), "[]");
  EXPECT_EQ(format_array(std::vector<double>{0.5, 0.25}), "[0.5 0.25]");
  // float32 values in their own shortest form; the same values widened print all their digits.
  EXPECT_EQ(format_array(std::vector<float>{0.9F, 0.8F, 1e-5F}), "[0.9 0.8 1e-05]");
  EXPECT_EQ(format_array(std::vector<double>{0.9F}), "[0.8999999761581421]");
}

TEST(FormatArray, WrapsAtSeventyFiveColumns) {
  std::vector<std::int64_t> values;
  for (int i = 0; i < 40; ++i) values.push_back(i);
  // numpy: print(np.arange(40))
  EXPECT_EQ(format_array(values),
            "[ 0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15 16 17 18 19 20 21 22 23\n"
            " 24 25 26 27 28 29 30 31 32 33 34 35 36 37 38 39]");
}

}  // namespace

namespace {

TEST(FormatArray, WrapsWideIntegersOnSeveralLines) {
  std::vector<std::int64_t> values;
  for (int i = 100; i < 140; ++i) values.push_back(i);
  EXPECT_EQ(kovra_utils::text::format_array(values),
            "[100 101 102 103 104 105 106 107 108 109 110 111 112 113 114 115 116 117\n"
            " 118 119 120 121 122 123 124 125 126 127 128 129 130 131 132 133 134 135\n"
            " 136 137 138 139]");
}

}  // namespace
