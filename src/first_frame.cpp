#include <kovra_utils/first_frame.hpp>

#include <kovra_utils/cancellation.hpp>
#include "annotation_file.hpp"
#include "draw.hpp"
#include "first_frame_steps.hpp"
#include "geometry.hpp"
#include "image_header.hpp"
#include "text.hpp"

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/visual.hpp>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <sstream>
#include <string_view>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Pen polygon
// ---------------------------------------------------------------------------------------------

namespace {

bool is_finite(const Box& box) {
  return std::isfinite(box.x1) && std::isfinite(box.y1) && std::isfinite(box.x2) &&
         std::isfinite(box.y2);
}

const std::map<std::string, std::string>& pen_file_names() {
  static const std::map<std::string, std::string> json_paths = {
      {"Camera61", "Cam61.json"}, {"Camera62", "Cam62.json"}, {"Camera64", "Cam64.json"},
      {"Camera65", "Cam65.json"}, {"Camera66", "Cam66.json"}, {"Camera70", "Cam70.json"},
  };
  return json_paths;
}

// The camera named by the first "\"-separated component that contains "Camera": that
// component up to its first "_".
std::optional<std::string> camera_name(std::string_view video_dir) {
  std::size_t start = 0;
  while (start <= video_dir.size()) {
    const std::size_t end = std::min(video_dir.find('\\', start), video_dir.size());
    const std::string_view component = video_dir.substr(start, end - start);
    if (component.find("Camera") != std::string_view::npos) {
      return std::string(component.substr(0, component.find('_')));
    }
    start = end + 1;
  }
  return std::nullopt;
}

nlohmann::json read_json(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError("cannot open pen polygon file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw FileError("cannot read pen polygon file " + path);
  return annotation_file::parse_json_text<nlohmann::json>(std::move(text).str(), path);
}

bool is_empty_value(const nlohmann::json& value) {
  return value.is_null() || ((value.is_array() || value.is_object() || value.is_string()) &&
                             value.empty());
}

const nlohmann::json& first_shape(const nlohmann::json& document, const std::string& path) {
  if (!document.is_object() || !document.contains("shapes")) {
    throw ContentError("\"shapes\" missing in " + path);
  }
  const nlohmann::json& shapes = document["shapes"];
  if (is_empty_value(shapes)) {
    throw ContentError("No shapes found in the JSON file. (" + path + ")");
  }
  if (!shapes.is_array()) throw ContentError("\"shapes\" in " + path + " is not an array");
  return shapes[0];
}

PenPolygon read_pen_polygon(const std::string& path) {
  const nlohmann::json document = read_json(path);
  const nlohmann::json& shape = first_shape(document, path);
  if (!shape.is_object() || !shape.contains("points")) {
    throw ContentError("\"shapes\"[0].\"points\" missing in " + path);
  }
  const nlohmann::json& points = shape["points"];
  if (!points.is_array()) {
    throw ContentError("\"shapes\"[0].\"points\" in " + path + " is not an array");
  }
  PenPolygon polygon;
  polygon.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const nlohmann::json& point = points[i];
    if (!point.is_array() || point.size() != 2 || !point[0].is_number() ||
        !point[1].is_number()) {
      throw ContentError("\"shapes\"[0].\"points\"[" + std::to_string(i) + "] in " + path +
                         ": expected two numbers, got " + annotation_file::brief_json(point));
    }
    polygon.emplace_back(point[0].get<double>(), point[1].get<double>());
  }
  if (polygon.size() < 3) {
    throw ContentError("\"shapes\"[0].\"points\" in " + path +
                       ": a pen outline needs at least 3 points, got " +
                       std::to_string(polygon.size()));
  }
  return polygon;
}

// Largest coordinate magnitude the integer drawing code (fixed point included) handles without
// overflow.
constexpr double kMaxPixelCoordinate = 1 << 26;

void require_drawable(const PenPolygon& polygon, const std::string& path) {
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const cv::Point2d& p = polygon[i];
    if (!(std::abs(p.x) < kMaxPixelCoordinate) || !(std::abs(p.y) < kMaxPixelCoordinate)) {
      throw ContentError("\"shapes\"[0].\"points\"[" + std::to_string(i) + "] in " + path +
                         ": coordinate out of range (" + text::format_float(p.x) + ", " +
                         text::format_float(p.y) + ")");
    }
  }
}

// Points truncated toward zero, as the pen mask is filled.
std::vector<cv::Point> truncated_points(const PenPolygon& polygon, const std::string& path) {
  require_drawable(polygon, path);
  std::vector<cv::Point> points;
  points.reserve(polygon.size());
  for (const cv::Point2d& p : polygon) {
    points.emplace_back(static_cast<int>(std::trunc(p.x)), static_cast<int>(std::trunc(p.y)));
  }
  return points;
}

// The frame as cv::imread gives it: 8-bit BGR, EXIF orientation applied.
cv::Mat read_frame(const std::string& img_path) {
  image_header::require_decodable(img_path);
  cv::Mat image = cv::imread(img_path, cv::IMREAD_COLOR);
  if (image.empty()) throw FileError("cannot read frame image " + img_path);
  return image;
}

cv::Mat to_rgb(const cv::Mat& bgr) {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

// The closed outline, 3 pixels wide, through the points truncated toward zero. Rounded joints
// are only drawn for lines wider than 4 pixels, so there are none.
void draw_outline(cv::Mat& rgb, const PenPolygon& polygon, const std::string& path) {
  const std::vector<cv::Point> points = truncated_points(polygon, path);
  for (std::size_t i = 0; i < points.size(); ++i) {
    draw::wide_line(rgb, points[i], points[(i + 1) % points.size()], cv::Scalar(255, 0, 0), 3);
  }
}

}  // namespace

std::optional<std::string> get_pen_json_path(const std::string& video_dir,
                                             const std::optional<std::string>& custom_pen_json_path) {
  const std::optional<std::string> camera = camera_name(video_dir);
  if (custom_pen_json_path) return custom_pen_json_path;
  if (!camera) return std::nullopt;
  const auto entry = pen_file_names().find(*camera);
  if (entry == pen_file_names().end()) return std::nullopt;
  return std::string(PEN_JSON_DIR) + "/" + entry->second;
}

DrawnPen draw_pen(const std::string& image_path, const std::optional<std::string>& json_path,
                  bool drawout) {
  if (!json_path) throw FileError("no pen polygon file for this clip (path is None)");
  DrawnPen result{std::nullopt, read_pen_polygon(*json_path)};
  if (drawout) {
    cv::Mat image = to_rgb(read_frame(image_path));
    draw_outline(image, result.polygon_points, *json_path);
    result.image = image;
  }
  return result;
}

PenIntersection calculate_pen_intersection_ratio(const PenPolygon& polygon_points,
                                                 const std::vector<Box>& boxes,
                                                 double ratio_threshold) {
  if (boxes.empty()) throw ArgumentError("pen intersection ratio needs at least one box, got []");
  const geometry::PolygonClipper pen(polygon_points);
  PenIntersection result;
  result.intersection_ratio_list.reserve(boxes.size());
  result.in_pen_index.reserve(boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const Box& box = boxes[i];
    if (!is_finite(box)) {
      throw ArgumentError("box " + std::to_string(i) + " has a non-finite coordinate");
    }
    const double x_min = std::min(box.x1, box.x2);
    const double x_max = std::max(box.x1, box.x2);
    const double y_min = std::min(box.y1, box.y2);
    const double y_max = std::max(box.y1, box.y2);
    const double box_area = (x_max - x_min) * (y_max - y_min);
    // A degenerate box lies in no pen; it must not end the caller's whole search.
    const double ratio =
        box_area > 0 ? pen.intersection_area(x_min, y_min, x_max, y_max) / box_area * 100 : 0.0;
    result.intersection_ratio_list.push_back(ratio);
    result.in_pen_index.push_back(ratio >= ratio_threshold);
  }
  return result;
}

Mask get_in_pen_mask(std::int64_t frame_idx, const Mask& test_mask,
                     const std::optional<std::string>& pen_json_path,
                     const std::vector<std::string>& frame_names) {
  if (frame_idx < 0 || frame_idx >= static_cast<std::int64_t>(frame_names.size())) {
    throw std::out_of_range("frame index " + std::to_string(frame_idx) + " outside the " +
                            std::to_string(frame_names.size()) + " frame names");
  }
  const DrawnPen pen =
      draw_pen(frame_names[static_cast<std::size_t>(frame_idx)], pen_json_path, false);
  if (test_mask.is_clear()) return test_mask;
  const std::vector<cv::Point> points = truncated_points(pen.polygon_points, *pen_json_path);
  const cv::Rect window = test_mask.bounds();
  const cv::Mat in_pen = geometry::fill_polygon_window(points, test_mask.size(), window);
  return Mask::from_crop(test_mask.size(), window.tl(), test_mask.crop() & in_pen);
}

// ---------------------------------------------------------------------------------------------
// Box geometry and detection filtering
// ---------------------------------------------------------------------------------------------

namespace {

void require_aligned(const DetectionResult& result) {
  if (result.scores.size() != result.boxes.size() || result.labels.size() != result.boxes.size()) {
    throw ContentError("detection result holds " + std::to_string(result.boxes.size()) +
                       " boxes, " + std::to_string(result.scores.size()) + " scores and " +
                       std::to_string(result.labels.size()) + " labels");
  }
  for (std::size_t i = 0; i < result.boxes.size(); ++i) {
    if (!is_finite(result.boxes[i])) {
      throw ContentError("detection box " + std::to_string(i) + " has a non-finite coordinate");
    }
  }
}

}  // namespace

FilteredDetections process_gdino_results(const std::vector<DetectionResult>& gdino_results,
                                         const std::string& target_label) {
  if (gdino_results.empty()) throw std::out_of_range("detection results hold no entry");
  const DetectionResult& result = gdino_results.front();
  require_aligned(result);

  std::vector<std::size_t> order(result.boxes.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const Box& box_a = result.boxes[a];
    const Box& box_b = result.boxes[b];
    if (box_a.y1 != box_b.y1) return box_a.y1 < box_b.y1;
    return box_a.x1 < box_b.x1;
  });
  const bool any_target = std::find(result.labels.begin(), result.labels.end(), target_label) !=
                          result.labels.end();

  FilteredDetections kept;
  for (const std::size_t i : order) {
    if (any_target && result.labels[i] != target_label) continue;
    kept.boxes.push_back(result.boxes[i]);
    kept.scores.push_back(result.scores[i]);
    kept.labels.push_back(result.labels[i]);
  }
  kept.float32_scores = result.float32_scores;
  return kept;
}

double calculate_iou(const Box& box1, const Box& box2) {
  const double x_topleft_intersection = std::max(box1.x1, box2.x1);
  const double y_topleft_intersection = std::max(box1.y1, box2.y1);
  const double x_bottomright_intersection = std::min(box1.x2, box2.x2);
  const double y_bottomright_intersection = std::min(box1.y2, box2.y2);
  double intersection_area = 0.0;
  if (x_topleft_intersection < x_bottomright_intersection &&
      y_topleft_intersection < y_bottomright_intersection) {
    intersection_area = (x_bottomright_intersection - x_topleft_intersection) *
                        (y_bottomright_intersection - y_topleft_intersection);
  }
  const double area_box1 = (box1.x2 - box1.x1) * (box1.y2 - box1.y1);
  const double area_box2 = (box2.x2 - box2.x1) * (box2.y2 - box2.y1);
  const double union_area = area_box1 + area_box2 - intersection_area;
  return union_area > 0 ? intersection_area / union_area : 0.0;
}

// ---------------------------------------------------------------------------------------------
// First-frame initializer
// ---------------------------------------------------------------------------------------------

namespace first_frame_steps {

FilteredDetections select_rows(const FilteredDetections& detections,
                               const std::vector<bool>& keep) {
  FilteredDetections kept;
  kept.float32_scores = detections.float32_scores;
  for (std::size_t i = 0; i < detections.boxes.size(); ++i) {
    if (!keep[i]) continue;
    kept.boxes.push_back(detections.boxes[i]);
    kept.scores.push_back(detections.scores[i]);
    kept.labels.push_back(detections.labels[i]);
  }
  return kept;
}

FilteredDetections keep_in_pen(const FilteredDetections& detections, const PenPolygon& pen) {
  return select_rows(detections,
                     calculate_pen_intersection_ratio(pen, detections.boxes, kPenRatioThreshold)
                         .in_pen_index);
}

FilteredDetections keep_plausible_size(const FilteredDetections& detections, int image_height) {
  constexpr double kUpperHalfLimit = 1'500'000;
  constexpr double kLowerHalfLimit = 4'000'000;
  std::vector<bool> keep;
  keep.reserve(detections.boxes.size());
  for (const Box& box : detections.boxes) {
    const double area = (box.x2 - box.x1) * (box.y2 - box.y1);
    const bool upper_half = box.y1 < 0.5 * image_height;
    keep.push_back(area < (upper_half ? kUpperHalfLimit : kLowerHalfLimit));
  }
  return select_rows(detections, keep);
}

MasksDict numbered_masks(const std::vector<Mask>& masks) {
  MasksDict dict;
  for (std::size_t i = 0; i < masks.size(); ++i) dict["Box" + std::to_string(i)] = masks[i];
  return dict;
}

std::set<std::int64_t> duplicate_indices(const IntersectionTable& intersections_df,
                                         const std::vector<double>& scores) {
  // The table is built from numbered_masks, so a key's position is its box number.
  std::set<std::int64_t> removed_ixs;
  for (std::size_t i = 0; i < intersections_df.size(); ++i) {
    for (std::size_t j = 0; j < intersections_df.size(); ++j) {
      if (!(intersections_df.at(i, j) > kDuplicateOverlap)) continue;
      removed_ixs.insert(static_cast<std::int64_t>(scores.at(i) > scores.at(j) ? j : i));
    }
  }
  return removed_ixs;
}

std::vector<std::int64_t> kept_indices(std::size_t count, const std::set<std::int64_t>& removed) {
  std::vector<std::int64_t> kept;
  for (std::size_t i = 0; i < count; ++i) {
    if (!removed.count(static_cast<std::int64_t>(i))) kept.push_back(static_cast<std::int64_t>(i));
  }
  return kept;
}

KeptMasks remove_duplicates(const FilteredDetections& detections, const std::vector<Mask>& masks) {
  const MasksDict masks_dict = numbered_masks(masks);
  const MaskAreas masks_areas = count_mask_areas(masks_dict);
  const IntersectionTable intersections_df = intersection_between_masks(masks_dict, masks_areas);
  KeptMasks kept;
  kept.boxkeys = kept_indices(masks.size(), duplicate_indices(intersections_df, detections.scores));
  std::vector<bool> keep(masks.size(), false);
  for (const std::int64_t i : kept.boxkeys) {
    keep[static_cast<std::size_t>(i)] = true;
    kept.masks.push_back(masks[static_cast<std::size_t>(i)]);
  }
  kept.detections = select_rows(detections, keep);
  kept.masks_dict = numbered_masks(kept.masks);
  return kept;
}

}  // namespace first_frame_steps

namespace {

namespace steps = first_frame_steps;

// start_index, start_index + step, ... below frame_count; computed without overflow.
std::vector<std::int64_t> tried_indices(std::int64_t start_index, std::int64_t step,
                                        std::int64_t frame_count) {
  if (step < 1) throw ArgumentError("step must be a positive integer, got " + std::to_string(step));
  if (start_index < 0) {
    throw ArgumentError("start_index must not be negative, got " + std::to_string(start_index));
  }
  std::vector<std::int64_t> indices;
  for (std::int64_t index = start_index; index < frame_count; index += step) {
    indices.push_back(index);
    if (frame_count - index <= step) break;
  }
  return indices;
}

FilteredDetections detect(const cv::Mat& image, DetectionProcessor& processor,
                          DetectionNetwork& grounding_model, const Device& device,
                          double gdino_thr) {
  const std::unique_ptr<DetectorBatch> gdino_inputs =
      processor(image, "pig.", "pt")->to(device);
  const std::any gdino_outputs = grounding_model(*gdino_inputs);
  const std::vector<DetectionResult> gdino_results =
      processor.post_process_grounded_object_detection(gdino_outputs, gdino_inputs->input_ids(),
                                                       gdino_thr, {{image.rows, image.cols}});
  return process_gdino_results(gdino_results);
}

std::string format_scores(const FilteredDetections& detections) {
  if (!detections.float32_scores) return text::format_array(detections.scores);
  return text::format_array(std::vector<float>(detections.scores.begin(), detections.scores.end()));
}

cv::Mat box_matrix(const std::vector<Box>& boxes) {
  cv::Mat matrix(static_cast<int>(boxes.size()), 4, CV_64F);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    auto* row = matrix.ptr<double>(static_cast<int>(i));
    row[0] = boxes[i].x1;
    row[1] = boxes[i].y1;
    row[2] = boxes[i].x2;
    row[3] = boxes[i].y2;
  }
  return matrix;
}

// The frame in its stored mode, as the detector and the annotated copy take it: RGB, or RGBA
// for a file with alpha.
cv::Mat frame_as_stored(const std::string& img_path, const cv::Mat& rgb) {
  if (!image_header::may_hold_alpha(img_path)) return rgb;
  cv::Mat stored = draw::read_image_as_stored(img_path);
  // The detector's copy honours EXIF orientation; a turned frame keeps the masks' size.
  return stored.channels() == 4 && stored.size() == rgb.size() ? stored : rgb;
}

// One mask per box; no boxes means no segmentation call at all.
std::vector<Mask> segment(const cv::Mat& rgb, const std::vector<Box>& boxes,
                          SegmentationPredictor& image_predictor) {
  if (boxes.empty()) return {};
  image_predictor.set_image(rgb);
  const Prediction prediction =
      image_predictor.predict(std::nullopt, std::nullopt, box_matrix(boxes), false);
  std::vector<Mask> masks = masks_from_prediction(prediction.masks, rgb.size());
  if (masks.size() != boxes.size()) {
    throw ContentError("segmentation returned " + std::to_string(masks.size()) + " masks for " +
                       std::to_string(boxes.size()) + " boxes");
  }
  return masks;
}

}  // namespace

InitializerResult initializer(const std::string& video_dir,
                              const std::vector<std::string>& frame_names,
                              DetectionProcessor& processor, DetectionNetwork& grounding_model,
                              const Device& device, SegmentationPredictor& image_predictor,
                              std::int64_t start_index, std::int64_t step, double gdino_thr,
                              std::int64_t close_set_num,
                              const std::optional<std::string>& custom_pen_json_path) {
  const std::vector<std::int64_t> indices =
      tried_indices(start_index, step, static_cast<std::int64_t>(frame_names.size()));
  const std::optional<std::string> pen_json_path =
      get_pen_json_path(video_dir, custom_pen_json_path);
  std::cout << "Using pen JSON path: " << text::format_optional(pen_json_path) << std::endl;

  for (const std::int64_t ann_frame_idx : indices) {
    check_cancellation();
    const std::string& img_path = frame_names[static_cast<std::size_t>(ann_frame_idx)];
    const cv::Mat rgb = to_rgb(read_frame(img_path));
    const cv::Mat image = frame_as_stored(img_path, rgb);
    FilteredDetections detections =
        detect(image, processor, grounding_model, device, gdino_thr);
    if (detections.boxes.empty()) {
      std::cout << "No boxes found in frame " << ann_frame_idx << ". Skipping to next frame."
                << std::endl;
      continue;
    }
    const PenPolygon pen_polygon_points = draw_pen(img_path, pen_json_path, false).polygon_points;
    detections = steps::keep_in_pen(detections, pen_polygon_points);
    detections = steps::keep_plausible_size(detections, image.rows);

    const std::vector<Mask> masks = segment(rgb, detections.boxes, image_predictor);
    const steps::KeptMasks kept = steps::remove_duplicates(detections, masks);
    const auto k = static_cast<std::int64_t>(kept.boxkeys.size());
    std::cout << "Boxes will be kept: " << text::format_array(kept.boxkeys) << ", totally " << k
              << " keys" << std::endl;

    if (k == close_set_num) {
      std::cout << "ann_frame_idx [" << ann_frame_idx << "] works!!!" << std::endl;
      std::cout << format_scores(kept.detections) << std::endl;
      return {kept.masks, kept.detections.labels, ann_frame_idx,
              img_bbx_drawing(image, kept.masks_dict)};
    }
    const char* verdict = k > close_set_num ? "too many" : "too few";
    std::cout << "ann_frame_idx [" << ann_frame_idx << "] cannot work, " << verdict
              << " bbx found..\n"
              << std::endl;
  }
  return {};
}

}  // namespace kovra_utils
