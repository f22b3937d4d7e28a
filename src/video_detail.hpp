#pragma once

// Steps of frame extraction that are pure functions of their inputs, kept apart so they can be
// checked without a video.

#include <kovra_utils/video.hpp>

#include <opencv2/core.hpp>

#include <optional>
#include <string>

namespace kovra_utils::video_detail {

/// The crop rectangle for a freshly detected orange region. The frame is taken as 2560 x 1440:
/// with `left_crop` the kept area ends 45 pixels before the region, otherwise it starts 50
/// pixels before it; the far edge depends on whether the region reaches x = 2300. An absent
/// `left_crop` keeps the detected rectangle.
CropRegion side_corrected(const CropRegion& detected, std::optional<bool> left_crop);

/// The part of a `frame_size` frame that `region` keeps, negative coordinates read as 0.
/// Throws ContentError naming `video` when nothing is left.
cv::Rect clip_to_frame(const CropRegion& region, cv::Size frame_size, const std::string& video);

/// Size a frame of `size` is scaled to so that it is `target_height` high: the width follows
/// the aspect ratio, rounded up. Throws ArgumentError when the width does not fit an int.
cv::Size height_scaled(cv::Size size, int target_height);

}  // namespace kovra_utils::video_detail
