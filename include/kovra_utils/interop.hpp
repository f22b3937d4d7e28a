#pragma once

// Exchange with other tools: COCO run-length masks (bit-compatible with pycocotools' mask API),
// COCO video-instance JSON, the MOT and MOTS challenge text files, and the per-animal
// trajectory table.
//
// Conventions shared by every export of a loaded clip (`ClipData`):
//  - frames in clip order (the map's order); in MOT and MOTS files a frame is numbered
//    1 + its position in that order (the first frame is 1, as the challenge files count);
//  - an animal's identity number is its box number + 1 (Box0 -> 1, Box7 -> 8, Box-1 -> 0);
//  - an empty mask (an animal present but unseen) is kept in COCO files as an annotation of
//    area 0 and bbox [0, 0, 0, 0]; MOT and MOTS files have no row for it, as neither format can
//    say "present, no pixels";
//  - every file is written through a temporary file renamed over the target.
//
// Errors: ContentError for a malformed run-length encoding or file line (the message names the
// file and line, or the position in the counts); ArgumentError for masks of different sizes or
// a box key that is not "Box<number>", or an output that is one of the export's inputs;
// FileError when a file cannot be read or written.
//
// Memory: an encoding costs memory in proportion to its counts, whatever plane it describes;
// only decoding to a Mask builds pixels, and only for the rectangle of the set pixels, which
// decode_rle refuses beyond max_decoded_pixels. Reading a track file holds at most one line of
// max_track_line_bytes besides what it returns.

#include <kovra_utils/types.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// COCO run-length encoding
// ---------------------------------------------------------------------------------------------

/// A COCO run-length encoding of a height x width mask: the lengths of the alternating runs of
/// clear and set pixels in column-major order (down the first column, then the second ...),
/// starting with a clear run (0 when pixel (0, 0) is set). Valid when every count is >= 0 and
/// the counts sum to height * width.
struct Rle {
  int height = 0;
  int width = 0;
  std::vector<std::int64_t> counts;
  bool operator==(const Rle&) const = default;
};

/// The most pixels the set pixels' rectangle of a decoded mask may cover (2^27: 128 MiB of crop,
/// sixteen 8K frames).
inline constexpr std::int64_t max_decoded_pixels = std::int64_t{1} << 27;

/// The encoding of `mask`, computed from its crop (cost grows with the crop, not the frame).
/// As pycocotools' mask.encode: an all-clear mask gives {height * width}, a full one
/// {0, height * width}.
Rle encode_rle(const Mask& mask);

/// The mask an encoding describes, built directly as the crop of its set pixels. ContentError
/// for a negative count, counts that do not sum to height * width, or set pixels whose
/// rectangle covers more than max_decoded_pixels; ArgumentError for a negative size.
Mask decode_rle(const Rle& rle);

/// pycocotools' compressed counts text (rleToString): each count, from the fourth on minus the
/// count two places before it, written in 5-bit groups, least significant first, each group as
/// the character 48 + group, + 32 when more groups follow; the last group's bit 4 is the sign.
std::string rle_to_string(const Rle& rle);

/// Parses compressed counts text (rleFrString) for a height x width plane. ContentError naming
/// the position for a character outside '0' (48) .. 'o' (111), a count cut off at the end of the
/// text or too large, a negative count, or counts that do not sum to height * width.
Rle rle_from_string(std::string_view counts, int height, int width);

/// Number of set pixels (pycocotools' mask.area).
std::int64_t rle_area(const Rle& rle);

/// pycocotools' mask.toBbox: [x, y, width, height] of the set pixels, in whole pixels
/// (a single pixel at column 3, row 5 gives [3, 5, 1, 1]); [0, 0, 0, 0] when none is set.
/// Like pycocotools it reads only the first and last pixel of each set run, widening to the
/// full height when a run crosses a column boundary. A zero-length set run is skipped (pycocotools
/// would read a pixel outside the run there; the encoder never writes one).
std::array<double, 4> rle_to_bbox(const Rle& rle);

/// pycocotools' mask.iou for one pair: |dt & gt| / |dt | gt|, or |dt & gt| / |dt| when `iscrowd`
/// (gt is a crowd region); 0 when the masks share no pixel (two empty masks give 0).
/// ArgumentError when the sizes differ (pycocotools returns -1 there).
double rle_iou(const Rle& dt, const Rle& gt, bool iscrowd = false);

/// pycocotools' matrix form: result[d][g] = rle_iou(dt[d], gt[g], iscrowd[g]); empty when
/// either list is. `iscrowd` holds one flag per gt entry (ArgumentError otherwise).
std::vector<std::vector<double>> rle_iou_matrix(const std::vector<Rle>& dt,
                                                const std::vector<Rle>& gt,
                                                const std::vector<bool>& iscrowd);

// ---------------------------------------------------------------------------------------------
// Tracks: clip -> identity maps, MOTS and MOT files
// ---------------------------------------------------------------------------------------------

/// The identity number of a box key: "Box<n>" -> n + 1. ArgumentError for another text.
std::int64_t identity_of(std::string_view box_key);

/// A clip's masks as tracks: frame number (1 + position in clip order) -> identity -> mask, in
/// clip and box order. Empty masks and frames without masks are kept.
TrackMasks clip_track_masks(const ClipData& clip);

/// Tracks as COCO run-length encodings: frame number -> identity -> encoding, in read order.
/// Memory follows the length of the counts, not the planes, so huge planes cost nothing extra.
using TrackRles = OrderedMap<std::int64_t, OrderedMap<std::int64_t, Rle>>;

/// The encodings of tracked masks (encode_rle of each), empty masks kept.
TrackRles track_rles(const TrackMasks& masks);

/// The boxes of tracked masks: corners at the pixel edges, x1 = x_min, y1 = y_min,
/// x2 = x_max + 1, y2 = y_max + 1 (so x2 - x1 is the width in pixels, as MOT files give it).
/// Empty masks have no box and are left out; frames keep their (possibly empty) entry.
TrackBoxes track_boxes(const TrackMasks& masks);
/// The same boxes from encodings (rle_to_bbox), empty encodings left out.
TrackBoxes track_boxes(const TrackRles& rles);

/// MOTS challenge text, one line per non-empty mask in map order:
/// "<frame> <identity> 1 <height> <width> <compressed counts>" (class 1, space separated, as
/// TrackEval's MOTSChallenge reader takes it). Returns the number of lines written.
std::size_t write_mots(const TrackMasks& masks, const std::filesystem::path& path);
std::size_t write_mots(const ClipData& clip, const std::filesystem::path& path);

/// MOT challenge 2-D box text, one line per box in map order:
/// "<frame>,<identity>,<bb_left>,<bb_top>,<bb_width>,<bb_height>,1,-1,-1,-1" with
/// bb_left = x1, bb_width = x2 - x1 (whole numbers without a decimal point, others in the
/// shortest text that reads back to the same double). Returns the number of lines written.
std::size_t write_mot(const TrackBoxes& boxes, const std::filesystem::path& path);
/// The boxes of the clip's non-empty masks (track_boxes of clip_track_masks).
std::size_t write_mot(const ClipData& clip, const std::filesystem::path& path);

/// The longest line a MOTS or MOT file may have (64 MiB; a MOTS line of an 8K frame's mask
/// stays far below it).
inline constexpr std::size_t max_track_line_bytes = std::size_t{1} << 26;

/// Pixels read_mots may decode per byte of the file, beyond max_decoded_pixels.
inline constexpr std::int64_t mots_pixels_per_byte = 4096;

/// Reads a MOTS text file as run-length encodings: lines
/// "<frame> <id> <class> <height> <width> <counts>" separated by spaces or tabs; blank lines
/// are skipped; the class is not kept. Frames and identities keep the order of their first
/// line. Memory stays in proportion to the file's size whatever the planes. ContentError naming
/// the file and line for a missing or extra field, a number that is not an integer, a
/// malformed counts text, a line longer than max_track_line_bytes, or an identity given twice
/// in one frame; FileError when the path is a folder, a FIFO, a device or cannot be read.
TrackRles read_mots_rle(const std::filesystem::path& path);

/// read_mots_rle with every mask decoded. Decoding is bounded: the rectangles of a file's set
/// pixels may cover at most max_decoded_pixels + mots_pixels_per_byte * (file size in bytes)
/// pixels in all (so a 1 KiB file costs at most 132 MiB of crops), each at most
/// max_decoded_pixels; beyond that ContentError naming the file and line.
TrackMasks read_mots(const std::filesystem::path& path);

/// Reads a MOT text file: lines "<frame>,<id>,<bb_left>,<bb_top>,<bb_width>,<bb_height>[,...]"
/// (comma separated, or white space separated when a line has no comma). The box is
/// {bb_left, bb_top, bb_left + bb_width, bb_top + bb_height}; further fields must be numbers and
/// are not kept. ContentError naming the file and line for fewer than six fields, a field that
/// is not a number, a frame or id that is not a whole number, a negative or non-finite size, a
/// box edge that overflows to infinity, a line longer than max_track_line_bytes, or an identity
/// given twice in one frame; FileError as read_mots_rle.
TrackBoxes read_mot(const std::filesystem::path& path);

// ---------------------------------------------------------------------------------------------
// COCO video-instance JSON
// ---------------------------------------------------------------------------------------------

/// Writes the clip as one COCO video-instance JSON document (compact, members in this order),
/// which pycocotools' COCO(file) loads and whose annToMask gives back each mask exactly:
///  - "images": one per frame in clip order: "id" (1 + position in clip order), "file_name"
///    (the record's image_path as stored), "height", "width", "frame_index" (the record's frame
///    number from its file name), "video_id" 1;
///  - "annotations": one per mask in clip then box order, empty masks included: "id" (1, 2, ...
///    through the file), "image_id", "category_id" 1, "segmentation" {"size": [height, width],
///    "counts": compressed counts text}, "area" (set pixels, an integer), "bbox" (rle_to_bbox:
///    [x, y, width, height] as floats, [0.0, 0.0, 0.0, 0.0] for an empty mask), "iscrowd" 0,
///    "track_id" (the identity number);
///  - "categories": [{"id": 1, "name": "pig"}];
///  - "videos": [{"id": 1, "name": video_name, "height", "width", "length" (frames)}].
/// The frame size is the masks' size, which all masks must share (ArgumentError naming the frame
/// and box key otherwise); a clip without any mask takes it from its first frame's image
/// (FileError when that cannot be read; 0 x 0 for a clip without frames).
/// Returns the number of annotations written.
std::size_t write_coco(const ClipData& clip, const std::filesystem::path& path,
                       const std::string& video_name = "");

// ---------------------------------------------------------------------------------------------
// Trajectory table
// ---------------------------------------------------------------------------------------------

/// The table behaviour studies start from: one row per frame and animal, in clip then box
/// order, with the columns
///  - "position": the frame's key in the clip (its position in the file list);
///  - "frame_index": the frame number from the annotation file's name;
///  - "box_key": "Box<n>"; "object_id": the identity number n + 1;
///  - "area": set pixels;
///  - "centroid_x", "centroid_y": mean column and row of the set pixels, in pixels (floating);
///  - "x_min", "y_min", "x_max", "y_max": the inclusive pixel extent (integers);
///  - "distance": how far, in pixels, the centroid moved since this animal's previous row that
///    had a centroid (Euclidean, floating).
/// For an empty mask the centroid, extent and distance are absent (empty CSV cells); an animal's
/// first row with a centroid has no distance.
Table trajectory_table(const ClipData& clip);

/// trajectory_table written as CSV (Table::to_csv). Returns the number of rows.
std::size_t write_trajectories(const ClipData& clip, const std::filesystem::path& path);

// ---------------------------------------------------------------------------------------------
// Exports of a clip
// ---------------------------------------------------------------------------------------------

enum class ExportFormat { coco, mots, mot, trajectories };

/// "coco", "mots", "mot" or "trajectories". ArgumentError naming the text otherwise.
ExportFormat export_format(std::string_view name);

/// Writes the clip to `path` in `format` (write_coco, write_mots, write_mot,
/// write_trajectories); `video_name` is used by COCO only. Returns the number of annotations,
/// lines or rows written. ArgumentError when `path` is one of the clip's annotation files or
/// frame images (the same file by device and inode).
std::size_t export_clip(const ClipData& clip, ExportFormat format,
                        const std::filesystem::path& path, const std::string& video_name = "");

/// Loads the tracker output under `save_dir_base` as get_kovra_annotation_data does for a whole
/// clip (reading up to `threads` files at once; no intersection tables, which no format
/// holds) and exports it; the COCO video is named after the folder. FileError naming the folder
/// when it holds no annotation file.
std::size_t export_tracker_output(const std::string& save_dir_base, ExportFormat format,
                                  const std::filesystem::path& path, int threads = 1);

}  // namespace kovra_utils
