#pragma once

// Pen polygon, box geometry, detection filtering and the first-frame initializer.
//
// Pen polygon files are JSON documents whose "shapes"[0]."points" array holds the pen outline
// as [x, y] pairs in frame pixels. They are read again on every call. A file that cannot be
// read is a FileError, malformed content a ContentError; both name the file and the member.
// Images are RGB unless a comment says otherwise.

#include <kovra_utils/config.hpp>
#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

// ---- Pen polygon ----------------------------------------------------------------------------

/// A pen outline: (x, y) points in frame pixels, in file order, as read (not rounded).
using PenPolygon = std::vector<cv::Point2d>;

/// The pen polygon file for a clip: `custom_pen_json_path` when given; otherwise the camera
/// table's entry (PEN_JSON_DIR / "CamNN.json") for the camera named in `video_dir`, whose
/// components are separated by "\"; absent when no known camera is named. Never fails and
/// never touches the file system.
std::optional<std::string> get_pen_json_path(
    const std::string& video_dir,
    const std::optional<std::string>& custom_pen_json_path = std::nullopt);

/// Result of draw_pen: the outline, and with `drawout` the RGB frame with the outline drawn.
struct DrawnPen {
  std::optional<cv::Mat> image;
  PenPolygon polygon_points;
};

/// Reads the pen outline from `json_path` ("shapes"[0]."points"); with `drawout` also opens
/// `image_path` and draws the closed outline on it in red, 3 pixels wide, round joints (RGB).
/// Throws FileError for an absent or unreadable file or image, ContentError for bad JSON, a
/// missing member, a point that is not two numbers, fewer than three points, or empty "shapes"
/// (its message starts with "No shapes found in the JSON file.").
DrawnPen draw_pen(const std::string& image_path, const std::optional<std::string>& json_path,
                  bool drawout = false);

/// Result of calculate_pen_intersection_ratio, one entry per box in box order.
struct PenIntersection {
  /// Percentage of each box's area inside the pen (0 for a box of zero area).
  std::vector<double> intersection_ratio_list;
  /// Whether each percentage is at least the threshold.
  std::vector<bool> in_pen_index;
};

/// Share of every box inside the pen, by exact polygon clipping (non-convex pens included);
/// `ratio_threshold` is in percent and inclusive. Throws ArgumentError for an empty box list or
/// a non-finite coordinate, ContentError when the outline is not a usable polygon.
PenIntersection calculate_pen_intersection_ratio(const PenPolygon& polygon_points,
                                                 const std::vector<Box>& boxes,
                                                 double ratio_threshold);

/// `test_mask` with every pixel outside the pen cleared: the outline's points truncated toward
/// zero and filled as cv::fillPoly does (8-connected, border pixels inside). Works in the
/// mask's bounding rectangle, so the cost follows the mask, not the frame. `frame_idx` must
/// index `frame_names` (std::out_of_range otherwise); the frame image itself is not read.
Mask get_in_pen_mask(std::int64_t frame_idx, const Mask& test_mask,
                     const std::optional<std::string>& pen_json_path,
                     const std::vector<std::string>& frame_names);

// ---- Box geometry and detection filtering ---------------------------------------------------

/// Detections as three aligned sequences; row i of each describes the same detection.
struct FilteredDetections {
  std::vector<Box> boxes;
  std::vector<double> scores;
  std::vector<std::string> labels;
  /// Copied from the detection result: the scores print in float32's shortest form.
  bool float32_scores = false;
};

/// The first image's detections ordered by top edge, then left edge (stable), restricted to
/// `target_label` (whole text, case-sensitive) when any detection carries it, all kept
/// otherwise. Throws std::out_of_range when `gdino_results` is empty, ContentError when the
/// three sequences differ in length or a box coordinate is not finite.
FilteredDetections process_gdino_results(const std::vector<DetectionResult>& gdino_results,
                                         const std::string& target_label = "pig");

/// Intersection over union of two boxes, coordinates used as given; 0 when the union is not
/// positive.
double calculate_iou(const Box& box1, const Box& box2);

// ---- First-frame initializer ----------------------------------------------------------------

/// Result of initializer; all members absent when no tried frame qualifies.
struct InitializerResult {
  /// The kept masks, in ascending box order.
  std::optional<std::vector<Mask>> masks;
  /// The kept detection labels, aligned with `masks`.
  std::optional<std::vector<std::string>> OBJECTS;
  /// Index into frame_names of the accepted frame.
  std::optional<std::int64_t> ann_frame_idx;
  /// RGBA copy of the frame with the kept masks, their boxes and keys drawn (img_bbx_drawing).
  std::optional<cv::Mat> annotated_frame;
};

/// Tries frames start_index, start_index + step, ... of `frame_names` until one yields exactly
/// `close_set_num` masks: detection with the prompt "pig." (the frame as stored: RGB, or RGBA
/// for a frame with alpha), pen filter (at least 40 % of the box inside), size filter, one segmentation of all
/// remaining boxes (RGB), removal of masks more than 8 % inside another, renumbering. Prints its
/// progress to standard output. Throws ArgumentError for a step below 1 or a negative
/// start_index, before any frame is tried; FileError for an unreadable frame or pen file; model
/// errors propagate unchanged.
InitializerResult initializer(const std::string& video_dir,
                              const std::vector<std::string>& frame_names,
                              DetectionProcessor& processor, DetectionNetwork& grounding_model,
                              const Device& device, SegmentationPredictor& image_predictor,
                              std::int64_t start_index = 0, std::int64_t step = 10,
                              double gdino_thr = 0.25, std::int64_t close_set_num = 10,
                              const std::optional<std::string>& custom_pen_json_path = std::nullopt);

}  // namespace kovra_utils
