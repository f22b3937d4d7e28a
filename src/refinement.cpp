#include <kovra_utils/refinement.hpp>

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

std::string size_text(cv::Size size) {
  return std::to_string(size.height) + " x " + std::to_string(size.width);
}

std::string object_text(std::int64_t frame_idx, std::int64_t object_id) {
  return std::to_string(frame_idx) + "--obj_id" + std::to_string(object_id);
}

// Outer-contour vertices of all blobs of a binary image, pooled, shifted by `offset`.
Points contour_points(const cv::Mat& binary, cv::Point offset) {
  if (binary.empty()) return {};
  std::vector<Points> contours;
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, offset);
  Points pooled;
  for (const Points& contour : contours) pooled.insert(pooled.end(), contour.begin(), contour.end());
  return pooled;
}

// Smallest distance over all pairs of points; +infinity when either set is empty.
double shortest_distance(const Points& a, const Points& b) {
  if (a.empty() || b.empty()) return std::numeric_limits<double>::infinity();
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const cv::Point& p : a) {
    for (const cv::Point& q : b) {
      const std::int64_t dx = p.x - q.x;
      const std::int64_t dy = p.y - q.y;
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

// A mean over `count` pixels moved by `offset`, as if summed over the shifted pixels: the
// pixel sum is integral, so recovering it keeps the result bit-identical to a whole-frame run.
double shifted_mean(double mean, int count, int offset) {
  const auto sum = std::llround(mean * count);
  return static_cast<double>(sum + static_cast<std::int64_t>(count) * offset) / count;
}

// Moves the rows of the foreground labels from crop to frame coordinates.
void shift_components(cv::Mat& stats, cv::Mat& centroids, cv::Point origin) {
  for (int label = 1; label < stats.rows; ++label) {
    const int area = area_of(stats, label);
    stats.at<int>(label, cv::CC_STAT_LEFT) += origin.x;
    stats.at<int>(label, cv::CC_STAT_TOP) += origin.y;
    centroids.at<double>(label, 0) = shifted_mean(centroids.at<double>(label, 0), area, origin.x);
    centroids.at<double>(label, 1) = shifted_mean(centroids.at<double>(label, 1), area, origin.y);
  }
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
    if (band.empty()) continue;
    bounds = bounds.empty() ? band : (bounds | band);
  }
  return bounds;
}

// Rewrites row 0, which describes the crop's background, to describe the frame's: the clear
// pixels inside the crop plus every pixel outside it.
void frame_background(cv::Mat& stats, cv::Mat& centroids, const Mask& mask) {
  const cv::Size frame = mask.size();
  const cv::Rect crop = mask.bounds();
  if (crop == cv::Rect(cv::Point(0, 0), frame)) return;

  cv::Rect bounds = outside_bounds(crop, frame);
  if (area_of(stats, 0) > 0) {
    const cv::Rect clear_in_crop(stats.at<int>(0, cv::CC_STAT_LEFT) + crop.x,
                                 stats.at<int>(0, cv::CC_STAT_TOP) + crop.y,
                                 stats.at<int>(0, cv::CC_STAT_WIDTH),
                                 stats.at<int>(0, cv::CC_STAT_HEIGHT));
    bounds |= clear_in_crop;
  }
  const std::int64_t width = frame.width;
  const std::int64_t height = frame.height;
  const std::int64_t area = width * height - mask.area();
  const cv::Moments set = mask.moments();
  const std::int64_t frame_sum_x = height * (width * (width - 1) / 2);
  const std::int64_t frame_sum_y = width * (height * (height - 1) / 2);

  stats.at<int>(0, cv::CC_STAT_LEFT) = bounds.x;
  stats.at<int>(0, cv::CC_STAT_TOP) = bounds.y;
  stats.at<int>(0, cv::CC_STAT_WIDTH) = bounds.width;
  stats.at<int>(0, cv::CC_STAT_HEIGHT) = bounds.height;
  stats.at<int>(0, cv::CC_STAT_AREA) = static_cast<int>(area);
  centroids.at<double>(0, 0) =
      static_cast<double>(frame_sum_x - std::llround(set.m10)) / static_cast<double>(area);
  centroids.at<double>(0, 1) =
      static_cast<double>(frame_sum_y - std::llround(set.m01)) / static_cast<double>(area);
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
              size_text(stats.size()));
  require(centroids.type() == CV_64FC1 && centroids.rows == num_labels && centroids.cols == 2,
          "centroids must be 64-bit floats of " + count + " x 2, got " +
              size_text(centroids.size()));
  require(num_labels == 1 || (best_idx >= 1 && best_idx < num_labels),
          "best_idx must be a label from 1 to " + std::to_string(num_labels - 1) + ", got " +
              std::to_string(best_idx));
  require(labels.image.empty() || labels.image.type() == CV_32SC1,
          "labels must be 32-bit integers");
  const cv::Rect frame(cv::Point(0, 0), labels.frame_size);
  const cv::Rect placed(labels.origin, labels.image.size());
  require((placed & frame) == placed, "labels of " + size_text(labels.image.size()) + " at (" +
                                          std::to_string(labels.origin.x) + ", " +
                                          std::to_string(labels.origin.y) +
                                          ") do not fit a frame of " +
                                          size_text(labels.frame_size));
  require(mask.size() == labels.frame_size, "mask of " + size_text(mask.size()) +
                                                " does not match labels of a frame of " +
                                                size_text(labels.frame_size));
}

bool is_first_frame(const VideoSegments& video_segments, std::int64_t frame_idx) {
  return !video_segments.empty() && video_segments.begin()->first == frame_idx;
}

}  // namespace

double Mask_Refinement::blob_shortest_distance(const cv::Mat& blob_mask1,
                                               const cv::Mat& blob_mask2) {
  for (const cv::Mat* image : {&blob_mask1, &blob_mask2}) {
    if (!image->empty() && (image->type() != CV_8UC1 || image->dims != 2)) {
      throw ArgumentError("blob_shortest_distance: blob masks must be 2-D 8-bit one-channel "
                          "images, got type " +
                          std::to_string(image->type()) + " with " +
                          std::to_string(image->dims) + " dimensions");
    }
  }
  return shortest_distance(contour_points(blob_mask1, {0, 0}),
                           contour_points(blob_mask2, {0, 0}));
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
  blob.num_labels = cv::connectedComponentsWithStats(mask.crop(), blob.labels.image, blob.stats,
                                                     blob.centroids, kConnectivity, CV_32S);
  shift_components(blob.stats, blob.centroids, blob.labels.origin);
  frame_background(blob.stats, blob.centroids, mask);

  const std::vector<int> top_labels = largest_components(blob.stats, kMainBlobCandidates);
  const auto prev_centroid = previous_centroid(prev_centroids, object_id);
  blob.best_idx = prev_centroid ? nearest_component(top_labels, blob.centroids, *prev_centroid)
                                : top_labels.front();

  const int main_area = area_of(blob.stats, blob.best_idx);
  const double approx_radius = std::sqrt(main_area / std::numbers::pi);
  blob.min_area_threshold = main_area * MIN_AREA_RATIO;
  blob.max_distance_threshold =
      approx_radius * (main_area >= kLargeBlobArea ? MAX_DISTANCE_RATIOS[0]
                                                   : MAX_DISTANCE_RATIOS[1]);
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

}  // namespace kovra_utils
