#pragma once

// Pen polygon, box geometry, detection filtering and the first-frame initializer.

#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// A pen outline: (x, y) points in frame pixels, in file order, as read (not rounded).
using PenPolygon = std::vector<cv::Point2d>;

/// The pen polygon file for a clip: `custom_pen_json_path` when given; otherwise the camera
/// table's entry (PEN_JSON_DIR / "CamNN.json") for the camera named in `video_dir`, whose
/// components are separated by "\"; absent when no known camera is named. Never fails.
std::optional<std::string> get_pen_json_path(
    const std::string& video_dir,
    const std::optional<std::string>& custom_pen_json_path = std::nullopt);

/// Result of draw_pen: the outline, and with `drawout` the RGB frame with the outline drawn.
struct DrawnPen {
  std::optional<cv::Mat> image;
  PenPolygon polygon_points;
};

/// Reads the pen outline from `json_path` ("shapes"[0]."points"); with `drawout` also opens
/// `image_path` and draws the closed outline on it (RGB). An absent `json_path` is a FileError.
DrawnPen draw_pen(const std::string& image_path, const std::optional<std::string>& json_path,
                  bool drawout = false);

/// `test_mask` with every pixel outside the pen polygon cleared. `frame_idx` must index
/// `frame_names` (std::out_of_range otherwise); the frame image itself is not read.
Mask get_in_pen_mask(std::int64_t frame_idx, const Mask& test_mask,
                     const std::optional<std::string>& pen_json_path,
                     const std::vector<std::string>& frame_names);

// (the rest of this subsystem's declarations follow)

}  // namespace kovra_utils
