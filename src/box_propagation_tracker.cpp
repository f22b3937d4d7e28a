// The stand-in video predictor: box prompts from one frame to the next.

#include <kovra_utils/classical_models.hpp>

#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <memory>
#include <utility>

namespace kovra_utils {

namespace {

namespace fs = std::filesystem;

struct Prompt {
  std::int64_t frame_idx = 0;
  Mask mask;
};

struct TrackerState {
  std::vector<std::string> frame_paths;
  OrderedMap<std::int64_t, Prompt> prompts;  // by object id, in the order they were added
};

using SharedState = std::shared_ptr<TrackerState>;

TrackerState& state_of(std::any& inference_state) {
  auto* state = std::any_cast<SharedState>(&inference_state);
  if (state == nullptr || !*state) {
    throw ArgumentError("inference_state was not made by BoxPropagationTracker.init_state");
  }
  return **state;
}

bool is_jpeg(const fs::path& path) {
  const std::string extension = path.extension().string();
  return extension == ".jpg" || extension == ".jpeg" || extension == ".JPG" ||
         extension == ".JPEG";
}

// The frame number a name's stem holds, as an integer (0000.jpg is 0).
std::int64_t frame_number(const fs::path& path) {
  const std::string stem = path.stem().string();
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(stem.data(), stem.data() + stem.size(), number);
  if (stem.empty() || error != std::errc() || end != stem.data() + stem.size()) {
    throw ContentError("the frame file name " + path.string() +
                       " does not hold a frame number (0000.jpg, 0001.jpg, ...)");
  }
  return number;
}

std::vector<std::string> jpeg_frames(const std::string& video_path) {
  std::vector<std::pair<std::int64_t, std::string>> frames;
  std::error_code error;
  for (fs::directory_iterator it(video_path, error), end; !error && it != end;
       it.increment(error)) {
    if (is_jpeg(it->path())) frames.emplace_back(frame_number(it->path()), it->path().string());
  }
  if (error) throw FileError("cannot list the frames of " + video_path + ": " + error.message());
  if (frames.empty()) throw ContentError("no JPEG frames in " + video_path);
  std::sort(frames.begin(), frames.end());
  std::vector<std::string> paths;
  paths.reserve(frames.size());
  for (auto& frame : frames) paths.push_back(std::move(frame.second));
  return paths;
}

cv::Mat read_rgb(const std::string& path, cv::Size expected) {
  const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (bgr.empty()) throw FileError("cannot read the frame image " + path);
  if (bgr.size() != expected) {
    throw ContentError("the frame image " + path + " is " + text::format_size(bgr.size()) +
                       ", the prompted masks are " + text::format_size(expected));
  }
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

// Integer box prompts [x_min, y_min, x_max, y_max] of the given masks.
cv::Mat box_prompts(const std::vector<Mask>& masks, const std::vector<std::size_t>& which) {
  cv::Mat boxes(static_cast<int>(which.size()), 4, CV_32S);
  for (std::size_t row = 0; row < which.size(); ++row) {
    const auto box = masks[which[row]].box();
    for (int c = 0; c < 4; ++c) {
      boxes.at<int>(static_cast<int>(row), c) = box[static_cast<std::size_t>(c)];
    }
  }
  return boxes;
}

// N x H x W CV_8U planes, 1 inside each mask.
cv::Mat logit_planes(const std::vector<Mask>& masks, cv::Size size) {
  const int dims[] = {static_cast<int>(masks.size()), size.height, size.width};
  cv::Mat planes(3, dims, CV_8U, cv::Scalar(0));
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].is_clear()) continue;
    cv::Mat plane(size, CV_8U, planes.ptr(static_cast<int>(i)));
    masks[i].crop().copyTo(plane(masks[i].bounds()));
  }
  return planes;
}

}  // namespace

std::any BoxPropagationTracker::init_state(const std::string& video_path) {
  auto state = std::make_shared<TrackerState>();
  state->frame_paths = jpeg_frames(video_path);
  return SharedState(std::move(state));
}

void BoxPropagationTracker::add_new_mask(std::any& inference_state, std::int64_t frame_idx,
                                         std::int64_t obj_id, const Mask& mask) {
  TrackerState& state = state_of(inference_state);
  const auto frames = static_cast<std::int64_t>(state.frame_paths.size());
  if (frame_idx < 0 || frame_idx >= frames) {
    throw ArgumentError("add_new_mask: frame " + std::to_string(frame_idx) +
                        " is outside the clip's " + std::to_string(frames) + " frames");
  }
  if (!state.prompts.empty()) {
    require_same_size(state.prompts.begin()->second.mask, mask, "add_new_mask: masks");
  }
  state.prompts[obj_id] = Prompt{frame_idx, mask};
}

void BoxPropagationTracker::propagate_in_video(std::any& inference_state,
                                               const FrameCallback& callback) {
  const TrackerState& state = state_of(inference_state);
  if (state.prompts.empty()) throw ArgumentError("propagate_in_video: no mask was added");
  std::vector<std::int64_t> obj_ids;
  std::int64_t start = state.prompts.begin()->second.frame_idx;
  for (const auto& [obj_id, prompt] : state.prompts) {
    obj_ids.push_back(obj_id);
    start = std::min(start, prompt.frame_idx);
  }
  const cv::Size size = state.prompts.begin()->second.mask.size();
  std::vector<Mask> current(obj_ids.size(), Mask(size));
  const auto frames = static_cast<std::int64_t>(state.frame_paths.size());
  for (std::int64_t frame = start; frame < frames; ++frame) {
    std::vector<std::size_t> followed;
    for (std::size_t i = 0; frame > start && i < current.size(); ++i) {
      if (!current[i].is_clear()) followed.push_back(i);
    }
    if (!followed.empty()) {
      image_predictor_.set_image(read_rgb(state.frame_paths[static_cast<std::size_t>(frame)], size));
      const Prediction prediction =
          image_predictor_.predict(std::nullopt, std::nullopt, box_prompts(current, followed), false);
      const auto masks = masks_from_prediction(prediction.masks, size);
      if (masks.size() != followed.size()) {
        throw ContentError("the image predictor returned " + std::to_string(masks.size()) +
                           " masks for " + std::to_string(followed.size()) + " boxes");
      }
      for (std::size_t k = 0; k < followed.size(); ++k) current[followed[k]] = masks[k];
    }
    std::size_t i = 0;
    for (const auto& [obj_id, prompt] : state.prompts) {
      if (prompt.frame_idx == frame) current[i] = prompt.mask;
      ++i;
    }
    callback(frame, obj_ids, logit_planes(current, size));
  }
}

void BoxPropagationTracker::reset_state(std::any& inference_state) {
  state_of(inference_state).prompts.clear();
}

}  // namespace kovra_utils
