#pragma once

// Annotation files, polygon rasterisation, mask overlap measures and tracker-output loading.
//
// Every function throws on malformed input: FileError when a file cannot be opened or read,
// ContentError for bad JSON, a missing or wrongly typed member, an odd coordinate count or a
// bad number, ArgumentError for masks of different sizes. Messages name the file and member.

#include <kovra_utils/config.hpp>
#include <kovra_utils/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// One annotation file rasterised: one mask per detection in file order, and the box numbers
/// (object_id - 1, or -1 without "object_id") aligned with them.
struct AnnotationMasks {
  std::string image_path;
  std::vector<Mask> masks;
  std::vector<std::int64_t> boxkeys;
};

/// Reads the annotation file `json_path` and fills each detection's "formatted_polygon"
/// polygons (normalised coordinates scaled by `width` and `height`, truncated toward zero) into
/// a mask of height x width. A non-finite coordinate, or a scaled vertex that does not fit a
/// 32-bit integer, is a ContentError naming the file, the detection and the polygon.
AnnotationMasks process_json_and_generate_masks(const std::string& json_path, int height,
                                                int width);

/// Percentage of `mask1`'s area covered by `mask2` (0 when `mask1` is clear).
double calculate_masks_intersection(const Mask& mask1, const Mask& mask2);

/// The overlap of one pair measured against both given areas.
struct PairIntersection {
  double result_1 = 0;  ///< percentage of mask1 covered by mask2 (0 when mask_area_1 <= 0)
  double result_2 = 0;  ///< percentage of mask2 covered by mask1 (0 when mask_area_2 <= 0)
};
PairIntersection calculate_masks_intersection_new(const Mask& mask1, const Mask& mask2,
                                                  std::int64_t mask_area_1,
                                                  std::int64_t mask_area_2);

/// Pairwise overlap percentages of a mask set: cell (r, c) is the share of mask r's area inside
/// mask c; the diagonal is 0; a pair is skipped (both cells 0) when the later key's area is 0
/// or 1. Areas come from `processed_mask_areas`, which must hold every key (std::out_of_range
/// otherwise). An absent or empty map means the true pixel counts, as if that map were given.
IntersectionTable intersection_between_masks(
    const MasksDict& masks_dict, const std::optional<MaskAreas>& processed_mask_areas = std::nullopt);

/// The number of set pixels of every mask, in map order.
MaskAreas count_mask_areas(const MasksDict& masks_dict);

/// Result of get_kovra_annotation_data, by case:
///  - no qualifying file: both absent (after the "No JSON files found ..." message);
///  - whole clip (ixx <= 0): `last_frame` is the record with the highest key, the map holds
///    every record under keys 0 .. N-1, each with its intersection table;
///  - 0 < ixx < N: the map holds the single record {ixx: record} without an intersection table,
///    and `last_frame` is that record;
///  - ixx >= N: `last_frame` absent and the map empty.
struct LoadedClip {
  std::optional<FrameRecord> last_frame;
  std::optional<ClipData> kovra_annotation_data;
};

/// Loads a clip's tracker output: every "*_<n>.json" file under `save_dir_base` (root folder
/// first, then subfolders depth-first in name order; files by trailing number, equal numbers
/// by name). `video_dir` is accepted for compatibility and not used. `last_or_not` is accepted
/// and changes nothing: the results depend only on `ixx`.
/// `threads` (at least 1, ArgumentError otherwise) lets a whole-clip load read that many files
/// at once on OpenCV's thread pool; results and errors are the same as with 1 (a failure
/// reports the earliest failing file in the order above).
LoadedClip get_kovra_annotation_data(const std::string& video_dir, bool last_or_not = false,
                                     std::int64_t ixx = 0,
                                     const std::string& save_dir_base = DEFAULT_TRACKER_OUTPUT_DIR,
                                     int threads = 1);

}  // namespace kovra_utils
