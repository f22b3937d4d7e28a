#pragma once

// Behaviour measured from a clip's masks: movement, zone visits, contacts, per animal and per day.
//
// Rules for every function here:
//  - An animal is identified by its object id (box number + 1, "Box3" -> 4). A mask that is
//    absent or clear at a position means the animal is absent there.
//  - A clip's positions are its records in map order (0, 1, ...); in a day they continue from one
//    clip to the next. time_s = clip start + position in the clip x seconds_per_frame.
//  - Animals at one position are taken in ascending object id ("box order").
//  - Distances are between pixel centres: 0 when two masks share a pixel, 1 when 4-adjacent,
//    sqrt 2 when only diagonal. Every measure is computed from the masks' crops.
//  - Boolean cells ("moving") are integers 0/1; absent values are empty cells.
//  - Bad arguments throw ArgumentError, malformed zone files ContentError naming the file and
//    the shape, unreadable files FileError.
//  - Pictures are RGB, 8 bits per channel.

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// A zone of the pen (the feeder, the drinker ...): the union of the rasters of its shapes.
struct Zone {
  std::string name;
  /// The outlines as read (frame pixels), for drawing; holes are not listed.
  std::vector<std::vector<cv::Point2d>> outlines;
  /// The zone's pixels on the frame.
  Mask raster;
};

/// Zones in the order their names first appear in the file.
using Zones = std::vector<Zone>;

/// Reads the zones of `path` for frames of `frame_size`. Two forms are accepted:
///  - the pen polygon form {"shapes": [{"label": "feeder", "points": [[x, y], ...]}, ...]};
///  - a GeoJSON FeatureCollection of Polygon features, each named by its "name" property (the
///    first ring is the outline, further rings are holes cut out of it).
/// Shapes with the same name form one zone. Each outline is rasterised as the pen mask is: points
/// truncated toward zero and filled with cv::fillPoly (8-connected, no shift).
/// Throws FileError when the file cannot be read; ContentError naming the file and the shape for
/// an unknown form, bad JSON, a shape without a name, with fewer than 3 points, with a
/// coordinate that is not a finite number within +-2^26, or lying entirely outside the frame;
/// ArgumentError for an empty `frame_size`.
Zones read_zones(const std::filesystem::path& path, cv::Size frame_size);

/// Thresholds of the measures. validate() throws ArgumentError naming a field out of range.
struct BehaviourOptions {
  /// An animal moves at a position when its speed (pixels per second) is at least this.
  double moving_speed_px_s = 40;
  /// Hysteresis of zone visits: inside Z when the share of the mask in Z is >= `enter`, or when
  /// it was inside at the previous position and the share is >= `leave`. 0 <= leave <= enter <= 1.
  double enter = 0.5;
  double leave = 0.2;
  /// Bouts of one animal (or pair) and kind whose gap (next start_s - previous end_s) is at most
  /// this many seconds are merged; then bouts shorter than `min_bout_s` are dropped.
  double merge_gap_s = 2.0;
  double min_bout_s = 2.0;
  /// Two animals are in contact when their distance is at most this many pixels.
  double contact_px = 2.0;
  /// When given (> 0), the summary also has distance_m and mean_speed_m_s.
  std::optional<double> pixels_per_metre;

  void validate() const;
};

/// The tables of a clip or a day.
///  - frames: position, frame_index, time_s, box_key, object_id, area, centroid_x, centroid_y,
///    step_px, speed_px_s, moving, major_axis_px, minor_axis_px, orientation_deg, one in_<zone>
///    per zone, nearest_key, nearest_distance_px; one row per position and present animal.
///  - bouts: object_id, box_key, zone, start_position, end_position, start_frame_index,
///    end_frame_index, start_s, end_s, duration_s, mean_in; zone bouts (zones in file order)
///    then movement bouts (zone "moving", mean_in empty), each by object id then start.
///  - contact_bouts: object_id_a, object_id_b (a < b), start_position, end_position,
///    start_frame_index, end_frame_index, start_s, end_s, duration_s.
///  - contacts: the contact matrix, column "object_id" then one column per animal (named by its
///    object id), one row per animal (labelled by its object id): total contact-bout seconds,
///    symmetric, zero diagonal.
///  - summary: object_id, box_key, seconds_present, distance_px, mean_speed_px_s,
///    seconds_moving, then per zone seconds_in_<zone>, visits_<zone>, latency_<zone>_s, then
///    contact_s, partners, and with pixels_per_metre distance_m and mean_speed_m_s.
struct BehaviourTables {
  Table frames;
  Table bouts;
  Table contact_bouts;
  Table contacts;
  Table summary;
};

/// The tables of one clip starting at `start_time_s` seconds. `seconds_per_frame` (> 0) is the
/// time between consecutive records. Zone rasters must have the masks' size.
/// Throws ArgumentError for a bad option or time, a box key that is not "Box<n>", or masks and
/// zones of different sizes.
BehaviourTables clip_behaviour(const ClipData& clip, double seconds_per_frame,
                               const Zones& zones = {}, double start_time_s = 0,
                               const BehaviourOptions& options = {});

/// The tables of a day: `clips` in time order with their start times (non-decreasing, one per
/// clip). A step and the zone hysteresis join across a boundary only when the next clip's first
/// frame comes seconds_per_frame (within 1e-9 s) after the previous clip's last frame; bouts
/// merge across it by the same gap rule as inside a clip. Latencies count from the first clip's
/// start. Throws as clip_behaviour, and ArgumentError when the counts differ.
BehaviourTables day_behaviour(const std::vector<ClipData>& clips,
                              const std::vector<double>& start_times_s, double seconds_per_frame,
                              const Zones& zones = {}, const BehaviourOptions& options = {});

/// One row per animal over time: zone bouts as bars in one colour per zone, movement bouts as a
/// thin dark bar below them, a time axis in minutes and a legend.
cv::Mat draw_ethogram(const BehaviourTables& tables, const Zones& zones = {});

/// The contact matrix as a heat map (white to red) with the seconds written in the cells.
cv::Mat draw_contact_matrix(const BehaviourTables& tables);

/// Each animal's centroid path in its overlay colour (seed 42 + box number) over `background`
/// (RGB; a dark floor of the zones' frame size, or of the paths' extent, when empty), with the
/// zones outlined and named. A step that does not join (absent in between) breaks the path.
cv::Mat draw_trajectories(const BehaviourTables& tables, const Zones& zones = {},
                          const cv::Mat& background = cv::Mat());

/// Writes frames.csv, bouts.csv, contact_bouts.csv, contacts.csv, summary.csv, ethogram.png,
/// contacts.png and trajectories.png into `output_dir` (created when missing), each through a
/// temporary file renamed over the target. Throws FileError naming a file that cannot be written.
void write_behaviour(const BehaviourTables& tables, const std::filesystem::path& output_dir,
                     const Zones& zones = {}, const cv::Mat& background = cv::Mat());

}  // namespace kovra_utils
