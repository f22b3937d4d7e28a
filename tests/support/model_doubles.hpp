#pragma once

// Scripted stand-ins for the outside models: they return what a test gives them and record
// every call, so tests can assert call order and arguments.

#include <kovra_utils/models.hpp>

#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kovra_test {

/// One recorded call: the method name and, where useful, a copy of its main argument.
struct Call {
  std::string method;
  cv::Mat argument;  // image for set_image, box for predict, tensor for image_encoder
};

class ScriptedPredictor : public kovra_utils::SegmentationPredictor {
 public:
  /// Predictions returned by predict, in order; when the queue is empty `respond` is used.
  std::deque<kovra_utils::Prediction> predictions;
  std::function<kovra_utils::Prediction(const cv::Mat& box)> respond;
  /// Encoder output: "vision_features" of 1 x F x 2 x 2 from `encode` (default: F = 4 values
  /// derived from the tensor's mean).
  std::function<cv::Mat(const cv::Mat& tensor)> encode;

  std::vector<Call> calls;

  void set_image(const cv::Mat& image) override;
  kovra_utils::Prediction predict(const std::optional<cv::Mat>& point_coords,
                                  const std::optional<cv::Mat>& point_labels, const cv::Mat& box,
                                  bool multimask_output) override;
  std::map<std::string, cv::Mat> image_encoder(const cv::Mat& tensor) override;

  /// Method names of the recorded calls, in order.
  std::vector<std::string> methods() const;
};

/// Builds an N x H x W CV_8U masks array from dense planes (the predictor's 3-axis form).
cv::Mat stack_masks(const std::vector<cv::Mat>& planes);

class ScriptedBatch : public kovra_utils::DetectorBatch {
 public:
  explicit ScriptedBatch(std::vector<Call>* log, std::string device = "") :
      log_(log), device_(std::move(device)) {}
  std::unique_ptr<kovra_utils::DetectorBatch> to(const kovra_utils::Device& device) const override;
  std::any input_ids() const override;
  const std::string& device() const { return device_; }

 private:
  std::vector<Call>* log_;
  std::string device_;
};

/// Detector processor and network in one object sharing one call log. `results` are returned
/// by post-processing, one per tried frame in order (an empty result when exhausted).
class ScriptedDetector : public kovra_utils::DetectionProcessor,
                         public kovra_utils::DetectionNetwork {
 public:
  std::deque<kovra_utils::DetectionResult> results;
  std::vector<Call> calls;
  std::vector<std::string> texts;           // prompts given to the processor
  std::vector<std::string> devices;         // devices the network's inputs were on
  std::vector<double> text_thresholds;
  std::vector<std::pair<int, int>> target_sizes;

  std::unique_ptr<kovra_utils::DetectorBatch> operator()(const cv::Mat& image,
                                                         const std::string& text,
                                                         const std::string& return_tensors) override;
  std::any operator()(const kovra_utils::DetectorBatch& inputs) override;
  std::vector<kovra_utils::DetectionResult> post_process_grounded_object_detection(
      const std::any& outputs, const std::any& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override;

  std::vector<std::string> methods() const;
};

/// A video predictor that hands out `frames` when propagating and records every call as text:
/// "init_state <path>", "add_new_mask <frame> <id> <area>", "propagate_in_video",
/// "reset_state". The state is a number checked on every later call (std::logic_error when a
/// call gets another state). `fail_in`, when set, names the method that throws
/// std::runtime_error("model failed") instead of running.
class ScriptedVideoPredictor : public kovra_utils::VideoPredictor {
 public:
  struct Frame {
    std::int64_t frame_idx = 0;
    std::vector<std::int64_t> obj_ids;
    cv::Mat mask_logits;
  };
  std::vector<Frame> frames;
  std::string fail_in;

  std::vector<std::string> calls;
  std::vector<kovra_utils::Mask> added;  // the prompt masks, in order

  std::any init_state(const std::string& video_path) override;
  void add_new_mask(std::any& inference_state, std::int64_t frame_idx, std::int64_t obj_id,
                    const kovra_utils::Mask& mask) override;
  void propagate_in_video(std::any& inference_state, const FrameCallback& callback) override;
  void reset_state(std::any& inference_state) override;

 private:
  void enter(const std::string& method, const std::any* inference_state);
  int state_ = 0;
};

}  // namespace kovra_test
