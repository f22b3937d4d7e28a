#pragma once

// Tracking question report, consecutive-frame runs and overlap-frame resolution.
//
// Report tables have the columns "Frame ID", "Box Pair", "Intersection Value", "Mask Area1",
// "Mask Area2", "Report type", "Box ID", "Mask Areas" in this order; cells a row does not use
// are absent. Messages go to std::cout. Bad input throws: ContentError for a record or table
// cell that is missing or of the wrong type, std::out_of_range for a box key or frame key that is
// not there, FileError for a report that cannot be written or an image that cannot be read.

#include <kovra_utils/continuation.hpp>
#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// The eight report columns, in file order.
const std::vector<std::string>& tracking_report_columns();

/// Result of generate_tracking_report.
struct TrackingReport {
  /// Every high-overlap row of every frame, labelled 0, 1, 2, ...
  Table overlap_frames_data;
  /// The zero-area rows in scan order (frames in map order, boxes in mask_areas order), as a
  /// table with the report columns, so it can be handed to find_continuous_frames directly.
  Table zero_area_frames;
  /// Keys of the frames holding at least one high-overlap cell, in map order.
  std::vector<std::int64_t> overlap_frames;
  /// The high-overlap rows of the last frame in `overlap_frames` (empty when there is none).
  Table box_keys_df;
};

/// Lists zero-area masks and intersection cells strictly above `intersection_thrr` of a clip
/// loaded in whole-clip mode and writes them to `save_dir_base`/"tracking_question_report.csv":
/// the overlap rows (frames in map order, cells row-major, "Intersection Value" rounded to two
/// decimals, halves to even), then the zero-area rows. The file is replaced atomically; when
/// there is nothing to report nothing is printed or written.
/// Throws ContentError for a record without an intersection table (naming its key),
/// std::out_of_range for an overlapping box missing from its record's mask_areas, and FileError
/// when the folder is missing or not writable (an earlier report is then left as it was).
TrackingReport generate_tracking_report(const ClipData& kovra_annotation_data,
                                        const std::string& save_dir_base,
                                        double intersection_thrr = 80);

/// Runs of consecutive frame numbers; each run ascending, runs in ascending order of their first
/// frame.
using FrameRuns = std::vector<std::vector<std::int64_t>>;
/// Group value -> its runs, groups in ascending order of the value (numbers numerically, texts
/// in code-point order).
using FrameRunsMap = OrderedMap<Value, FrameRuns>;

/// Groups the rows of `frames_df` by the `group_by` column (absent values in no group), sorts
/// each group's "Frame ID" values (duplicates kept) and cuts them into runs of consecutive
/// numbers; a repeated number starts a new run. Keeps the runs of at least `n_consecutive`
/// frames; groups without one are left out. Prints nothing.
/// Throws std::out_of_range for a missing column and ContentError for a "Frame ID" cell of a
/// grouped row that is not an integer.
FrameRunsMap find_continuous_frames(const Table& frames_df, const std::string& group_by = "Box ID",
                                    std::int64_t n_consecutive = 3);

/// Result of process_overlap_frames.
struct OverlapResolution {
  /// The frame at which overlapping begins (or ends, when reversed); absent when no pair of the
  /// run map has a qualifying frame.
  std::optional<std::int64_t> test_frame;
  /// The box chosen most often in `worst_boxes` (the earliest chosen on a tie); absent when
  /// `worst_boxes` is empty.
  std::optional<std::string> most_frequent_box;
  /// The "Box Pair" runs the resolution was built on.
  FrameRunsMap con_frames_dict;
  /// Per compared frame, the tested box whose mask changed most.
  std::vector<std::string> worst_boxes;
};

/// Names the box most likely to carry an identity error around the overlap runs of
/// `overlap_frames_dataframe` (the first table of generate_tracking_report).
///
/// Runs need `n_consecutive` frames, or `n_consecutive` + 2 when the table names more than one
/// box pair. Per pair the first frame with exactly one and with several overlapping pairs are
/// found, or the last ones when its overlap is present at frame 0 (then the pair is reversed;
/// the last pair decides the direction). From the smallest of those frames, `test_frame`, up to
/// five frames on the clean side (before it, or from it on when reversed) are each compared with
/// the frame just past it (`test_frame` + 1, or `test_frame` - 1 when reversed) for every box of
/// the paired keys: mask IoU, box IoU and the cosine similarity of the masks' appearance
/// features (via generate_sam2_image_features on the frames' images, read as RGB). Frames
/// outside the clip are skipped. A box key may hold a negative number (Box-1): pair keys are
/// split only at a "-" that starts the next "Box".
///
/// When there is no `test_frame`, or every compared frame is skipped, the result holds the
/// absent values and an empty `worst_boxes`, and the last message is not printed.
/// Throws std::out_of_range for a compared frame missing from `kovra_annotation_data` or a box
/// missing from a compared frame's masks, FileError for an unreadable frame image, ContentError
/// for a "Box Pair" run key that is not text; errors of the predictor propagate.
OverlapResolution process_overlap_frames(const Table& overlap_frames_dataframe,
                                         const ClipData& kovra_annotation_data,
                                         SegmentationPredictor& image_predictor,
                                         std::int64_t n_consecutive = 2);

}  // namespace kovra_utils
