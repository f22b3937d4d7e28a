#include "text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kovra_utils::text {

namespace {

// The shortest round-trip text of `value` (double or float), "[-]d[.ddd]e[+-]XX".
template <class Floating>
std::string shortest_scientific(Floating value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::scientific);
  return std::string(buffer, result.ptr);
}

// A finite value's shortest scientific text in the printed form.
std::string printed_form(const std::string& sci) {
  // sci is "[-]d[.ddd]e[+-]XX": split into sign, digits and decimal exponent.
  const std::size_t e_pos = sci.find('e');
  std::string mantissa = sci.substr(0, e_pos);
  const int exponent = std::atoi(sci.c_str() + e_pos + 1);
  std::string sign;
  if (mantissa.front() == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  for (char ch : mantissa) {
    if (ch != '.') digits += ch;
  }
  const int point = exponent + 1;  // digits d1 d2 ... make 0.d1d2... x 10^point
  if (point <= -4 || point > 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int shown = point - 1;
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", shown < 0 ? '-' : '+', std::abs(shown));
    return out + exp_text;
  }
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
  } else {
    out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
          digits.substr(static_cast<std::size_t>(point));
  }
  return sign + out;
}

}  // namespace

std::string format_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return printed_form(shortest_scientific(value));
}

std::string format_float(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return printed_form(shortest_scientific(value));
}

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}

double round_to(double value, int decimals) {
  if (!std::isfinite(value)) return value;
  const std::string fixed = format_fixed(value, decimals);
  double rounded = 0;
  std::from_chars(fixed.data(), fixed.data() + fixed.size(), rounded);
  return rounded;
}

std::string format_padded(std::int64_t value, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
  return buffer;
}

std::string format_size(cv::Size size) {
  return std::to_string(size.height) + " x " + std::to_string(size.width);
}

std::string format_bool(bool value) { return value ? "True" : "False"; }

std::string quote(std::string_view value) {
  const bool has_single = value.find('\'') != std::string_view::npos;
  const bool has_double = value.find('"') != std::string_view::npos;
  const char delimiter = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, delimiter);
  for (char ch : value) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == delimiter) {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += ch;
    }
  }
  out += delimiter;
  return out;
}

std::string format_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += quote(items[i]);
  }
  return out + "]";
}

std::string format_dict_keys(const std::vector<std::string>& keys) {
  return "dict_keys(" + format_list(keys) + ")";
}

namespace {

// numpy's 1-D layout: words joined by one space inside brackets, wrapped so that no line
// passes 75 characters; continuation lines start with one space.
std::string wrap_array_words(const std::vector<std::string>& words) {
  constexpr std::size_t kLineWidth = 75 - 1;  // the closing bracket's column is reserved
  const std::string hanging_indent = " ";
  std::string done;
  std::string line = hanging_indent;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const bool wrap = line.size() + words[i].size() > kLineWidth &&
                      line.size() > hanging_indent.size();
    if (wrap) {
      const std::size_t end = line.find_last_not_of(' ');
      done += line.substr(0, end + 1) + "\n";
      line = hanging_indent;
    }
    line += words[i];
    if (i + 1 < words.size()) line += ' ';
  }
  done += line;
  std::string bracketed = "[";
  bracketed.append(done, hanging_indent.size());
  bracketed += ']';
  return bracketed;
}

}  // namespace

std::string format_array(const std::vector<std::int64_t>& values) {
  std::size_t width = 0;
  for (auto value : values) width = std::max(width, std::to_string(value).size());
  std::vector<std::string> words;
  for (auto value : values) {
    std::string word = std::to_string(value);
    words.push_back(std::string(width - word.size(), ' ') + word);
  }
  return wrap_array_words(words);
}

std::string format_array(const std::vector<double>& values) {
  std::vector<std::string> words;
  for (double value : values) words.push_back(format_float(value));
  return wrap_array_words(words);
}

std::string format_array(const std::vector<float>& values) {
  std::vector<std::string> words;
  for (float value : values) words.push_back(format_float(value));
  return wrap_array_words(words);
}

std::string format_optional(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : "None";
}

std::string format_optional(const std::optional<std::string>& value) {
  return value ? *value : "None";
}

}  // namespace kovra_utils::text
