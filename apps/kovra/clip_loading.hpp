#pragma once

// Loading a clip's tracker output for the commands that inspect it.

#include "command.hpp"

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <string>

namespace kovra_cli {

/// Declares the TRACKER_OUTPUT_DIR positional argument every clip-inspecting command takes.
void add_tracker_output_dir(CLI::App& app, std::string& tracker_output_dir);

/// The whole clip under `tracker_output_dir`, every record with its intersection table.
/// Throws InputError when the folder is missing or holds no annotation files.
kovra_utils::ClipData load_clip(const std::string& tracker_output_dir, Console& console);

/// "Box0 in Box3" style name of a table cell: the share of the row's mask inside the column's.
std::string overlap_name(const kovra_utils::IntersectionTable& table, std::size_t row,
                         std::size_t col);

/// Writes an RGB picture to `path` in the format of its extension. Throws InputError naming
/// the path when it cannot be written.
void write_rgb_picture(const std::string& path, const cv::Mat& rgb);

/// A percentage with two decimals.
std::string percent(double value);

}  // namespace kovra_cli
