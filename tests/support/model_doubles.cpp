#include "model_doubles.hpp"

#include <stdexcept>

namespace kovra_test {

void ScriptedPredictor::set_image(const cv::Mat& image) { calls.push_back({"set_image", image.clone()}); }

kovra_utils::Prediction ScriptedPredictor::predict(const std::optional<cv::Mat>& point_coords,
                                                   const std::optional<cv::Mat>& point_labels,
                                                   const cv::Mat& box, bool multimask_output) {
  if (point_coords || point_labels || multimask_output) {
    throw std::logic_error("predict called with point prompts or multimask_output");
  }
  calls.push_back({"predict", box.clone()});
  if (!predictions.empty()) {
    kovra_utils::Prediction next = predictions.front();
    predictions.pop_front();
    return next;
  }
  if (respond) return respond(box);
  throw std::logic_error("ScriptedPredictor has no prediction left");
}

std::map<std::string, cv::Mat> ScriptedPredictor::image_encoder(const cv::Mat& tensor) {
  calls.push_back({"image_encoder", tensor.clone()});
  if (encode) return {{"vision_features", encode(tensor)}};
  const int dims[] = {1, 4, 2, 2};
  cv::Mat features(4, dims, CV_32F);
  const double mean = cv::mean(cv::Mat(1, static_cast<int>(tensor.total()), CV_32F,
                                       const_cast<std::uint8_t*>(tensor.data)))[0];
  for (int f = 0; f < 4; ++f) {
    for (int r = 0; r < 2; ++r) {
      for (int c = 0; c < 2; ++c) {
        const int index[] = {0, f, r, c};
        features.at<float>(index) = static_cast<float>(mean * (f + 1) + r - c);
      }
    }
  }
  return {{"vision_features", features}};
}

std::vector<std::string> ScriptedPredictor::methods() const {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(call.method);
  return names;
}

cv::Mat stack_masks(const std::vector<cv::Mat>& planes) {
  if (planes.empty()) {
    const int dims[] = {0, 0, 0};
    return cv::Mat(3, dims, CV_8U);
  }
  const int dims[] = {static_cast<int>(planes.size()), planes[0].rows, planes[0].cols};
  cv::Mat stacked(3, dims, CV_8U);
  for (std::size_t i = 0; i < planes.size(); ++i) {
    cv::Mat plane(planes[0].rows, planes[0].cols, CV_8U,
                  stacked.data + i * planes[0].total());
    cv::Mat source;
    planes[i].convertTo(source, CV_8U);
    source.copyTo(plane);
  }
  return stacked;
}

std::unique_ptr<kovra_utils::DetectorBatch> ScriptedBatch::to(const kovra_utils::Device& device) const {
  log_->push_back({"to", {}});
  return std::make_unique<ScriptedBatch>(log_, device);
}

std::any ScriptedBatch::input_ids() const { return std::string("input_ids"); }

std::unique_ptr<kovra_utils::DetectorBatch> ScriptedDetector::operator()(
    const cv::Mat& image, const std::string& text, const std::string& return_tensors) {
  if (return_tensors != "pt") throw std::logic_error("processor called without return_tensors pt");
  calls.push_back({"processor", image.clone()});
  texts.push_back(text);
  return std::make_unique<ScriptedBatch>(&calls);
}

std::any ScriptedDetector::operator()(const kovra_utils::DetectorBatch& inputs) {
  calls.push_back({"network", {}});
  const auto* batch = dynamic_cast<const ScriptedBatch*>(&inputs);
  devices.push_back(batch ? batch->device() : std::string("?"));
  return std::string("outputs");
}

std::vector<kovra_utils::DetectionResult> ScriptedDetector::post_process_grounded_object_detection(
    const std::any& outputs, const std::any& input_ids, double text_threshold,
    const std::vector<std::pair<int, int>>& sizes) {
  if (std::any_cast<std::string>(outputs) != "outputs" ||
      std::any_cast<std::string>(input_ids) != "input_ids") {
    throw std::logic_error("post-processing did not receive the network output and input_ids");
  }
  calls.push_back({"post_process", {}});
  text_thresholds.push_back(text_threshold);
  target_sizes.insert(target_sizes.end(), sizes.begin(), sizes.end());
  if (results.empty()) return {kovra_utils::DetectionResult{}};
  kovra_utils::DetectionResult next = results.front();
  results.pop_front();
  return {next};
}

std::vector<std::string> ScriptedDetector::methods() const {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(call.method);
  return names;
}

void ScriptedVideoPredictor::enter(const std::string& method, const std::any* inference_state) {
  if (inference_state != nullptr) {
    const int* state = std::any_cast<int>(inference_state);
    if (state == nullptr || *state != state_) throw std::logic_error(method + " got another state");
  }
  if (method == fail_in) throw std::runtime_error("model failed");
}

std::any ScriptedVideoPredictor::init_state(const std::string& video_path) {
  enter("init_state", nullptr);
  calls.push_back("init_state " + video_path);
  return state_ = 7;
}

void ScriptedVideoPredictor::add_new_mask(std::any& inference_state, std::int64_t frame_idx,
                                          std::int64_t obj_id, const kovra_utils::Mask& mask) {
  enter("add_new_mask", &inference_state);
  calls.push_back("add_new_mask " + std::to_string(frame_idx) + " " + std::to_string(obj_id) +
                  " " + std::to_string(mask.area()));
  added.push_back(mask);
}

void ScriptedVideoPredictor::propagate_in_video(std::any& inference_state,
                                                const FrameCallback& callback) {
  enter("propagate_in_video", &inference_state);
  calls.push_back("propagate_in_video");
  for (const Frame& frame : frames) callback(frame.frame_idx, frame.obj_ids, frame.mask_logits);
}

void ScriptedVideoPredictor::reset_state(std::any& inference_state) {
  enter("reset_state", &inference_state);
  calls.push_back("reset_state");
}

}  // namespace kovra_test
