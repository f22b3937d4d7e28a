#pragma once

// Last-frame selection, stacked-box pruning, the clip-start matcher and similarity measures.
//
// A previous clip's loaded tracker output (`laste_frame`) is a ClipData: key (file position)
// -> FrameRecord. The number of tracks of a clip is fixed at 10.
//
// Errors: ArgumentError for masks of different sizes, an empty input where a maximum is needed
// or a missing predictor; std::out_of_range for a frame position outside `frame_names`;
// FileError for an unreadable frame image; ContentError for a model output of the wrong shape.
// Errors of the models themselves propagate unchanged. Messages name the function and value.

#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>
#include <kovra_utils/visual.hpp>

#include <opencv2/core.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

/// The number of tracks every clip holds.
inline constexpr int CLIP_TRACK_COUNT = 10;

/// A list of box keys to drop from a previous clip. Entries may be absent (a null in the
/// caller's list): an absent entry removes nothing and does not lower the track count, while
/// an empty key removes nothing but does lower it. Built implicitly from a list of keys, so the
/// result of find_boxes_with_small_area_from_last_video can be passed straight on.
class BoxKeyList {
 public:
  BoxKeyList() = default;
  BoxKeyList(std::vector<std::optional<std::string>> entries) : entries_(std::move(entries)) {}
  BoxKeyList(const std::vector<std::string>& keys) : entries_(keys.begin(), keys.end()) {}
  BoxKeyList(std::initializer_list<std::optional<std::string>> entries) : entries_(entries) {}

  const std::vector<std::optional<std::string>>& entries() const { return entries_; }
  /// Whether `key` is one of the present entries.
  bool contains(const std::string& key) const;
  /// Number of present (non-null) entries, empty keys included.
  int present_count() const;

 private:
  std::vector<std::optional<std::string>> entries_;
};

// ---- Last-frame selection -------------------------------------------------------------------

/// Result of find_best_laste_frame: the accepted record (a copy of the caller's record; masks
/// share their pixels) and false, or absent and true when no frame was accepted.
struct BestLasteFrame {
  std::optional<FrameRecord> best_laste_frame;
  bool not_last_frame = true;
};

/// Walks back from the last key of `laste_frame` (keys in ascending order) over at most
/// `max_attempts` frames and accepts the first whose masks all have more than `min_area`
/// pixels, whose non-empty masks number at least 10 - (present entries of `remove_stack_obs`),
/// and whose pairwise overlaps (intersection_between_masks) are all below 50 percent.
/// Accepting a key other than 599 prints "Switched to frame key <key> due to small mask area in
/// later frames."; when nothing is accepted, prints "No valid frame found with all masks area >
/// <min_area> in the last <max_attempts> frames for <n_track> tracks." and returns absent, true.
/// The walk stops at the first key: a clip shorter than `max_attempts` (or empty) fails the
/// normal way. Before the walk, every non-empty key of `remove_stack_obs` is erased from the
/// `masks_dict` of every record of `laste_frame`, in place (other members are left as they are).
BestLasteFrame find_best_laste_frame(ClipData& laste_frame, std::int64_t min_area = 10,
                                     std::int64_t max_attempts = 10,
                                     const BoxKeyList& remove_stack_obs = {});

// ---- Stacked-box pruning --------------------------------------------------------------------

/// The box keys whose `mask_areas` value is at most `area_threshold` in more than `min_count`
/// of the records whose key is greater than `min_frame_id`, in order of first small occurrence.
/// Reads only `mask_areas`; prints nothing.
std::vector<std::string> find_boxes_with_small_area_from_last_video(const ClipData& laste_frame,
                                                                    std::int64_t min_frame_id = 500,
                                                                    std::int64_t area_threshold = 100,
                                                                    std::int64_t min_count = 100);

// ---- Clip-start matcher ---------------------------------------------------------------------

/// Result of matcher; on any failure every member is absent and `no_best_laste_frame` is true.
struct MatcherResult {
  std::optional<std::vector<Mask>> masks;          ///< one new mask per old box, in box order
  std::optional<std::vector<std::string>> OBJECTS;  ///< "pig" once per mask
  std::optional<std::vector<std::string>> keep_box;  ///< Box0 .. Box9 minus remove_stack_box
  std::optional<FrameRecord> best_laste_frame;      ///< the chosen record of the previous clip
  bool no_best_laste_frame = true;
};

/// Seeds a new clip: picks a last frame with find_best_laste_frame(laste_frame, min_area,
/// max_attempts, remove_stack_box) (its box removal reaches the caller's records), prompts
/// `image_predictor` with the inclusive bounding boxes of that frame's masks on the image
/// `frame_names[ann_frame_idx]` (read with its stored channels, handed over as RGB), and
/// accepts the new masks when every pairwise overlap is at most 10 percent, there is one mask
/// per old mask, and every mask has at least `min_area` pixels.
///
/// Prints "Issue is from the laste frame, not enough masks found." when no last frame is found
/// (the predictor is not called), "ann_frame_idx [<i>] works for mask finding!!!" on success
/// and "ann_frame_idx [<i>] cannot work..", then an empty line, on rejection. When
/// `display_func` is set it receives img_bbx_drawing of the frame image with the old masks
/// (RGBA), once, before that message.
///
/// Throws ArgumentError when a last frame is found but `image_predictor` is null or the chosen
/// frame holds no mask to prompt with; std::out_of_range when `ann_frame_idx` is outside
/// `frame_names`; FileError when the image cannot be read.
MatcherResult matcher(ClipData& laste_frame, const std::vector<std::string>& frame_names,
                      std::int64_t ann_frame_idx = 0,
                      SegmentationPredictor* image_predictor = nullptr,
                      const BoxKeyList& remove_stack_box = {}, std::int64_t min_area = 10,
                      std::int64_t max_attempts = 10, const DisplayFunc& display_func = {});

// ---- Mask similarity measures ---------------------------------------------------------------
//
// Score matrices are CV_64F with one row per new item and one column per old item.

/// Pixel IoU of every (new, old) pair: intersection / (union + 1e-6). All masks must share one
/// size (ArgumentError otherwise).
cv::Mat cal_masks_iou_scores(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old);

/// Centroid similarity of every (new, old) pair: 1 - distance / (largest distance + 1e-6).
/// A pair with an empty mask counts as one pixel farther than the farthest valid pair; when no
/// pair is valid every entry is NaN. Throws ArgumentError for an empty side or masks of
/// different sizes.
cv::Mat cal_centroid_distance(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old);

/// One appearance feature per mask, absent for a mask too small to describe.
using FeatureVector = std::vector<float>;
using FeatureList = std::vector<std::optional<FeatureVector>>;

/// Appearance features of `masks` on `image` (8-bit RGB, or RGBA / gray converted to RGB): sets
/// the image on the predictor once, then per mask of at least 10 pixels feeds the image encoder
/// the enhanced gray crop of the mask's extent (last row and column excluded), black outside
/// the mask, as a 1 x 3 x 256 x 256 tensor of values / 255 (bilinear resize), and mean-pools
/// the "vision_features" output over its two spatial axes. A mask of fewer than 10 pixels, or
/// one whose pixels lie in a single row or column, gets an absent feature. Masks must have the
/// image's size (ArgumentError); an encoder output without a 4-D "vision_features" of one
/// batch entry is a ContentError.
FeatureList generate_sam2_image_features(const cv::Mat& image, const std::vector<Mask>& masks,
                                         SegmentationPredictor& image_predictor);

/// Cosine similarity of every (new, old) feature pair (0 when either vector is all zero);
/// entries with an absent feature on either side are minus infinity. Never fails on absent
/// features; vectors of different lengths are an ArgumentError.
cv::Mat cosine_scores_cal(const FeatureList& image_features_new,
                          const FeatureList& image_features_old);

}  // namespace kovra_utils
