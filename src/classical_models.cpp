#include <kovra_utils/classical_models.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace kovra_utils {

namespace {

// A blob found by the network: its box and its score (share of the box it covers).
struct Blob {
  Box box;
  double score = 0;
};
using Blobs = std::vector<Blob>;

class ImageBatch : public DetectorBatch {
 public:
  ImageBatch(cv::Mat image, std::string label, Device device = {}) :
      image_(std::move(image)), label_(std::move(label)), device_(std::move(device)) {}

  std::unique_ptr<DetectorBatch> to(const Device& device) const override {
    return std::make_unique<ImageBatch>(image_, label_, device);
  }
  // The "token ids" of this detector are the label it will give.
  std::any input_ids() const override { return label_; }

  const cv::Mat& image() const { return image_; }

 private:
  cv::Mat image_;
  std::string label_;
  Device device_;
};

cv::Mat to_gray(const cv::Mat& image) {
  if (image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3 &&
                                 image.channels() != 4)) {
    throw ArgumentError("image must be 8-bit with 1, 3 or 4 channels, got type " +
                        cv::typeToString(image.type()));
  }
  if (image.channels() == 1) return image;
  cv::Mat gray;
  cv::cvtColor(image, gray, image.channels() == 3 ? cv::COLOR_RGB2GRAY : cv::COLOR_RGBA2GRAY);
  return gray;
}

cv::Mat foreground_of(const cv::Mat& gray, double threshold) {
  cv::Mat foreground;
  cv::threshold(gray, foreground, threshold, 255, cv::THRESH_BINARY);
  return foreground;
}

// "pig." -> "pig": the prompt's first word without its closing full stop.
std::string label_from_prompt(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\n");
  if (begin == std::string::npos) return {};
  const auto end = text.find_first_of(" \t\n.", begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

Blobs find_blobs(const cv::Mat& foreground, int min_area) {
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(foreground, labels, stats, centroids, 8);
  Blobs blobs;
  for (int label = 1; label < count; ++label) {
    const int area = stats.at<int>(label, cv::CC_STAT_AREA);
    if (area < min_area) continue;
    const int x = stats.at<int>(label, cv::CC_STAT_LEFT);
    const int y = stats.at<int>(label, cv::CC_STAT_TOP);
    const int w = stats.at<int>(label, cv::CC_STAT_WIDTH);
    const int h = stats.at<int>(label, cv::CC_STAT_HEIGHT);
    blobs.push_back({Box{double(x), double(y), double(x + w), double(y + h)},
                     double(area) / (double(w) * h)});
  }
  return blobs;
}

template <class T>
const T& any_as(const std::any& value, const char* what) {
  const T* typed = std::any_cast<T>(&value);
  if (typed == nullptr) {
    throw ArgumentError(std::string(what) + " was not produced by this stand-in detector");
  }
  return *typed;
}

// Box rows of a predict call as integer rectangles [x1, x2) x [y1, y2).
std::vector<cv::Rect> rects_of(const cv::Mat& box) {
  if (box.dims != 2 || (box.rows > 0 && box.cols != 4) || box.channels() != 1 ||
      (box.type() != CV_64F && box.type() != CV_32S)) {
    throw ArgumentError("box must be an N x 4 CV_64F or CV_32S matrix, got " +
                        std::to_string(box.rows) + " x " + std::to_string(box.cols) + " " +
                        cv::typeToString(box.type()));
  }
  cv::Mat values;
  box.convertTo(values, CV_64F);
  std::vector<cv::Rect> rects;
  for (int r = 0; r < values.rows; ++r) {
    const double* v = values.ptr<double>(r);
    for (int c = 0; c < 4; ++c) {
      if (!std::isfinite(v[c]) || std::abs(v[c]) > 1e9) {
        throw ArgumentError("box row " + std::to_string(r) + " holds a non-finite or huge value");
      }
    }
    const int x1 = static_cast<int>(std::floor(std::min(v[0], v[2])));
    const int y1 = static_cast<int>(std::floor(std::min(v[1], v[3])));
    const int x2 = static_cast<int>(std::ceil(std::max(v[0], v[2])));
    const int y2 = static_cast<int>(std::ceil(std::max(v[1], v[3])));
    // Inclusive boxes ([0, 0, 0, 0] is one pixel) become half-open rectangles.
    rects.emplace_back(x1, y1, x2 - x1 + 1, y2 - y1 + 1);
  }
  return rects;
}

// The component of `foreground` inside `search` with the most pixels inside `core`, as a
// 0/1 plane of `search`'s size; all clear when none reaches into `core`.
cv::Mat best_component(const cv::Mat& foreground, const cv::Rect& search, const cv::Rect& core) {
  cv::Mat labels;
  const int count = cv::connectedComponents(foreground(search), labels, 8, CV_32S);
  std::vector<int> inside(static_cast<std::size_t>(count), 0);
  const cv::Rect local_core = (core & search) - search.tl();
  for (int y = local_core.y; y < local_core.y + local_core.height; ++y) {
    const int* row = labels.ptr<int>(y);
    for (int x = local_core.x; x < local_core.x + local_core.width; ++x) ++inside[row[x]];
  }
  int best = 0;
  int best_inside = 0;
  for (int label = 1; label < count; ++label) {
    if (inside[label] > best_inside) {
      best = label;
      best_inside = inside[label];
    }
  }
  cv::Mat component = cv::Mat::zeros(search.size(), CV_8U);
  if (best > 0) component.setTo(1, labels == best);
  return component;
}

cv::Mat stack_planes(const std::vector<cv::Mat>& planes, cv::Size size) {
  if (planes.size() == 1) return planes.front();
  const int dims[] = {static_cast<int>(planes.size()), size.height, size.width};
  cv::Mat stacked(3, dims, CV_8U, cv::Scalar(0));
  for (std::size_t i = 0; i < planes.size(); ++i) {
    cv::Mat slice(size, CV_8U, stacked.ptr(static_cast<int>(i)));
    planes[i].copyTo(slice);
  }
  return stacked;
}

// 8 appearance values of one region of an H x W x 3 float image.
std::vector<float> describe(const cv::Mat& region) {
  cv::Scalar mean;
  cv::Scalar stddev;
  cv::meanStdDev(region, mean, stddev);
  cv::Mat gray;
  cv::cvtColor(region, gray, cv::COLOR_RGB2GRAY);
  const double lit = region.empty() ? 0.0 : double(cv::countNonZero(gray > 0)) / gray.total();
  double gradient = 0;
  if (gray.cols > 1) {
    cv::Mat dx = cv::abs(gray.colRange(1, gray.cols) - gray.colRange(0, gray.cols - 1));
    gradient = cv::mean(dx)[0];
  }
  return {float(mean[0]), float(mean[1]), float(mean[2]), float(stddev[0]),
          float(stddev[1]), float(stddev[2]), float(lit), float(gradient)};
}

}  // namespace

// ---- BrightBlobDetector -----------------------------------------------------------------------

std::unique_ptr<DetectorBatch> BrightBlobDetector::operator()(const cv::Mat& image,
                                                              const std::string& text,
                                                              const std::string& return_tensors) {
  (void)return_tensors;  // tensors of every framework look alike here
  return std::make_unique<ImageBatch>(to_gray(image).clone(), label_from_prompt(text));
}

std::any BrightBlobDetector::operator()(const DetectorBatch& inputs) {
  const auto* batch = dynamic_cast<const ImageBatch*>(&inputs);
  if (batch == nullptr) throw ArgumentError("detector inputs were not made by its processor");
  return find_blobs(foreground_of(batch->image(), options_.threshold), options_.min_area);
}

std::vector<DetectionResult> BrightBlobDetector::post_process_grounded_object_detection(
    const std::any& outputs, const std::any& input_ids, double text_threshold,
    const std::vector<std::pair<int, int>>& target_sizes) {
  const Blobs& blobs = any_as<Blobs>(outputs, "detector outputs");
  const std::string& label = any_as<std::string>(input_ids, "input_ids");
  (void)target_sizes;  // boxes are already in pixels of the only image
  DetectionResult result;
  for (const Blob& blob : blobs) {
    if (blob.score < box_threshold_) continue;
    result.scores.push_back(blob.score);
    result.labels.push_back(blob.score >= text_threshold ? label : std::string());
    result.boxes.push_back(blob.box);
  }
  return {result};
}

// ---- ThresholdPredictor -----------------------------------------------------------------------

void ThresholdPredictor::set_image(const cv::Mat& image) {
  if (image.type() != CV_8UC3) {
    throw ArgumentError("set_image needs an H x W x 3 8-bit RGB image, got type " +
                        cv::typeToString(image.type()));
  }
  image_ = image.clone();
  cv::Mat gray;
  cv::cvtColor(image_, gray, cv::COLOR_RGB2GRAY);
  foreground_ = foreground_of(gray, options_.threshold);
}

Prediction ThresholdPredictor::predict(const std::optional<cv::Mat>& point_coords,
                                       const std::optional<cv::Mat>& point_labels,
                                       const cv::Mat& box, bool multimask_output) {
  if (point_coords || point_labels || multimask_output) {
    throw ArgumentError("the stand-in predictor takes box prompts only, one mask per box");
  }
  if (image_.empty()) throw ArgumentError("predict called before set_image");
  const cv::Size size = image_.size();
  const cv::Rect frame({0, 0}, size);
  std::vector<cv::Mat> planes;
  for (const cv::Rect& core : rects_of(box)) {
    cv::Mat plane = cv::Mat::zeros(size, CV_8U);
    const cv::Rect search =
        cv::Rect(core.x - box_margin_, core.y - box_margin_, core.width + 2 * box_margin_,
                 core.height + 2 * box_margin_) & frame;
    if (!search.empty() && !(core & frame).empty()) {
      best_component(foreground_, search, core).copyTo(plane(search));
    }
    planes.push_back(plane);
  }
  Prediction prediction;
  const int count = static_cast<int>(planes.size());
  if (count == 0) {
    const int dims[] = {0, size.height, size.width};
    prediction.masks = cv::Mat(3, dims, CV_8U);
  } else {
    prediction.masks = stack_planes(planes, size);
  }
  prediction.scores = cv::Mat(count, 1, CV_32F, cv::Scalar(1));
  prediction.logits = cv::Mat(count, 1, CV_32F, cv::Scalar(0));
  return prediction;
}

std::map<std::string, cv::Mat> ThresholdPredictor::image_encoder(const cv::Mat& tensor) {
  if (tensor.dims != 4 || tensor.size[0] != 1 || tensor.size[1] != 3 || tensor.type() != CV_32F) {
    throw ArgumentError("image_encoder needs a 1 x 3 x H x W CV_32F tensor");
  }
  const int rows = tensor.size[2];
  const int cols = tensor.size[3];
  const cv::Mat source = tensor.isContinuous() ? tensor : tensor.clone();
  std::vector<cv::Mat> channels;
  for (int c = 0; c < 3; ++c) {
    channels.emplace_back(rows, cols, CV_32F,
                          const_cast<float*>(source.ptr<float>()) + std::size_t(c) * rows * cols);
  }
  cv::Mat rgb;
  cv::merge(channels, rgb);

  constexpr int kFeatures = 8;
  const int dims[] = {1, kFeatures, 2, 2};
  cv::Mat features(4, dims, CV_32F, cv::Scalar(0));
  for (int qy = 0; qy < 2; ++qy) {
    for (int qx = 0; qx < 2; ++qx) {
      const cv::Rect quadrant(qx * cols / 2, qy * rows / 2, (qx + 1) * cols / 2 - qx * cols / 2,
                              (qy + 1) * rows / 2 - qy * rows / 2);
      if (quadrant.empty()) continue;
      const std::vector<float> values = describe(rgb(quadrant));
      for (int f = 0; f < kFeatures; ++f) {
        const int index[] = {0, f, qy, qx};
        features.at<float>(index) = values[static_cast<std::size_t>(f)];
      }
    }
  }
  return {{"vision_features", features}};
}

}  // namespace kovra_utils
