#pragma once

// Loading a clip's tracker output for the commands that inspect it.

#include "command.hpp"

#include <kovra_utils/types.hpp>

#include <string>

namespace kovra_cli {

/// The whole clip under `tracker_output_dir`, every record with its intersection table.
/// Throws InputError when the folder is missing or holds no annotation files.
kovra_utils::ClipData load_clip(const std::string& tracker_output_dir, Console& console);

/// "Box0 in Box3" style name of a table cell: the share of the row's mask inside the column's.
std::string overlap_name(const kovra_utils::IntersectionTable& table, std::size_t row,
                         std::size_t col);

/// A percentage with two decimals.
std::string percent(double value);

}  // namespace kovra_cli
