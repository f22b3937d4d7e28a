#include "annotation_file.hpp"

#include "text.hpp"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <type_traits>
#include <vector>

namespace kovra_utils::annotation_file {

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError("cannot open " + path + ": " + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw FileError("cannot read " + path);
  return std::move(content).str();
}

namespace {

constexpr std::size_t kBriefLength = 80;

// ContentError when arrays and objects in `text` nest deeper than kMaxJsonDepth. Brackets
// inside strings do not count; the text need not be valid JSON.
void require_nesting_within_limit(std::string_view text, const std::string& path) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) {
        throw ContentError(path + ": arrays and objects nested deeper than " +
                           std::to_string(kMaxJsonDepth) + " levels");
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

template <class Json>
Json parse_document(const std::string& path) {
  return parse_json_text<Json>(read_text_file(path), path);
}

// Cut strings may end inside a UTF-8 sequence: replace rather than throw.
template <class Json>
std::string dumped(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

template <class Json>
void append_brief(std::string& out, const Json& value, int depth) {
  if (out.size() > kBriefLength) return;
  if (value.is_array() || value.is_object()) {
    const bool array = value.is_array();
    if (value.empty() || depth >= 2) {
      out += value.empty() ? (array ? "[]" : "{}") : (array ? "[...]" : "{...}");
      return;
    }
    out += array ? '[' : '{';
    bool first = true;
    for (auto it = value.begin(); it != value.end() && out.size() <= kBriefLength; ++it) {
      if (!first) out += ", ";
      first = false;
      if (!array) out += dumped(Json(it.key())) + ": ";
      append_brief(out, it.value(), depth + 1);
    }
    out += array ? ']' : '}';
    return;
  }
  if (value.is_string() && value.template get_ref<const std::string&>().size() > kBriefLength) {
    out += dumped(Json(value.template get_ref<const std::string&>().substr(0, kBriefLength)));
    return;
  }
  out += dumped(value);
}

bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The next white-space separated token at or after `pos`; empty at the end of the text.
std::string_view next_token(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && is_white_space(text[pos])) ++pos;
  const std::size_t start = pos;
  while (pos < text.size() && !is_white_space(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// What a float literal too large or too small for a double reads as: +-inf or +-0.0.
double out_of_range_value(std::string_view token) {
  // "C" locale: the decimal point is always '.'.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string text(token);
  const double value = strtod_l(text.c_str(), nullptr, c_locale);
  if (std::isinf(value)) return value;
  return std::signbit(value) ? -0.0 : 0.0;
}

// Plain decimals ("-0.229108", "12") whose digits fit 2^53 and with at most 22 after the point:
// the digits and the power of ten are both exact doubles, so one division rounds correctly and
// gives what from_chars gives. False for anything else.
bool read_plain_decimal(std::string_view token, double& value) {
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;
  std::size_t i = 0;
  const bool negative = !token.empty() && token[0] == '-';
  if (negative) ++i;
  std::uint64_t digits = 0;
  std::size_t digit_count = 0;
  std::size_t fraction_digits = 0;
  bool in_fraction = false;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (c >= '0' && c <= '9') {
      if (++digit_count > 19) return false;  // keeps `digits` from overflowing
      digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
      fraction_digits += in_fraction ? 1 : 0;
    } else if (c == '.' && !in_fraction) {
      in_fraction = true;
    } else {
      return false;
    }
  }
  if (digit_count == 0 || digits > kExactLimit || fraction_digits > 22) return false;
  const double magnitude = static_cast<double>(digits) / kPowersOfTen[fraction_digits];
  value = negative ? -magnitude : magnitude;
  return true;
}

// A decimal number as a float literal reads it ("+" sign, exponent, inf and nan allowed).
bool read_number(std::string_view token, double& value) {
  if (read_plain_decimal(token, value)) return true;
  const char* first = token.data();
  const char* last = token.data() + token.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && (*first == '-' || *first == '+')) return false;
  }
  const auto [end, error] = std::from_chars(first, last, value);
  if (end != last) return false;
  if (error == std::errc::result_out_of_range) {
    value = out_of_range_value(token);
    return true;
  }
  return error == std::errc();
}

}  // namespace

// Builds an ordered document keeping integer literals too large for 64 bits as their text; the
// parser hands such literals over as floats, with the text they were read from.
class KeepLargeIntegers : public nlohmann::detail::json_sax_dom_parser<nlohmann::ordered_json> {
 public:
  using json_sax_dom_parser::json_sax_dom_parser;

  bool number_float(number_float_t value, const string_t& text) {
    if (text.find_first_of(".eE") != string_t::npos) {
      return json_sax_dom_parser::number_float(value, text);
    }
    binary_t digits(std::vector<std::uint8_t>(text.begin(), text.end()), kRawIntegerSubtype);
    return json_sax_dom_parser::binary(digits);
  }
};

template <class Json>
Json parse_json(const std::string& text) {
  if constexpr (std::is_same_v<Json, nlohmann::ordered_json>) {
    Json document;
    KeepLargeIntegers builder(document);
    Json::sax_parse(text, &builder);
    return document;
  } else {
    return Json::parse(text);
  }
}

template <class Json>
Json parse_json_text(const std::string& text, const std::string& path) {
  require_nesting_within_limit(text, path);
  try {
    return parse_json<Json>(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw ContentError(path + ": not valid JSON (" + error.what() + ")");
  } catch (const nlohmann::json::exception& error) {
    // A number literal beyond the range of a double, for one.
    throw ContentError(path + ": cannot read JSON (" + error.what() + ")");
  }
}

template nlohmann::json parse_json_text<nlohmann::json>(const std::string&, const std::string&);
template nlohmann::ordered_json parse_json_text<nlohmann::ordered_json>(const std::string&,
                                                                        const std::string&);

std::string brief_json(const nlohmann::json& value) {
  std::string out;
  append_brief(out, value, 0);
  if (out.size() > kBriefLength) out = out.substr(0, kBriefLength) + "...";
  return out;
}

nlohmann::json read_json(const std::string& path) { return parse_document<nlohmann::json>(path); }

nlohmann::ordered_json read_ordered_json(const std::string& path) {
  return parse_document<nlohmann::ordered_json>(path);
}

ContentError content_error(const std::string& location, const std::string& file,
                           const std::string& problem) {
  if (location.empty()) return ContentError(file + ": " + problem);
  return ContentError(location + " in " + file + ": " + problem);
}

std::string member_location(const std::string& location, std::string_view name) {
  std::string where = location;
  if (!where.empty()) where += '.';
  where += '"';
  where += name;
  where += '"';
  return where;
}

std::string element_location(const std::string& location, std::size_t index) {
  return location + "[" + std::to_string(index) + "]";
}

std::string_view parse_polygon(std::string_view text, std::vector<double>& coordinates,
                               const std::string& location, const std::string& file) {
  coordinates.clear();
  std::size_t pos = 0;
  const std::string_view identifier = next_token(text, pos);
  for (std::string_view token = next_token(text, pos); !token.empty();
       token = next_token(text, pos)) {
    double value = 0;
    if (!read_number(token, value)) {
      throw content_error(location, file,
                          "coordinate " + std::to_string(coordinates.size()) + " '" +
                              std::string(token) + "' is not a number");
    }
    coordinates.push_back(value);
  }
  if (coordinates.size() % 2 != 0) {
    throw content_error(location, file,
                        "odd number of coordinates (" + std::to_string(coordinates.size()) + ")");
  }
  return identifier;
}

namespace {

using OrderedJson = nlohmann::ordered_json;

// ---- JSON text in the layout of an indent-4, ASCII-only dump --------------------------------

// Escapes as an ASCII-only dump: \" \\ \b \f \n \r \t, every other character outside
// ' '..'~' as lowercase \uXXXX (surrogate pairs above U+FFFF).
void append_string(std::string& out, const std::string& text) {
  out += OrderedJson(text).dump(-1, ' ', true);
}

void append_scalar(std::string& out, const OrderedJson& value) {
  switch (value.type()) {
    case OrderedJson::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    case OrderedJson::value_t::number_float:
      out += text::format_float(value.get<double>());
      return;
    case OrderedJson::value_t::binary: {  // an integer literal beyond 64 bits, kept as read
      const auto& digits = value.get_binary();
      out.append(digits.begin(), digits.end());
      return;
    }
    default:  // integers, booleans, null
      out += value.dump();
      return;
  }
}

// A container being written and its next member.
struct OpenLevel {
  const OrderedJson* container;
  OrderedJson::const_iterator next;
};

// Writes a scalar or an empty container whole; a filled container gets its opening bracket
// and is pushed on `open` for its members.
void open_value(std::string& out, const OrderedJson& value, std::vector<OpenLevel>& open) {
  if (!value.is_array() && !value.is_object()) {
    append_scalar(out, value);
  } else if (value.empty()) {
    out += value.is_array() ? "[]" : "{}";
  } else {
    out += value.is_array() ? '[' : '{';
    open.push_back({&value, value.cbegin()});
  }
}

}  // namespace

// Iterative, so the stack does not grow with the nesting of the document.
std::string to_indented_ascii_json(const OrderedJson& document) {
  std::string out;
  std::vector<OpenLevel> open;
  open_value(out, document, open);
  while (!open.empty()) {
    OpenLevel& level = open.back();
    const std::size_t depth = open.size();
    if (level.next == level.container->cend()) {
      out += '\n';
      out.append(4 * (depth - 1), ' ');
      out += level.container->is_array() ? ']' : '}';
      open.pop_back();
      continue;
    }
    out += level.next == level.container->cbegin() ? "\n" : ",\n";
    out.append(4 * depth, ' ');
    const auto member = level.next++;
    if (level.container->is_object()) {
      append_string(out, member.key());
      out += ": ";
    }
    open_value(out, *member, open);  // may grow `open`: `level` is not used after this
  }
  return out;
}

}  // namespace kovra_utils::annotation_file
