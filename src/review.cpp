#include <kovra_utils/review.hpp>

#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Tracking question report
// ---------------------------------------------------------------------------------------------

const std::vector<std::string>& tracking_report_columns() {
  static const std::vector<std::string> columns = {"Frame ID",   "Box Pair",   "Intersection Value",
                                                   "Mask Area1", "Mask Area2", "Report type",
                                                   "Box ID",     "Mask Areas"};
  return columns;
}

namespace {

const IntersectionTable& intersections_of(std::int64_t frame_id, const FrameRecord& record) {
  if (!record.intersections_df) {
    throw ContentError("frame " + std::to_string(frame_id) +
                       " has no intersection table (the clip must be loaded whole)");
  }
  return *record.intersections_df;
}

std::int64_t area_of(std::int64_t frame_id, const FrameRecord& record, const std::string& key) {
  const auto found = record.mask_areas.find(key);
  if (found == record.mask_areas.end()) {
    throw std::out_of_range("frame " + std::to_string(frame_id) + ": mask_areas has no key " +
                            text::quote(key));
  }
  return found->second;
}

bool has_high_overlap(const IntersectionTable& table, double intersection_thrr) {
  return std::any_of(table.values().begin(), table.values().end(),
                     [&](double cell) { return cell > intersection_thrr; });
}

std::vector<Value> zero_area_row(std::int64_t frame_id, const std::string& box_key,
                                 std::int64_t area) {
  return {frame_id, {}, {}, {}, {}, std::string("Zero area detected"), box_key, area};
}

// The high-overlap rows of one frame, cells in row-major order.
Table high_overlap_rows(std::int64_t frame_id, const FrameRecord& record,
                        double intersection_thrr) {
  const IntersectionTable& table = intersections_of(frame_id, record);
  const auto& keys = table.keys();
  Table rows(tracking_report_columns());
  for (std::size_t r = 0; r < keys.size(); ++r) {
    for (std::size_t c = 0; c < keys.size(); ++c) {
      const double value = table.at(r, c);
      if (!(value > intersection_thrr)) continue;
      rows.append_row({frame_id,
                       keys[r] + "-" + keys[c],
                       text::round_to(value, 2),
                       area_of(frame_id, record, keys[r]),
                       area_of(frame_id, record, keys[c]),
                       std::string("High overlap mask detected"),
                       {},
                       {}});
    }
  }
  return rows;
}

}  // namespace

TrackingReport generate_tracking_report(const ClipData& kovra_annotation_data,
                                        const std::string& save_dir_base,
                                        double intersection_thrr) {
  TrackingReport report{Table(tracking_report_columns()),
                        Table(tracking_report_columns()),
                        {},
                        Table(tracking_report_columns())};
  for (const auto& [frame_id, record] : kovra_annotation_data) {
    for (const auto& [box_key, area] : record.mask_areas) {
      if (area <= 0) report.zero_area_frames.append_row(zero_area_row(frame_id, box_key, area));
    }
    if (has_high_overlap(intersections_of(frame_id, record), intersection_thrr)) {
      report.overlap_frames.push_back(frame_id);
    }
  }
  if (report.zero_area_frames.empty() && report.overlap_frames.empty()) return report;

  std::cout << "Generating tracking question report...\n" << std::endl;
  for (std::int64_t frame_id : report.overlap_frames) {
    report.box_keys_df =
        high_overlap_rows(frame_id, kovra_annotation_data.at(frame_id), intersection_thrr);
    report.overlap_frames_data.append(report.box_keys_df);
  }
  Table report_df = report.overlap_frames_data;
  report_df.append(report.zero_area_frames);
  const std::filesystem::path report_path =
      std::filesystem::path(save_dir_base) / "tracking_question_report.csv";
  report_df.write_csv(report_path);
  std::cout << "Tracking question report saved to " << report_path.string() << std::endl;
  return report;
}

// ---------------------------------------------------------------------------------------------
// Continuous-frame runs
// ---------------------------------------------------------------------------------------------

namespace {

std::vector<std::int64_t> sorted_frames(const Table& frames_df,
                                        const std::vector<std::size_t>& rows) {
  std::vector<std::int64_t> frames;
  frames.reserve(rows.size());
  for (std::size_t row : rows) frames.push_back(frames_df.integer(row, "Frame ID"));
  std::sort(frames.begin(), frames.end());
  return frames;
}

bool follows(std::int64_t previous, std::int64_t next) {
  return previous < std::numeric_limits<std::int64_t>::max() && next == previous + 1;
}

// Maximal stretches of ascending frames that grow by exactly one.
FrameRuns cut_into_runs(const std::vector<std::int64_t>& frames) {
  FrameRuns runs;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i == 0 || !follows(frames[i - 1], frames[i])) runs.emplace_back();
    runs.back().push_back(frames[i]);
  }
  return runs;
}

}  // namespace

FrameRunsMap find_continuous_frames(const Table& frames_df, const std::string& group_by,
                                    std::int64_t n_consecutive) {
  FrameRunsMap result;
  for (const auto& [group, rows] : frames_df.group_by(group_by)) {
    for (auto& run : cut_into_runs(sorted_frames(frames_df, rows))) {
      if (static_cast<std::int64_t>(run.size()) >= n_consecutive) {
        result[group].push_back(std::move(run));
      }
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Overlap-frame resolution
// ---------------------------------------------------------------------------------------------

namespace {

constexpr int kComparedFrames = 5;

std::size_t distinct_values(const Table& table, std::string_view column) {
  return table.group_by(column).size();
}

std::vector<std::string> pair_keys(const FrameRunsMap& con_frames_dict) {
  std::vector<std::string> keys;
  for (const auto& [key, runs] : con_frames_dict) {
    const auto* text_key = std::get_if<std::string>(&key);
    if (!text_key) {
      const auto* number = std::get_if<std::int64_t>(&key);
      throw ContentError(
          "\"Box Pair\" values must be text, got " +
          (number ? std::to_string(*number) : text::format_float(std::get<double>(key))));
    }
    keys.push_back(*text_key);
  }
  return keys;
}

// Number of table rows per "Frame ID": the overlapping box pairs of each frame.
std::map<std::int64_t, std::int64_t> pairs_per_frame(const Table& overlap_table) {
  std::map<std::int64_t, std::int64_t> counts;
  const std::size_t column = overlap_table.column_index("Frame ID");
  for (std::size_t row = 0; row < overlap_table.row_count(); ++row) {
    if (std::holds_alternative<std::monostate>(overlap_table.at(row, column))) continue;
    ++counts[overlap_table.integer(row, "Frame ID")];
  }
  return counts;
}

struct PairFrames {
  std::optional<std::int64_t> single;
  std::optional<std::int64_t> multiple;
  bool reverse_track = false;
};

// First (or, when the overlap is present at frame 0, last) frames of a pair's runs in which
// exactly one and more than one box pair overlap.
PairFrames pair_frames(const FrameRuns& runs,
                       const std::map<std::int64_t, std::int64_t>& pairs_in_frame) {
  std::set<std::int64_t> frames;
  for (const auto& run : runs) frames.insert(run.begin(), run.end());
  PairFrames first;
  PairFrames last;
  for (std::int64_t frame : frames) {
    const bool single = pairs_in_frame.at(frame) == 1;
    auto& slot_first = single ? first.single : first.multiple;
    if (!slot_first) slot_first = frame;
    (single ? last.single : last.multiple) = frame;
  }
  if (first.single == 0 || first.multiple == 0) {
    last.reverse_track = true;
    return last;
  }
  return first;
}

std::string frame_text(const std::optional<std::int64_t>& frame) {
  return frame ? std::to_string(*frame)
               : text::format_float(std::numeric_limits<double>::quiet_NaN());
}

void print_pair_frames(const std::string& pair_key, const PairFrames& frames) {
  std::cout << "Box Pair: " << pair_key << '\n'
            << "First frame with a single boxpair: " << frame_text(frames.single) << '\n'
            << "First frame with multiple boxpairs: " << frame_text(frames.multiple) << '\n'
            << "reverse_track: " << text::format_bool(frames.reverse_track) << std::endl;
}

// The box keys of a pair key. A key's number may be negative (Box-1), so only a "-" that
// starts the next "Box" separates two keys.
std::vector<std::string> split_pair_key(const std::string& pair_key) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t dash = pair_key.find("-Box"); dash != std::string::npos;
       dash = pair_key.find("-Box", dash + 1)) {
    parts.push_back(pair_key.substr(start, dash - start));
    start = dash + 1;
  }
  parts.push_back(pair_key.substr(start));
  return parts;
}

std::vector<std::string> boxes_of_pairs(const std::vector<std::string>& pair_keys) {
  std::set<std::string> boxes;
  for (const auto& key : pair_keys) {
    for (auto& box : split_pair_key(key)) boxes.insert(std::move(box));
  }
  return {boxes.begin(), boxes.end()};
}

bool in_clip(std::int64_t frame, std::size_t frame_count) {
  return frame >= 0 && static_cast<std::uint64_t>(frame) < frame_count;
}

// The clean-side frames and the frame past the test frame they are compared with; empty when
// the offsets would leave the integer range (no such frame is in a clip).
struct Comparison {
  std::vector<std::int64_t> frame_range;
  std::int64_t n = 0;
};

Comparison comparison_frames(std::int64_t test_frame, bool reverse_track) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (test_frame > kMax - kComparedFrames || test_frame < kMin + kComparedFrames) return {};
  Comparison comparison;
  const std::int64_t first = reverse_track ? test_frame : test_frame - kComparedFrames;
  for (int i = 0; i < kComparedFrames; ++i) comparison.frame_range.push_back(first + i);
  comparison.n = reverse_track ? test_frame - 1 : test_frame + 1;
  return comparison;
}

const FrameRecord& frame_record(const ClipData& clip, std::int64_t frame) {
  const auto found = clip.find(frame);
  if (found == clip.end()) {
    throw std::out_of_range("frame " + std::to_string(frame) + " is not in the loaded clip");
  }
  return found->second;
}

std::vector<Mask> masks_of(const FrameRecord& record, std::int64_t frame,
                           const std::vector<std::string>& boxes) {
  std::vector<Mask> masks;
  for (const auto& box : boxes) {
    const auto found = record.masks_dict.find(box);
    if (found == record.masks_dict.end()) {
      throw std::out_of_range("frame " + std::to_string(frame) + " has no mask " +
                              text::quote(box));
    }
    masks.push_back(found->second);
  }
  return masks;
}

// Frame images as RGB, each file decoded once per call.
class ImageCache {
 public:
  const cv::Mat& rgb(const FrameRecord& record, std::int64_t frame) {
    auto found = images_.find(record.image_path);
    if (found != images_.end()) return found->second;
    const cv::Mat bgr = cv::imread(record.image_path, cv::IMREAD_COLOR);
    if (bgr.empty()) {
      throw FileError("cannot read the image " + record.image_path + " of frame " +
                      std::to_string(frame));
    }
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    return images_.emplace(record.image_path, std::move(rgb)).first->second;
  }

 private:
  std::map<std::string, cv::Mat> images_;
};

double mask_iou(const Mask& a, const Mask& b) {
  const auto both = static_cast<double>(overlap_count(a, b));
  const auto either = static_cast<double>(a.area() + b.area()) - both;
  return both / (either + 1e-6);
}

// IoU of two inclusive boxes [x_min, y_min, x_max, y_max], without a one-pixel correction.
double bb_iou(const std::array<int, 4>& a, const std::array<int, 4>& b) {
  const double x_a = std::max(a[0], b[0]);
  const double y_a = std::max(a[1], b[1]);
  const double x_b = std::min(a[2], b[2]);
  const double y_b = std::min(a[3], b[3]);
  const double inter_area = std::max(0.0, x_b - x_a) * std::max(0.0, y_b - y_a);
  const double box_a_area = static_cast<double>(a[2] - a[0]) * (a[3] - a[1]);
  const double box_b_area = static_cast<double>(b[2] - b[0]) * (b[3] - b[1]);
  return inter_area / (box_a_area + box_b_area - inter_area + 1e-6);
}

// Index of the largest score, the first on a tie; a NaN score wins, as in numpy's argmax.
std::size_t argmax(const std::vector<double>& scores) {
  std::size_t best = 0;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    if (std::isnan(scores[k])) return k;
    if (scores[k] > scores[best]) best = k;
  }
  return best;
}

// The box of `boxes` whose mask differs most between frame m (old) and frame n (new).
std::string worst_box(const std::vector<std::string>& boxes, const std::vector<Mask>& masks_old,
                      const cv::Mat& image_old, const std::vector<Mask>& masks_new,
                      const cv::Mat& image_new, SegmentationPredictor& image_predictor) {
  constexpr double w1 = 1.0, w2 = 1.0, w3 = 1.0;
  std::vector<double> ious_shape;
  std::vector<double> ious_bbox;
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    ious_shape.push_back(mask_iou(masks_old[k], masks_new[k]));
    ious_bbox.push_back(bb_iou(masks_old[k].box(), masks_new[k].box()));
  }
  const FeatureList image_features_old =
      generate_sam2_image_features(image_old, masks_old, image_predictor);
  const FeatureList image_features_new =
      generate_sam2_image_features(image_new, masks_new, image_predictor);
  const cv::Mat cosine_scores = cosine_scores_cal(image_features_new, image_features_old);
  std::vector<double> mismatch_scores;
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    const double cosine_diag = cosine_scores.at<double>(static_cast<int>(k), static_cast<int>(k));
    mismatch_scores.push_back(w1 * (1 - cosine_diag) + w2 * (1 - ious_shape[k]) +
                              w3 * (1 - ious_bbox[k]));
  }
  return boxes[argmax(mismatch_scores)];
}

// The most frequent entry; on a tie the one that occurs first.
std::string most_frequent(const std::vector<std::string>& entries) {
  std::map<std::string, std::size_t> counts;
  for (const auto& entry : entries) ++counts[entry];
  const std::string* best = &entries.front();
  for (const auto& entry : entries) {
    if (counts[entry] > counts[*best]) best = &entry;
  }
  return *best;
}

}  // namespace

OverlapResolution process_overlap_frames(const Table& overlap_frames_dataframe,
                                         const ClipData& kovra_annotation_data,
                                         SegmentationPredictor& image_predictor,
                                         std::int64_t n_consecutive) {
  OverlapResolution result;
  const std::int64_t run_length =
      distinct_values(overlap_frames_dataframe, "Box Pair") > 1 ? n_consecutive + 2 : n_consecutive;
  result.con_frames_dict = find_continuous_frames(overlap_frames_dataframe, "Box Pair", run_length);
  const std::vector<std::string> keys = pair_keys(result.con_frames_dict);
  std::cout << text::format_dict_keys(keys) << std::endl;

  const auto pairs_in_frame = pairs_per_frame(overlap_frames_dataframe);
  std::vector<PairFrames> frames_per_pair;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    frames_per_pair.push_back(pair_frames(result.con_frames_dict.at(keys[i]), pairs_in_frame));
    print_pair_frames(keys[i], frames_per_pair.back());
  }
  const bool reverse_track = !frames_per_pair.empty() && frames_per_pair.back().reverse_track;

  const std::vector<std::string> test_boxes = boxes_of_pairs(keys);
  for (const auto& frames : frames_per_pair) {
    for (const auto& frame : {frames.single, frames.multiple}) {
      if (frame && (!result.test_frame || *frame < *result.test_frame)) result.test_frame = frame;
    }
  }
  if (!result.test_frame) return result;

  const Comparison comparison = comparison_frames(*result.test_frame, reverse_track);
  const std::size_t frame_count = kovra_annotation_data.size();
  ImageCache images;
  for (std::int64_t m : comparison.frame_range) {
    if (!in_clip(comparison.n, frame_count) || !in_clip(m, frame_count)) continue;
    const FrameRecord& old_record = frame_record(kovra_annotation_data, m);
    const FrameRecord& new_record = frame_record(kovra_annotation_data, comparison.n);
    const std::vector<Mask> masks_old = masks_of(old_record, m, test_boxes);
    const cv::Mat& image_old = images.rgb(old_record, m);
    const std::vector<Mask> masks_new = masks_of(new_record, comparison.n, test_boxes);
    const cv::Mat& image_new = images.rgb(new_record, comparison.n);
    result.worst_boxes.push_back(
        worst_box(test_boxes, masks_old, image_old, masks_new, image_new, image_predictor));
  }
  if (result.worst_boxes.empty()) return result;

  result.most_frequent_box = most_frequent(result.worst_boxes);
  std::cout << "Most frequent box with errors: " << *result.most_frequent_box << std::endl;
  return result;
}

}  // namespace kovra_utils
