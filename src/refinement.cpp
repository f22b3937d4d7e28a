#include <kovra_utils/refinement.hpp>

#include <kovra_utils/cancellation.hpp>
#include <kovra_utils/first_frame.hpp>

#include "text.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <numbers>
#include <numeric>

namespace kovra_utils {

namespace {

constexpr int kConnectivity = 8;
// Only this many of the largest components may become the main blob.
constexpr std::size_t kMainBlobCandidates = 5;
// From this main-blob area up, the first distance ratio applies.
constexpr int kLargeBlobArea = 1000;

using Points = std::vector<cv::Point>;

std::string object_text(std::int64_t frame_idx, std::int64_t object_id) {
  return std::to_string(frame_idx) + "--obj_id" + std::to_string(object_id);
}

// Outer-contour vertices of all blobs of a binary image, pooled, shifted by `offset`.
Points contour_points(const cv::Mat& binary, cv::Point offset) {
  if (binary.empty()) return {};
  std::vector<Points> contours;
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, offset);
  Points pooled;
  for (const Points& contour : contours)
    pooled.insert(pooled.end(), contour.begin(), contour.end());
  return pooled;
}

// Smallest distance over all pairs of points; +infinity when either set is empty.
double shortest_distance(const Points& a, const Points& b) {
  if (a.empty() || b.empty()) return std::numeric_limits<double>::infinity();
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const cv::Point& p : a) {
    for (const cv::Point& q : b) {
      const std::int64_t dx = static_cast<std::int64_t>(p.x) - q.x;
      const std::int64_t dy = static_cast<std::int64_t>(p.y) - q.y;
      best = std::min(best, dx * dx + dy * dy);
    }
  }
  return std::sqrt(static_cast<double>(best));
}

double distance(const Centroid& a, const Centroid& b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

std::optional<Centroid> previous_centroid(const CentroidMap& prev_centroids,
                                          std::int64_t object_id) {
  const auto found = prev_centroids.find(object_id);
  if (found == prev_centroids.end()) return std::nullopt;
  return found->second;
}

Centroid centroid_row(const cv::Mat& centroids, int label) {
  return {centroids.at<double>(label, 0), centroids.at<double>(label, 1)};
}

int area_of(const cv::Mat& stats, int label) { return stats.at<int>(label, cv::CC_STAT_AREA); }

// Pixel count, bounding rectangle and coordinate sums of one label, in frame coordinates.
struct LabelTally {
  std::int64_t area = 0;
  std::int64_t sum_x = 0;
  std::int64_t sum_y = 0;
  cv::Rect box;

  // Pixels `first` .. `last` (inclusive) of `row`.
  void add_run(int row, int first, int last) {
    const std::int64_t length = last - first + 1;
    area += length;
    sum_x += (static_cast<std::int64_t>(first) + last) * length / 2;
    sum_y += static_cast<std::int64_t>(row) * length;
    box |= cv::Rect(first, row, last - first + 1, 1);
  }
};

// Tallies of every label of a label image placed at `origin`, one pass over runs of equal
// labels (cheaper than OpenCV's per-pixel statistics, same values).
std::vector<LabelTally> tally_labels(const cv::Mat& image, int num_labels, cv::Point origin) {
  std::vector<LabelTally> tallies(static_cast<std::size_t>(num_labels));
  for (int r = 0; r < image.rows; ++r) {
    const int* row = image.ptr<int>(r);
    for (int start = 0; start < image.cols;) {
      int end = start + 1;
      while (end < image.cols && row[end] == row[start]) ++end;
      tallies[static_cast<std::size_t>(row[start])].add_run(r + origin.y, start + origin.x,
                                                            end - 1 + origin.x);
      start = end;
    }
  }
  return tallies;
}

// Bounding rectangle of the frame pixels outside `inner` (empty when `inner` covers the frame).
cv::Rect outside_bounds(const cv::Rect& inner, cv::Size frame) {
  const cv::Rect bands[] = {
      {0, 0, inner.x, frame.height},
      {inner.br().x, 0, frame.width - inner.br().x, frame.height},
      {0, 0, frame.width, inner.y},
      {0, inner.br().y, frame.width, frame.height - inner.br().y},
  };
  cv::Rect bounds;
  for (const cv::Rect& band : bands) {
    if (!band.empty()) bounds |= band;
  }
  return bounds;
}

// The frame's background: the clear pixels of the crop plus every pixel outside it.
LabelTally frame_background(const std::vector<LabelTally>& tallies, const cv::Rect& crop,
                            cv::Size frame) {
  const std::int64_t width = frame.width;
  const std::int64_t height = frame.height;
  LabelTally background;
  background.area = width * height;
  background.sum_x = height * (width * (width - 1) / 2);
  background.sum_y = width * (height * (height - 1) / 2);
  for (std::size_t label = 1; label < tallies.size(); ++label) {
    background.area -= tallies[label].area;
    background.sum_x -= tallies[label].sum_x;
    background.sum_y -= tallies[label].sum_y;
  }
  background.box = outside_bounds(crop, frame);
  if (!tallies[0].box.empty()) background.box |= tallies[0].box;
  return background;
}

// The tallies as OpenCV's stats (CV_32S) and centroids (CV_64F) rows; the centroid of a label
// without pixels is not a number.
void write_rows(const std::vector<LabelTally>& tallies, cv::Mat& stats, cv::Mat& centroids) {
  const auto rows = static_cast<int>(tallies.size());
  stats.create(rows, cv::CC_STAT_MAX, CV_32S);
  centroids.create(rows, 2, CV_64F);
  for (int label = 0; label < rows; ++label) {
    const LabelTally& tally = tallies[static_cast<std::size_t>(label)];
    stats.at<int>(label, cv::CC_STAT_LEFT) = tally.box.x;
    stats.at<int>(label, cv::CC_STAT_TOP) = tally.box.y;
    stats.at<int>(label, cv::CC_STAT_WIDTH) = tally.box.width;
    stats.at<int>(label, cv::CC_STAT_HEIGHT) = tally.box.height;
    stats.at<int>(label, cv::CC_STAT_AREA) = static_cast<int>(tally.area);
    const double area = static_cast<double>(tally.area);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    centroids.at<double>(label, 0) = tally.area > 0 ? static_cast<double>(tally.sum_x) / area : nan;
    centroids.at<double>(label, 1) = tally.area > 0 ? static_cast<double>(tally.sum_y) / area : nan;
  }
}

// Labels of the components, largest first, equal areas in label order; at most `count`.
std::vector<int> largest_components(const cv::Mat& stats, std::size_t count) {
  std::vector<int> labels(static_cast<std::size_t>(stats.rows - 1));
  std::iota(labels.begin(), labels.end(), 1);
  std::stable_sort(labels.begin(), labels.end(),
                   [&](int a, int b) { return area_of(stats, a) > area_of(stats, b); });
  labels.resize(std::min(labels.size(), count));
  return labels;
}

// The candidate whose centroid is nearest to `target`; the earlier one on equal distances.
int nearest_component(const std::vector<int>& candidates, const cv::Mat& centroids,
                      const Centroid& target) {
  int best = candidates.front();
  double best_distance = distance(centroid_row(centroids, best), target);
  for (const int label : candidates) {
    const double d = distance(centroid_row(centroids, label), target);
    if (d < best_distance) {
      best = label;
      best_distance = d;
    }
  }
  return best;
}

// Outer-contour vertices of one component, in the label image's coordinates.
Points component_points(const ComponentLabels& labels, const cv::Mat& stats, int label) {
  const cv::Rect box(stats.at<int>(label, cv::CC_STAT_LEFT) - labels.origin.x,
                     stats.at<int>(label, cv::CC_STAT_TOP) - labels.origin.y,
                     stats.at<int>(label, cv::CC_STAT_WIDTH),
                     stats.at<int>(label, cv::CC_STAT_HEIGHT));
  const cv::Rect inside = box & cv::Rect(cv::Point(0, 0), labels.image.size());
  if (inside.empty()) return {};
  cv::Mat binary;
  cv::compare(labels.image(inside), label, binary, cv::CMP_EQ);
  return contour_points(binary, inside.tl());
}

// The mask of the labels marked in `keep`; labels outside it count as background.
Mask kept_components(const ComponentLabels& labels, const std::vector<std::uint8_t>& keep) {
  cv::Mat kept(labels.image.size(), CV_8U);
  if (std::all_of(keep.begin() + 1, keep.end(), [](std::uint8_t k) { return k != 0; })) {
    cv::compare(labels.image, 0, kept, cv::CMP_GT);  // the common case, vectorised
    return Mask::from_crop(labels.frame_size, labels.origin, kept);
  }
  const auto count = static_cast<int>(keep.size());
  for (int r = 0; r < labels.image.rows; ++r) {
    const int* in = labels.image.ptr<int>(r);
    std::uint8_t* out = kept.ptr<std::uint8_t>(r);
    for (int c = 0; c < labels.image.cols; ++c) {
      out[c] = (in[c] > 0 && in[c] < count) ? keep[static_cast<std::size_t>(in[c])] : 0;
    }
  }
  return Mask::from_crop(labels.frame_size, labels.origin, kept);
}

void require(bool condition, const std::string& message) {
  if (!condition) throw ArgumentError("get_dis_to_main_and_prev_blob: " + message);
}

void require_fitting_blob_values(int num_labels, const ComponentLabels& labels,
                                 const cv::Mat& stats, const cv::Mat& centroids, int best_idx,
                                 const Mask& mask) {
  const std::string count = std::to_string(num_labels);
  require(num_labels >= 1, "num_labels must be at least 1, got " + count);
  require(stats.type() == CV_32SC1 && stats.rows == num_labels && stats.cols == cv::CC_STAT_MAX,
          "stats must be 32-bit integers of " + count + " x 5, got " +
              text::format_size(stats.size()));
  require(
      centroids.type() == CV_64FC1 && centroids.rows == num_labels && centroids.cols == 2,
      "centroids must be 64-bit floats of " + count + " x 2, got " +
          text::format_size(centroids.size()));
  require(num_labels == 1 || (best_idx >= 1 && best_idx < num_labels),
          "best_idx must be a label from 1 to " + std::to_string(num_labels - 1) + ", got " +
              std::to_string(best_idx));
  require(labels.image.empty() || labels.image.type() == CV_32SC1,
          "labels must be 32-bit integers");
  const cv::Rect frame(cv::Point(0, 0), labels.frame_size);
  const cv::Rect placed(labels.origin, labels.image.size());
  require((placed & frame) == placed,
          "labels of " + text::format_size(labels.image.size()) + " at (" +
              std::to_string(labels.origin.x) + ", " + std::to_string(labels.origin.y) +
              ") do not fit a frame of " + text::format_size(labels.frame_size));
  require(mask.size() == labels.frame_size, "mask of " + text::format_size(mask.size()) +
                                                " does not match labels of a frame of " +
                                                text::format_size(labels.frame_size));
}

bool is_first_frame(const VideoSegments& video_segments, std::int64_t frame_idx) {
  return !video_segments.empty() && video_segments.begin()->first == frame_idx;
}

// One object's mask in one frame, cleaned; records its centroid when something is left.
Mask clean_mask(Mask_Refinement& refinement, std::int64_t frame_idx, std::int64_t object_id,
                const Mask& mask, const std::string& video_dir,
                const std::vector<std::string>& frame_names, const VideoSegments& video_segments) {
  const auto pen_json_path = get_pen_json_path(video_dir, refinement.custom_pen_json_path);
  Mask in_pen_mask = get_in_pen_mask(frame_idx, mask, pen_json_path, frame_names);
  if (in_pen_mask.is_clear()) return in_pen_mask;

  const auto [num_labels, stats, centroids, min_area_threshold, max_distance_threshold, best_idx,
              labels] = refinement.get_main_blob(in_pen_mask, refinement.prev_centroids, object_id);
  Mask cleaned_mask = refinement.get_dis_to_main_and_prev_blob(
      num_labels, labels, stats, centroids, max_distance_threshold, min_area_threshold, best_idx,
      refinement.prev_centroids, object_id, frame_idx, mask, video_segments);
  if (const auto centroid = cleaned_mask.centroid()) {
    refinement.prev_centroids[object_id] = *centroid;
  } else {
    std::cout << "frame " << object_text(frame_idx, object_id) << "-- no mask\n";
  }
  return cleaned_mask;
}

}  // namespace

double Mask_Refinement::blob_shortest_distance(const cv::Mat& blob_mask1,
                                               const cv::Mat& blob_mask2) {
  for (const cv::Mat* image : {&blob_mask1, &blob_mask2}) {
    if (!image->empty() && (image->type() != CV_8UC1 || image->dims != 2)) {
      throw ArgumentError(
          "blob_shortest_distance: blob masks must be 2-D 8-bit one-channel "
          "images, got type " +
          std::to_string(image->type()) + " with " + std::to_string(image->dims) + " dimensions");
    }
  }
  return shortest_distance(contour_points(blob_mask1, {0, 0}), contour_points(blob_mask2, {0, 0}));
}

MainBlob Mask_Refinement::get_main_blob(const Mask& mask, const CentroidMap& prev_centroids,
                                        std::int64_t object_id) const {
  if (mask.is_clear()) {
    throw ArgumentError("get_main_blob: the mask of object " + std::to_string(object_id) +
                        " has no set pixel");
  }
  MainBlob blob;
  blob.labels.origin = mask.bounds().tl();
  blob.labels.frame_size = mask.size();
  blob.num_labels = cv::connectedComponents(mask.crop(), blob.labels.image, kConnectivity, CV_32S);
  std::vector<LabelTally> tallies =
      tally_labels(blob.labels.image, blob.num_labels, blob.labels.origin);
  tallies[0] = frame_background(tallies, mask.bounds(), mask.size());
  write_rows(tallies, blob.stats, blob.centroids);

  const std::vector<int> top_labels = largest_components(blob.stats, kMainBlobCandidates);
  const auto prev_centroid = previous_centroid(prev_centroids, object_id);
  blob.best_idx = prev_centroid ? nearest_component(top_labels, blob.centroids, *prev_centroid)
                                : top_labels.front();

  const int main_area = area_of(blob.stats, blob.best_idx);
  const double approx_radius = std::sqrt(main_area / std::numbers::pi);
  blob.min_area_threshold = main_area * MIN_AREA_RATIO;
  blob.max_distance_threshold =
      approx_radius *
      (main_area >= kLargeBlobArea ? MAX_DISTANCE_RATIOS[0] : MAX_DISTANCE_RATIOS[1]);
  return blob;
}

Mask Mask_Refinement::get_dis_to_main_and_prev_blob(
    int num_labels, const ComponentLabels& labels, const cv::Mat& stats, const cv::Mat& centroids,
    double max_distance_threshold, double min_area_threshold, int best_idx,
    const CentroidMap& prev_centroids, std::int64_t object_id, std::int64_t frame_idx,
    const Mask& mask, const VideoSegments& video_segments) const {
  require_fitting_blob_values(num_labels, labels, stats, centroids, best_idx, mask);
  const auto prev_centroid = previous_centroid(prev_centroids, object_id);

  std::optional<Points> main_points;  // found once, and only when a fragment needs it
  const auto distance_to_main = [&](int label) {
    if (!main_points) main_points = component_points(labels, stats, best_idx);
    return shortest_distance(*main_points, component_points(labels, stats, label));
  };

  std::vector<std::uint8_t> keep(static_cast<std::size_t>(num_labels), 0);
  for (int label_idx = 1; label_idx < num_labels; ++label_idx) {
    const double distance_to_prev =
        prev_centroid ? distance(centroid_row(centroids, label_idx), *prev_centroid) : 0.0;
    if (!(distance_to_prev <= MAX_PREV_DIST)) continue;
    keep[static_cast<std::size_t>(label_idx)] =
        label_idx == best_idx || (area_of(stats, label_idx) >= min_area_threshold &&
                                  distance_to_main(label_idx) <= max_distance_threshold);
  }

  Mask cleaned_mask = kept_components(labels, keep);
  if (!cleaned_mask.is_clear()) return cleaned_mask;
  if (is_first_frame(video_segments, frame_idx)) return mask;
  std::cout << "clean frame" << object_text(frame_idx, object_id) << '\n';
  return cleaned_mask;
}

void Mask_Refinement::process_video_segments(VideoSegments& video_segments,
                                             const std::string& video_dir,
                                             const std::vector<std::string>& frame_names) {
  for (auto frame = video_segments.begin(); frame != video_segments.end(); ++frame) {
    check_cancellation();
    const std::int64_t frame_idx = frame->first;
    auto& segments = frame.value();
    for (auto entry = segments.begin(); entry != segments.end(); ++entry) {
      if (entry->second.is_clear()) continue;
      entry.value() = clean_mask(*this, frame_idx, entry->first, entry->second, video_dir,
                                 frame_names, video_segments);
    }
  }
}

}  // namespace kovra_utils
