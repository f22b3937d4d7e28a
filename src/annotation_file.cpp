#include "annotation_file.hpp"

#include "text.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

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

template <class Json>
Json parse_document(const std::string& path) {
  const std::string text = read_text_file(path);
  try {
    return Json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw ContentError(path + ": not valid JSON (" + error.what() + ")");
  }
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

// A decimal number as a float literal reads it ("+" sign, exponent, inf and nan allowed).
bool read_number(std::string_view token, double& value) {
  const char* first = token.data();
  const char* last = token.data() + token.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && (*first == '-' || *first == '+')) return false;
  }
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last;
}

}  // namespace

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

void append_json(std::string& out, const OrderedJson& value, int depth) {
  const std::string inner(4 * (depth + 1), ' ');
  const std::string closing(4 * depth, ' ');
  switch (value.type()) {
    case OrderedJson::value_t::object: {
      if (value.empty()) {
        out += "{}";
        return;
      }
      out += "{\n";
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ",\n";
        first = false;
        out += inner;
        append_string(out, key);
        out += ": ";
        append_json(out, member, depth + 1);
      }
      out += "\n" + closing + "}";
      return;
    }
    case OrderedJson::value_t::array: {
      if (value.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (i > 0) out += ",\n";
        out += inner;
        append_json(out, value[i], depth + 1);
      }
      out += "\n" + closing + "]";
      return;
    }
    case OrderedJson::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    case OrderedJson::value_t::number_float:
      out += text::format_float(value.get<double>());
      return;
    default:  // integers, booleans, null
      out += value.dump();
      return;
  }
}

}  // namespace

std::string to_indented_ascii_json(const OrderedJson& document) {
  std::string out;
  append_json(out, document, 0);
  return out;
}

}  // namespace kovra_utils::annotation_file
