#include <kovra_utils/models.hpp>

#include <string>

namespace kovra_utils {

namespace {

std::string shape_text(const cv::Mat& m) {
  std::string out = "(";
  for (int i = 0; i < m.dims; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(m.size[i]);
  }
  if (m.dims == 2 && m.channels() > 1) out += ", " + std::to_string(m.channels());
  return out + ")";
}

}  // namespace

std::vector<Mask> masks_from_prediction(const cv::Mat& masks, cv::Size image_size) {
  if (masks.channels() != 1) {
    throw ContentError("predicted masks must have one channel, got shape " + shape_text(masks));
  }
  int count = 0;
  int rows = 0;
  int cols = 0;
  if (masks.dims == 2) {
    count = masks.empty() ? 0 : 1;
    rows = masks.rows;
    cols = masks.cols;
  } else if (masks.dims == 3) {
    count = masks.size[0];
    rows = masks.size[1];
    cols = masks.size[2];
  } else if (masks.dims == 4) {
    if (masks.size[1] != 1) {
      throw ContentError("predicted masks of 4 axes must be N x 1 x H x W, got shape " +
                         shape_text(masks));
    }
    count = masks.size[0];
    rows = masks.size[2];
    cols = masks.size[3];
  } else {
    throw ContentError("predicted masks must have 2, 3 or 4 axes, got shape " +
                       shape_text(masks));
  }
  if (count > 0 && (rows != image_size.height || cols != image_size.width)) {
    throw ContentError("predicted masks must be " + std::to_string(image_size.height) + " x " +
                       std::to_string(image_size.width) + " like the image, got shape " +
                       shape_text(masks));
  }
  std::vector<Mask> result;
  result.reserve(static_cast<std::size_t>(count));
  if (masks.dims == 2) {
    if (count == 1) result.push_back(Mask::from_dense(masks));
    return result;
  }
  const cv::Mat continuous = masks.isContinuous() ? masks : masks.clone();
  const std::size_t plane_bytes = static_cast<std::size_t>(rows) * cols * continuous.elemSize();
  for (int i = 0; i < count; ++i) {
    const cv::Mat plane(rows, cols, continuous.type(),
                        const_cast<std::uint8_t*>(continuous.data) + plane_bytes * i);
    result.push_back(Mask::from_dense(plane));
  }
  return result;
}

}  // namespace kovra_utils
