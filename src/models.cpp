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

// A model's per-object planes, H x W (one plane), N x H x W or N x 1 x H x W, continuous.
struct PlaneStack {
  int count = 0;
  cv::Size size;
  cv::Mat data;

  cv::Mat plane(int i) const {
    const std::size_t bytes = static_cast<std::size_t>(size.area()) * data.elemSize();
    return cv::Mat(size, data.type(), const_cast<std::uint8_t*>(data.data) + bytes * i);
  }
};

// `what` names the planes in messages ("predicted masks", "mask logits").
PlaneStack plane_stack(const cv::Mat& planes, const std::string& what) {
  if (planes.channels() != 1) {
    throw ContentError(what + " must have one channel, got shape " + shape_text(planes));
  }
  PlaneStack stack;
  if (planes.dims == 2) {
    stack.count = planes.empty() ? 0 : 1;
    stack.size = planes.size();
  } else if (planes.dims == 3) {
    stack.count = planes.size[0];
    stack.size = cv::Size(planes.size[2], planes.size[1]);
  } else if (planes.dims == 4) {
    if (planes.size[1] != 1) {
      throw ContentError(what + " of 4 axes must be N x 1 x H x W, got shape " +
                         shape_text(planes));
    }
    stack.count = planes.size[0];
    stack.size = cv::Size(planes.size[3], planes.size[2]);
  } else {
    throw ContentError(what + " must have 2, 3 or 4 axes, got shape " + shape_text(planes));
  }
  stack.data = planes.isContinuous() ? planes : planes.clone();
  return stack;
}

void require_plane_size(const PlaneStack& stack, cv::Size size, const cv::Mat& planes,
                        const std::string& what, const std::string& like) {
  if (stack.count > 0 && stack.size != size) {
    throw ContentError(what + " must be " + std::to_string(size.height) + " x " +
                       std::to_string(size.width) + " like " + like + ", got shape " +
                       shape_text(planes));
  }
}

// Tight rectangle of the pixels above 0, found without building a binary plane.
template <class T>
cv::Rect positive_bounds(const cv::Mat& plane) {
  int top = plane.rows;
  int bottom = -1;
  int left = plane.cols;
  int right = -1;
  for (int r = 0; r < plane.rows; ++r) {
    const T* row = plane.ptr<T>(r);
    int first = 0;
    while (first < plane.cols && !(row[first] > 0)) ++first;
    if (first == plane.cols) continue;
    int last = plane.cols - 1;
    while (!(row[last] > 0)) --last;
    top = std::min(top, r);
    bottom = r;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  return bottom < 0 ? cv::Rect() : cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

cv::Rect positive_bounds(const cv::Mat& plane) {
  switch (plane.depth()) {
    case CV_8U: return positive_bounds<std::uint8_t>(plane);
    case CV_8S: return positive_bounds<std::int8_t>(plane);
    case CV_16U: return positive_bounds<std::uint16_t>(plane);
    case CV_16S: return positive_bounds<std::int16_t>(plane);
    case CV_32S: return positive_bounds<std::int32_t>(plane);
    case CV_32F: return positive_bounds<float>(plane);
    case CV_64F: return positive_bounds<double>(plane);
    default: throw ContentError("mask logits of element depth " + std::to_string(plane.depth()) +
                                " cannot be read");
  }
}

// The pixels of `plane` above 0 (NaN is not) as a mask, only the rectangle around them copied.
Mask mask_above_zero(const cv::Mat& plane) {
  if (plane.depth() == CV_16F) {  // half floats: read as floats, compare cannot take them
    cv::Mat wide;
    plane.convertTo(wide, CV_32F);
    return mask_above_zero(wide);
  }
  const cv::Rect bounds = positive_bounds(plane);
  if (bounds.empty()) return Mask(plane.size());
  cv::Mat crop;
  cv::compare(plane(bounds), 0, crop, cv::CMP_GT);
  return Mask::from_crop(plane.size(), bounds.tl(), crop);
}

void require_prompts(const std::vector<Mask>& masks, std::int64_t ann_frame_idx) {
  if (masks.empty()) throw ArgumentError("track_clip: no masks to track");
  if (ann_frame_idx < 0) {
    throw ArgumentError("track_clip: ann_frame_idx must not be negative, got " +
                        std::to_string(ann_frame_idx));
  }
  for (const Mask& mask : masks) require_same_size(masks.front(), mask, "track_clip: masks");
}

void store_frame(OrderedMap<std::int64_t, Mask>& objects, std::int64_t frame_idx,
                 const std::vector<std::int64_t>& obj_ids, const cv::Mat& mask_logits,
                 cv::Size size) {
  const std::string what = "mask logits of frame " + std::to_string(frame_idx);
  if (frame_idx < 0) throw ContentError("the video predictor gave frame " + std::to_string(frame_idx));
  const PlaneStack stack = plane_stack(mask_logits, what);
  if (static_cast<std::size_t>(stack.count) != obj_ids.size()) {
    throw ContentError(what + " hold " + std::to_string(stack.count) + " planes for " +
                       std::to_string(obj_ids.size()) + " object ids, shape " +
                       shape_text(mask_logits));
  }
  require_plane_size(stack, size, mask_logits, what, "the prompted masks");
  for (int i = 0; i < stack.count; ++i) {
    objects[obj_ids[static_cast<std::size_t>(i)]] = mask_above_zero(stack.plane(i));
  }
}

}  // namespace

std::vector<Mask> masks_from_prediction(const cv::Mat& masks, cv::Size image_size) {
  const PlaneStack stack = plane_stack(masks, "predicted masks");
  require_plane_size(stack, image_size, masks, "predicted masks", "the image");
  std::vector<Mask> result;
  result.reserve(static_cast<std::size_t>(stack.count));
  for (int i = 0; i < stack.count; ++i) result.push_back(Mask::from_dense(stack.plane(i)));
  return result;
}

VideoSegments track_clip(VideoPredictor& video_predictor, const std::string& video_dir,
                         const std::vector<Mask>& masks, std::int64_t ann_frame_idx) {
  require_prompts(masks, ann_frame_idx);
  std::any state = video_predictor.init_state(video_dir);
  for (std::size_t i = 0; i < masks.size(); ++i) {
    video_predictor.add_new_mask(state, ann_frame_idx, static_cast<std::int64_t>(i) + 1, masks[i]);
  }
  VideoSegments segments;
  const cv::Size size = masks.front().size();
  video_predictor.propagate_in_video(
      state, [&](std::int64_t frame_idx, const std::vector<std::int64_t>& obj_ids,
                 const cv::Mat& mask_logits) {
        store_frame(segments[frame_idx], frame_idx, obj_ids, mask_logits, size);
      });
  video_predictor.reset_state(state);
  return segments;
}

}  // namespace kovra_utils
