#include "demo_tracking.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace kovra_cli {

using kovra_utils::Mask;
using Objects = kovra_utils::OrderedMap<std::int64_t, Mask>;

namespace {

cv::Mat read_rgb(const std::string& path) {
  const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (bgr.empty()) throw InputError("cannot read the frame image " + path);
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

// N x 4 integer rows [x_min, y_min, x_max, y_max] of the objects' masks, in object order.
cv::Mat box_prompts(const Objects& objects) {
  cv::Mat boxes(static_cast<int>(objects.size()), 4, CV_32S);
  int row = 0;
  for (const auto& [id, mask] : objects) {
    const auto box = mask.box();
    for (int c = 0; c < 4; ++c) boxes.at<int>(row, c) = box[static_cast<std::size_t>(c)];
    ++row;
  }
  return boxes;
}

Objects follow(const Objects& previous, const std::string& frame_name,
               kovra_utils::SegmentationPredictor& predictor) {
  const cv::Mat image = read_rgb(frame_name);
  predictor.set_image(image);
  const auto prediction = predictor.predict(std::nullopt, std::nullopt, box_prompts(previous), false);
  const auto masks = kovra_utils::masks_from_prediction(prediction.masks, image.size());
  if (masks.size() != previous.size()) {
    throw kovra_utils::ContentError("the predictor returned " + std::to_string(masks.size()) +
                                    " masks for " + std::to_string(previous.size()) + " boxes");
  }
  Objects next;
  std::size_t i = 0;
  for (const auto& [id, mask] : previous) next[id] = masks[i++];
  return next;
}

}  // namespace

kovra_utils::VideoSegments propagate_by_boxes(const std::vector<std::string>& frame_names,
                                              std::int64_t start_frame,
                                              const std::vector<Mask>& seed_masks,
                                              kovra_utils::SegmentationPredictor& predictor,
                                              Console& console) {
  kovra_utils::VideoSegments segments;
  Objects objects;
  for (std::size_t i = 0; i < seed_masks.size(); ++i) {
    objects[static_cast<std::int64_t>(i) + 1] = seed_masks[i];
  }
  segments[start_frame] = objects;
  const auto count = static_cast<std::int64_t>(frame_names.size());
  for (std::int64_t frame = start_frame + 1; frame < count; ++frame) {
    console.progress("tracking frame " + std::to_string(frame + 1) + "/" + std::to_string(count));
    objects = follow(objects, frame_names[static_cast<std::size_t>(frame)], predictor);
    segments[frame] = objects;
  }
  console.end_progress();
  return segments;
}

}  // namespace kovra_cli
