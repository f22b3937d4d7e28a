#pragma once

// Mask_Refinement: keeps each tracked object's main blob inside the pen across a clip.
//
// Every mask is analysed in its crop (the bounding rectangle of its set pixels), never as a
// whole frame; everything handed back (component statistics, centroids, masks) is in frame
// coordinates, so the results are those of an analysis of the whole frame. The tracker's
// 1 x H x W boolean masks and H x W masks are both a Mask here.
// Components are 8-connected, labelled by cv::connectedComponents; their statistics equal those
// of cv::connectedComponentsWithStats. Messages go to std::cout, one line each.

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// Mean column x and mean row y of an object's set pixels, in frame pixels (not rounded).
using Centroid = cv::Point2d;
/// Object id -> last known centroid, in insertion order.
using CentroidMap = OrderedMap<std::int64_t, Centroid>;

/// The component labels of one mask: `image` (CV_32S, 0 = background) covers the rectangle of
/// its size at `origin` in a frame of `frame_size`; every pixel outside it is background.
struct ComponentLabels {
  cv::Mat image;
  cv::Point origin{0, 0};
  cv::Size frame_size{0, 0};
};

/// What Mask_Refinement::get_main_blob returns, in this order.
struct MainBlob {
  /// Number of labels, background label 0 included.
  int num_labels = 0;
  /// CV_32S, one row per label, columns as cv::ConnectedComponentsTypes (CC_STAT_LEFT ...
  /// CC_STAT_AREA); boxes in frame coordinates. Row 0 describes the frame's background (an
  /// all-zero row when the mask covers the whole frame).
  cv::Mat stats;
  /// CV_64F, one row (x, y) per label, in frame coordinates; NaN for a background without pixels.
  cv::Mat centroids;
  /// Smallest area a secondary component may have to be kept.
  double min_area_threshold = 0;
  /// Largest gap in pixels between a kept secondary component and the main blob.
  double max_distance_threshold = 0;
  /// Label of the main blob.
  int best_idx = 0;
  ComponentLabels labels;
};

/// Keeps, for each tracked object and frame, the main connected blob and the other components
/// that are large and close enough to it, inside the pen. Fields keep their defaults unless set
/// by name: `Mask_Refinement{.MAX_PREV_DIST = 150, .custom_pen_json_path = std::nullopt}`.
struct Mask_Refinement {
  /// A secondary component is kept only if its area is at least this share of the main blob's.
  double MIN_AREA_RATIO = 0.3;
  /// Multipliers of the main blob's approximate radius sqrt(area / pi) giving the largest gap
  /// to a kept secondary component: element 0 from 1000 pixels up, element 1 below.
  std::array<double, 2> MAX_DISTANCE_RATIOS{0.5, 1.5};
  /// Largest distance in pixels between a kept component's centroid and the object's previous
  /// centroid.
  double MAX_PREV_DIST = 200;
  /// Last known centroid per object; starts empty, written by process_video_segments and kept
  /// from call to call, so consecutive clips carry each object's position on.
  CentroidMap prev_centroids{};
  /// Pen polygon file handed to get_pen_json_path; when absent, the camera named in the clip's
  /// folder picks the file.
  std::optional<std::string> custom_pen_json_path = "pen_polygon.json";

  /// Smallest Euclidean distance between the outer-contour vertices (cv::CHAIN_APPROX_SIMPLE)
  /// of two CV_8UC1 images (non-zero = set); 0 for identical images, +infinity when either has
  /// no set pixel. Throws ArgumentError for another image type.
  static double blob_shortest_distance(const cv::Mat& blob_mask1, const cv::Mat& blob_mask2);

  /// Labels the components of `mask` and picks the main blob: the largest component when
  /// `prev_centroids` holds no entry for `object_id`, otherwise the one of the five largest
  /// (equal areas in label order) whose centroid is nearest to that entry (the larger one on
  /// equal distances). Throws ArgumentError naming `object_id` when `mask` has no set pixel.
  MainBlob get_main_blob(const Mask& mask, const CentroidMap& prev_centroids,
                         std::int64_t object_id) const;

  /// The components of `labels` kept for the object: those whose centroid lies within
  /// MAX_PREV_DIST of the object's previous centroid (all of them when it has none) and that
  /// are the main blob `best_idx`, or hold at least `min_area_threshold` pixels and come within
  /// `max_distance_threshold` of it (limits inclusive). When none is kept: in the first frame of
  /// `video_segments` the result is `mask` itself; in any other frame it is all clear and
  /// "clean frame{frame_idx}--obj_id{object_id}" is printed. The first arguments are the values
  /// of get_main_blob. Throws ArgumentError when they do not fit together or `mask` does not
  /// have the labels' frame size.
  Mask get_dis_to_main_and_prev_blob(int num_labels, const ComponentLabels& labels,
                                     const cv::Mat& stats, const cv::Mat& centroids,
                                     double max_distance_threshold, double min_area_threshold,
                                     int best_idx, const CentroidMap& prev_centroids,
                                     std::int64_t object_id, std::int64_t frame_idx,
                                     const Mask& mask, const VideoSegments& video_segments) const;

  /// Cleans every mask of `video_segments` in place, frames and objects in map order: a clear
  /// mask is left as it is; otherwise the mask is cut back to the pen (the file of
  /// get_pen_json_path, read once per mask), reduced to its kept components and stored, and a
  /// non-empty result becomes the object's entry in `prev_centroids`; an empty result outside
  /// the pen is stored silently, any other prints "frame {frame_idx}--obj_id{object_id}-- no
  /// mask". Keys and their order never change. Errors of the pen lookup (unreadable pen file,
  /// `frame_idx` outside `frame_names`) propagate; masks cleaned before stay changed.
  void process_video_segments(VideoSegments& video_segments, const std::string& video_dir,
                              const std::vector<std::string>& frame_names);
};

}  // namespace kovra_utils
