#pragma once

// The demo's stand-in for the outside video tracker: it follows every object from frame to frame
// by prompting the segmentation predictor with the object's previous box, and saves the result
// as one annotation file per frame, as the real tracker does.

#include "command.hpp"

#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace kovra_cli {

/// Object ids 1 .. N hold `seed_masks` on frame `start_frame`; every later frame of
/// `frame_names` gets, per object, the predictor's mask for the object's box on the frame before.
kovra_utils::VideoSegments propagate_by_boxes(const std::vector<std::string>& frame_names,
                                              std::int64_t start_frame,
                                              const std::vector<kovra_utils::Mask>& seed_masks,
                                              kovra_utils::SegmentationPredictor& predictor,
                                              Console& console);

/// The outer outlines of `mask` as polygon strings ("0 x y x y ..."), every vertex normalised
/// by the mask's width and height; pixel centres are written, so that rasterising the strings
/// again lands on the same pixels.
std::vector<std::string> mask_polygons(const kovra_utils::Mask& mask);

/// Writes output_pp_<frame>.json into `dir` for every frame of `video_segments`: the frame's
/// image path and one detection per object ("object_id", "xyxy", "formatted_polygon").
/// Returns the paths written, in frame order.
std::vector<std::filesystem::path> write_annotation_files(
    const kovra_utils::VideoSegments& video_segments, const std::vector<std::string>& frame_names,
    const std::filesystem::path& dir);

}  // namespace kovra_cli
