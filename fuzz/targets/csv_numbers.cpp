// Number reading and printing: polygon number tokens, the shortest round-trip float form
// (which must read back to the same value), fixed decimals, and table cells written as CSV.

#include <kovra_utils/types.hpp>

#include "annotation_file.hpp"
#include "fuzz_support.hpp"
#include "text.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check_float_forms(double value) {
  const std::string shortest = kovra_utils::text::format_float(value);
  const double back = std::strtod(shortest.c_str(), nullptr);
  // Every NaN prints as nan, whatever its sign and payload, as Python prints it.
  const bool same = std::isnan(value) ? std::isnan(back)
                                      : back == value && std::signbit(back) == std::signbit(value);
  if (!same) std::abort();
  kovra_utils::text::format_fixed(value, 6);
  kovra_utils::text::format_fixed(value, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = kovra_fuzz::as_text(data, size);
  std::vector<double> coordinates;
  try {
    kovra_utils::annotation_file::parse_polygon(text, coordinates, "\"formatted_polygon\"[0]",
                                                "fuzz.json");
  } catch (const kovra_utils::Error&) {
  }
  kovra_utils::Table table({"Frame ID", "Value", "Note"});
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    double value = 0;
    std::int64_t integer = 0;
    std::memcpy(&value, data + at, 8);
    std::memcpy(&integer, data + at, 8);
    check_float_forms(value);
    table.append_row({integer, value, text.substr(at, 8)});
  }
  for (const double value : coordinates) {
    check_float_forms(value);
    table.append_row({std::monostate{}, value, text});
  }
  table.to_csv();
  return 0;
}
