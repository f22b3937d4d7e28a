#pragma once

// Stand-in models for demos and tests. THESE ARE NOT TRAINED MODELS: they implement the model
// interfaces of models.hpp with plain image processing, for footage in which the animals are
// bright blobs on a darker floor. They know nothing about pigs, occlusion or appearance beyond
// brightness; on real pen-camera footage use the real detector and segmentation predictor.
//
// - BrightBlobDetector: gray threshold, connected components, one box per large component,
//   labelled with the prompt's first word ("pig." gives "pig").
// - ThresholdPredictor: per prompted box, the thresholded component that covers the box best,
//   searched in the box grown by a margin so that an animal that moved a little is still found;
//   its image encoder summarises the crop's appearance in a small "vision_features" array.
// - BoxPropagationTracker: a video predictor that follows each object by prompting an image
//   predictor with the object's box on the frame before.

#include <kovra_utils/models.hpp>

#include <opencv2/core.hpp>

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kovra_utils {

/// What separates an animal from the floor.
struct BrightBlobOptions {
  /// Gray level (0..255); pixels strictly above it are animal.
  double threshold = 170;
  /// Components with fewer pixels are noise.
  int min_area = 400;
};

/// Detector processor and network in one object; the processor takes the frame as stored (RGB, or
/// RGBA with alpha). The processor's batch carries the image; the
/// network finds the blobs; the post-processing scores and labels them.
///
/// Score of a blob: the share of its box covered by the blob (1.0 for a filled rectangle, about
/// 0.79 for an ellipse). The post-processing drops blobs scoring below `box_threshold` and labels
/// the rest with the prompt's first word when the score reaches `text_threshold`, with an empty
/// label otherwise, as an open-vocabulary detector does with weakly matching phrases.
class BrightBlobDetector : public DetectionProcessor, public DetectionNetwork {
 public:
  explicit BrightBlobDetector(BrightBlobOptions options = {}, double box_threshold = 0.25) :
      options_(options), box_threshold_(box_threshold) {}

  /// `image`: 8-bit, 1, 3 (BGR or RGB) or 4 channels. Throws ArgumentError for other images.
  std::unique_ptr<DetectorBatch> operator()(const cv::Mat& image, const std::string& text,
                                            const std::string& return_tensors) override;
  /// `inputs` must be a batch made by this detector's processor (ArgumentError otherwise).
  std::any operator()(const DetectorBatch& inputs) override;
  /// `outputs` must come from this detector's network (ArgumentError otherwise).
  std::vector<DetectionResult> post_process_grounded_object_detection(
      const std::any& outputs, const std::any& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override;

 private:
  BrightBlobOptions options_;
  double box_threshold_;
};

/// Segmentation predictor by thresholding inside each prompted box.
class ThresholdPredictor : public SegmentationPredictor {
 public:
  /// `box_margin`: pixels by which each prompted box is grown before searching it.
  explicit ThresholdPredictor(BrightBlobOptions options = {}, int box_margin = 40) :
      options_(options), box_margin_(box_margin) {}

  /// `image`: H x W x 3, CV_8UC3, RGB. Throws ArgumentError for other images.
  void set_image(const cv::Mat& image) override;

  /// One mask per box row, as an N x H x W CV_8U 0/1 array (2-D H x W for one box). A mask is
  /// the component of above-threshold pixels inside the grown box that has the most pixels
  /// inside the box itself; all clear when no component reaches into the box. Throws
  /// ArgumentError before set_image, for point prompts, multimask output or a box array that is
  /// not N x 4 CV_64F / CV_32S with finite values.
  Prediction predict(const std::optional<cv::Mat>& point_coords,
                     const std::optional<cv::Mat>& point_labels, const cv::Mat& box,
                     bool multimask_output) override;

  /// "vision_features": 1 x 8 x 2 x 2 CV_32F. Channels 0-2 are the mean R, G, B of each
  /// quadrant, 3-5 their standard deviations, 6 the share of non-black pixels, 7 the mean of
  /// the horizontal gradient magnitude. `tensor` must be 4-D CV_32F 1 x 3 x H x W.
  std::map<std::string, cv::Mat> image_encoder(const cv::Mat& tensor) override;

 private:
  BrightBlobOptions options_;
  int box_margin_;
  cv::Mat image_;  // RGB image last set
  cv::Mat foreground_;  // CV_8U 0/255 above-threshold plane of image_
};

/// Video predictor by box prompts: on every frame after the prompted one, each object's mask is
/// `image_predictor`'s answer to the object's box on the frame before. An object whose mask
/// became clear stays clear. Frames are the JPEG files (.jpg, .jpeg, .JPG, .JPEG) of the video
/// folder, ordered by the integer their name's stem holds (0000.jpg, 0001.jpg, ...), and read
/// as RGB for the predictor. The predictor must outlive the tracker.
class BoxPropagationTracker : public VideoPredictor {
 public:
  explicit BoxPropagationTracker(SegmentationPredictor& image_predictor) :
      image_predictor_(image_predictor) {}

  /// Lists the frames of the folder `video_path`: FileError when it cannot be listed,
  /// ContentError when it holds no JPEG frame or one whose stem is not an integer.
  std::any init_state(const std::string& video_path) override;
  /// ArgumentError for a state not made by this class, a frame outside the clip or a mask
  /// whose size differs from the masks added before. A second mask for an object replaces
  /// the first.
  void add_new_mask(std::any& inference_state, std::int64_t frame_idx, std::int64_t obj_id,
                    const Mask& mask) override;
  /// From the earliest prompted frame to the last, objects in the order they were added; an
  /// object is clear before its prompted frame and takes its prompt mask on that frame. Logits
  /// are N x H x W CV_8U, 1 inside the object. ArgumentError when no mask was added;
  /// FileError for a frame that cannot be read, ContentError for one of another size.
  void propagate_in_video(std::any& inference_state, const FrameCallback& callback) override;
  void reset_state(std::any& inference_state) override;

 private:
  SegmentationPredictor& image_predictor_;
};

}  // namespace kovra_utils
