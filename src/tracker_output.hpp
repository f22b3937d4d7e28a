#pragma once

// The tracker-output loader's pieces for callers that walk a clip one frame at a time instead
// of loading it whole.

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils::tracker_output {

/// The annotation files under `save_dir_base` in the loader's order: the root folder's files,
/// then subfolders depth-first in name order; files by trailing number, equal numbers by name.
/// Empty when there is none or the folder cannot be listed.
std::vector<std::string> ordered_annotation_files(const std::string& save_dir_base);

/// Size of the frame image named by the "image_path" of `first_json_path`, the size every mask
/// of the clip is rasterised at. FileError when the image cannot be read.
cv::Size clip_frame_size(const std::string& first_json_path);

/// The record the loader builds for `json_path` (without an intersection table).
FrameRecord read_frame_record(const std::string& json_path, cv::Size frame_size);

/// The frame number after the last "output_pp_" of `json_path`, up to the next ".".
/// ContentError naming the path when there is none.
std::int64_t frame_number_of(const std::string& json_path);

/// FileError naming `save_dir_base` unless it is a folder (missing, or a file).
void require_folder(const std::string& save_dir_base);

/// Held while a reader reads the folder's annotation files.
using ReadLock = std::shared_ptr<const void>;

/// A shared lock on the folder against identity repairs, taken after waiting for a running
/// repair and settling an interrupted one (see finish_identity_repair). FileError naming the
/// journal when an interrupted repair cannot be settled (a folder this user cannot write);
/// ContentError naming it when it is malformed.
ReadLock lock_for_reading(const std::string& save_dir_base);

/// The whole clip under `save_dir_base` as get_kovra_annotation_data loads it (keys 0 .. N-1,
/// the same message and absent result when there is no file), with each record's intersection
/// table only when `with_tables`; files are read on up to `threads` threads.
std::optional<ClipData> load_clip(const std::string& save_dir_base, bool with_tables,
                                  int threads = 1);

}  // namespace kovra_utils::tracker_output
