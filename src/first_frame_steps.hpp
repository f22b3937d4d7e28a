#pragma once

// The library steps of one initializer frame, between the detector and the accepted result;
// separate so that the benchmark measures exactly them.

#include <kovra_utils/first_frame.hpp>

#include <cstdint>
#include <set>
#include <vector>

namespace kovra_utils::first_frame_steps {

/// Share of a box that must lie inside the pen, in percent.
inline constexpr double kPenRatioThreshold = 40;
/// More than this percentage of one mask inside another makes them duplicates.
inline constexpr double kDuplicateOverlap = 8;

/// The rows of the three aligned sequences where `keep` is true.
FilteredDetections select_rows(const FilteredDetections& detections, const std::vector<bool>& keep);

/// Detections with at least 40 % of their box inside the pen. `detections` must not be empty.
FilteredDetections keep_in_pen(const FilteredDetections& detections, const PenPolygon& pen);

/// Detections of plausible size: below 1 500 000 square pixels when the top edge lies above the
/// middle of an image of `image_height` rows, below 4 000 000 otherwise.
FilteredDetections keep_plausible_size(const FilteredDetections& detections, int image_height);

/// "Box0", "Box1", ... mapped to `masks` in order.
MasksDict numbered_masks(const std::vector<Mask>& masks);

/// Indices of the masks to drop: for every cell (r, c) above 8 %, the one of boxes r and c with
/// the lower score, r when the scores are equal. Every pair decides, whatever was removed before.
std::set<std::int64_t> duplicate_indices(const IntersectionTable& intersections_df,
                                         const std::vector<double>& scores);

/// 0 .. count - 1 without `removed`, ascending.
std::vector<std::int64_t> kept_indices(std::size_t count, const std::set<std::int64_t>& removed);

/// The kept detections and masks of one segmented frame.
struct KeptMasks {
  FilteredDetections detections;
  std::vector<Mask> masks;
  std::vector<std::int64_t> boxkeys;
  MasksDict masks_dict;  ///< renumbered Box0 .. Box(k-1)
};

/// Areas, the intersection table, duplicate removal and renumbering of one frame's masks,
/// aligned with `detections`.
KeptMasks remove_duplicates(const FilteredDetections& detections, const std::vector<Mask>& masks);

}  // namespace kovra_utils::first_frame_steps
