#pragma once

// Annotation files (reading and writing), polygon rasterisation, mask overlap measures and
// tracker-output loading.
//
// Every function throws on malformed input: FileError when a file cannot be opened or read,
// ContentError for bad JSON, a missing or wrongly typed member, an odd coordinate count or a
// bad number, ArgumentError for masks of different sizes. Messages name the file and member.

#include <kovra_utils/config.hpp>
#include <kovra_utils/types.hpp>

#include <cstdint>
#include <filesystem>
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

/// The outer outlines of `mask` as polygon strings "0 x y x y ...": one per 8-connected part,
/// through the centres of its boundary pixels, x divided by the mask's width and y by its
/// height, six decimals. Rasterising them (process_json_and_generate_masks) gives back exactly
/// the mask's pixels when it has no holes; a hole (background not 4-connected to the outside)
/// comes back filled. A clear mask has no polygon.
std::vector<std::string> mask_polygons(const Mask& mask);

/// Writes a clip's masks as the tracker's annotation files: "output_pp_<frame>.json" in
/// `output_dir` (created when missing) for every frame of `video_segments`, in map order, each
/// holding "image_path" = frame_names[frame] and one detection per object, in map order, with
/// "object_id", "xyxy" (one inclusive box [x_min, y_min, x_max, y_max], zeros for a clear mask)
/// and "formatted_polygon" (mask_polygons). Every file is replaced atomically in one write.
/// Returns the paths written. ArgumentError, before anything is written, for a frame that is
/// not a position in `frame_names` or masks of different sizes.
std::vector<std::filesystem::path> write_annotation_files(
    const VideoSegments& video_segments, const std::vector<std::string>& frame_names,
    const std::filesystem::path& output_dir);

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

/// Two annotation files of one tracker-output tree carrying the same frame number (a folder
/// holding two clips): `first` and `second` in the loader's order, paths with their folders.
struct SharedFrameNumber {
  std::string frame_number;
  std::string first;
  std::string second;
};

/// The first pair of annotation files under `save_dir_base` sharing a frame number; absent
/// when every number occurs once. get_kovra_annotation_data prints a warning line for it:
/// "Warning: frame number {n} occurs in both {first} and {second}".
std::optional<SharedFrameNumber> find_shared_frame_number(const std::string& save_dir_base);

/// The whole clip under `save_dir_base`, as get_kovra_annotation_data with ixx = 0 loads it, for
/// callers that want failures raised instead of printed: FileError when the folder does not
/// exist or holds no annotation file, ContentError naming both files when two share a frame
/// number. Prints nothing.
ClipData load_clip(const std::string& save_dir_base);

}  // namespace kovra_utils
