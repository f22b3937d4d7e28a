#pragma once

// Checks and readers shared by the commands that work on camera videos.

#include <kovra_utils/types.hpp>

#include <filesystem>
#include <string>

namespace kovra_cli {

/// Throws InputError naming `what` unless `text` is a time of day written HH:MM:SS.
void require_time_of_day(const std::string& text, const std::string& what);

/// Reads a CSV file with a header line (as written by Table::write_csv) into a table of text
/// cells; empty fields become absent cells. Throws InputError naming the file and line for an
/// unreadable file, an unterminated quote or a row of the wrong width.
kovra_utils::Table read_csv_table(const std::filesystem::path& path);

}  // namespace kovra_cli
