#pragma once

// The trained models stay outside the library; these interfaces hold exactly what the
// library calls. The caller owns the models and passes references. Errors thrown by a model
// propagate unchanged.
//
// Channel order of every image input: set_image takes RGB, the image encoder an RGB tensor, the
// detector's processor the frame as stored (RGB, or RGBA for a frame with alpha); never BGR.
//
// Call order the library keeps:
//  - SegmentationPredictor: set_image(image) before predict(...) on that image; image_encoder
//    after set_image.
//  - Detection: processor(image, "pig.", "pt"), then batch.to(device), then network(batch),
//    then processor.post_process_grounded_object_detection(outputs, batch.input_ids(),
//    text_threshold, {(H, W)}).
//  - VideoPredictor: init_state(video_path), add_new_mask(...) for every object on the prompted
//    frame, propagate_in_video(...), reset_state(...), all on the state init_state made.

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kovra_utils {

/// The compute device handed through to the models unchanged (for example "cuda").
using Device = std::string;

/// What predict returns. `masks` has 2 (H x W, one box), 3 (N x H x W) or 4 (N x 1 x H x W)
/// dimensions, any depth, non-zero inside the object; `scores` and `logits` share its leading
/// axis and are never read by the library.
struct Prediction {
  cv::Mat masks;
  cv::Mat scores;
  cv::Mat logits;
};

/// A promptable segmentation model (an image predictor).
class SegmentationPredictor {
 public:
  virtual ~SegmentationPredictor() = default;

  /// Prepares the following calls on `image`: H x W x 3, CV_8UC3, RGB.
  virtual void set_image(const cv::Mat& image) = 0;

  /// Segments one object per row of `box`, an N x 4 CV_64F (floating boxes) or CV_32S
  /// (integer boxes) matrix of [x1, y1, x2, y2] rows in pixels of the image last set.
  /// The library always passes absent point prompts and multimask_output false.
  virtual Prediction predict(const std::optional<cv::Mat>& point_coords,
                             const std::optional<cv::Mat>& point_labels, const cv::Mat& box,
                             bool multimask_output) = 0;

  /// The model's image encoder, run where the model lives, without gradient tracking.
  /// `tensor`: 4-D CV_32F 1 x 3 x 256 x 256, RGB, values in [0, 1]. Returns named outputs; the
  /// library reads "vision_features", a 4-D CV_32F 1 x F x h x w matrix.
  virtual std::map<std::string, cv::Mat> image_encoder(const cv::Mat& tensor) = 0;
};

/// The detector processor's batch of named tensors; opaque to the library.
class DetectorBatch {
 public:
  virtual ~DetectorBatch() = default;
  /// The batch placed on `device`.
  virtual std::unique_ptr<DetectorBatch> to(const Device& device) const = 0;
  /// The batch's "input_ids" entry, handed back to the post-processing.
  virtual std::any input_ids() const = 0;
};

/// One image's post-processed detections: N scores, N labels, N boxes in absolute pixels.
struct DetectionResult {
  std::vector<double> scores;
  std::vector<std::string> labels;
  std::vector<Box> boxes;
  /// The scores are float32 values (as a torch detector gives them) widened to double; they
  /// print in float32's own shortest form ("0.9", not "0.8999999761581421").
  bool float32_scores = false;
};

/// The open-vocabulary detector's input processor, which also post-processes the network output.
class DetectionProcessor {
 public:
  virtual ~DetectionProcessor() = default;
  /// `image`: the frame as stored in its file, 8-bit: RGB (H x W x 3) for a colour or gray
  /// frame, RGBA (H x W x 4) for a frame with alpha.
  virtual std::unique_ptr<DetectorBatch> operator()(const cv::Mat& image, const std::string& text,
                                                    const std::string& return_tensors) = 0;
  /// One result per image; `target_sizes` holds one (height, width) pair per image.
  /// No box threshold is passed, so the processor's own default applies.
  virtual std::vector<DetectionResult> post_process_grounded_object_detection(
      const std::any& outputs, const std::any& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) = 0;
};

/// The detector network, run without gradient tracking; its output is opaque to the library.
class DetectionNetwork {
 public:
  virtual ~DetectionNetwork() = default;
  virtual std::any operator()(const DetectorBatch& inputs) = 0;
};

/// A promptable video segmentation model (a video predictor): prompted with masks on one frame,
/// it follows every object through the clip's frames. The inference state is the model's own;
/// the library only hands it back.
class VideoPredictor {
 public:
  /// Receives one propagated frame: its position in the clip, the object ids, and their mask
  /// logits, N x 1 x H x W or N x H x W (any depth), in the order of `obj_ids`; a pixel belongs
  /// to the object where its logit is above 0. The logits are only valid during the call.
  using FrameCallback = std::function<void(std::int64_t frame_idx,
                                           const std::vector<std::int64_t>& obj_ids,
                                           const cv::Mat& mask_logits)>;

  virtual ~VideoPredictor() = default;

  /// A new inference state over the clip in `video_path` (a folder of JPEG frames).
  virtual std::any init_state(const std::string& video_path) = 0;

  /// Prompts object `obj_id` with `mask` (H x W, the frame's size) on frame `frame_idx`.
  virtual void add_new_mask(std::any& inference_state, std::int64_t frame_idx,
                            std::int64_t obj_id, const Mask& mask) = 0;

  /// Follows the prompted objects from the earliest prompted frame to the clip's end, calling
  /// `callback` once per frame in frame order.
  virtual void propagate_in_video(std::any& inference_state, const FrameCallback& callback) = 0;

  /// Forgets every prompt and result; the state can then be prompted again.
  virtual void reset_state(std::any& inference_state) = 0;
};

/// Tracks `masks` through the clip of JPEG frames in `video_dir`: object ids 1 .. N for the
/// masks in order, prompted on frame `ann_frame_idx`, then propagated; a pixel is set where its
/// logit is above 0. Returns frame -> object id -> mask in the order the predictor gave them; the
/// state is reset afterwards. ArgumentError for no masks, masks of different sizes or a negative
/// `ann_frame_idx`; ContentError when the predictor's logits do not fit its object ids or the
/// masks' size. Errors of the predictor propagate unchanged.
VideoSegments track_clip(VideoPredictor& video_predictor, const std::string& video_dir,
                         const std::vector<Mask>& masks, std::int64_t ann_frame_idx = 0);

/// The masks of a prediction as N masks of `image_size`, normalising 2-, 3- and 4-axis results
/// (a 4-axis result must have 1 as its second axis). Throws ContentError naming the shape when
/// the axes or the mask size do not fit.
std::vector<Mask> masks_from_prediction(const cv::Mat& masks, cv::Size image_size);

}  // namespace kovra_utils
