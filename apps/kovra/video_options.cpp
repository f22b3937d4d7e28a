#include "video_options.hpp"

#include "command.hpp"

#include <fstream>
#include <regex>
#include <sstream>

namespace kovra_cli {

namespace {

// Splits CSV text into records of fields; quoted fields may hold commas, quotes and breaks.
std::vector<std::vector<std::string>> csv_records(const std::string& text,
                                                  const std::string& name) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false;
  bool at_field_start = true;
  int line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        field += c;
      }
    } else if (c == '"' && at_field_start) {
      quoted = true;
      at_field_start = false;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      at_field_start = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      record.push_back(std::move(field));
      field.clear();
      records.push_back(std::move(record));
      record.clear();
      at_field_start = true;
      ++line;
    } else {
      field += c;
      at_field_start = false;
    }
  }
  if (quoted) throw InputError(name + ": line " + std::to_string(line) + ": unterminated quote");
  if (!field.empty() || !record.empty()) {
    record.push_back(std::move(field));
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace

void require_time_of_day(const std::string& text, const std::string& what) {
  static const std::regex time_of_day(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d)");
  if (!std::regex_match(text, time_of_day)) {
    throw InputError(what + ": expected a time of day HH:MM:SS, got '" + text + "'");
  }
}

kovra_utils::Table read_csv_table(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  const auto records = csv_records(text.str(), path.string());
  if (records.empty()) throw InputError(path.string() + ": empty file, expected a header line");
  kovra_utils::Table table(records.front());
  for (std::size_t r = 1; r < records.size(); ++r) {
    if (records[r].size() != records.front().size()) {
      throw InputError(path.string() + ": row " + std::to_string(r + 1) + " has " +
                       std::to_string(records[r].size()) + " fields, the header " +
                       std::to_string(records.front().size()));
    }
    std::vector<kovra_utils::Value> cells;
    for (const auto& field : records[r]) {
      if (field.empty()) {
        cells.emplace_back(std::monostate{});
      } else {
        cells.emplace_back(field);
      }
    }
    table.append_row(std::move(cells));
  }
  return table;
}

}  // namespace kovra_cli
