#pragma once

// The printed forms of values used in every message, directory name and report cell:
// the forms a Python user of this library knows (repr of floats, True/False, None, lists,
// dict_keys, numpy's array text form).

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kovra_utils::text {

/// "H x W": a plane's size as messages give it, height first.
std::string format_size(cv::Size size);

/// Shortest decimal text that reads back to `value`, with at least one digit after the point;
/// exponent form below 1e-4 and from 1e16 up: 25.0, 0.30000000000000004, 1e-05, 1e+16, nan, inf.
std::string format_float(double value);

/// `value` with exactly `decimals` digits after the point, correctly rounded ({x:.2f}).
std::string format_fixed(double value, int decimals);

/// `value` rounded to `decimals` places, halves to even on the exact binary value (round()).
double round_to(double value, int decimals);

/// Integer zero-padded to `width` digits ({x:04d}).
std::string format_padded(std::int64_t value, int width);

/// True / False.
std::string format_bool(bool value);

/// A text between single quotes with backslashes doubled and control characters escaped
/// (double quotes when it holds a single quote and no double quote).
std::string quote(std::string_view value);

/// [item, item] with every item quoted.
std::string format_list(const std::vector<std::string>& items);

/// dict_keys(['key1', 'key2']).
std::string format_dict_keys(const std::vector<std::string>& keys);

/// Array text form: values in square brackets separated by one space, integers padded on the
/// left to the widest; lines longer than 75 characters wrap onto lines starting with one space.
std::string format_array(const std::vector<std::int64_t>& values);
/// The same form with every value in its shortest round-trip text (no padding).
std::string format_array(const std::vector<double>& values);
/// The same form with every value in float32's shortest round-trip text (numpy's float32 arrays).
std::string format_array(const std::vector<float>& values);

/// Shortest decimal text that reads back to the float32 `value`, in format_float's form.
std::string format_float(float value);

/// An integer, or None when absent.
std::string format_optional(const std::optional<std::int64_t>& value);
/// A text as it is, or None when absent.
std::string format_optional(const std::optional<std::string>& value);

}  // namespace kovra_utils::text
