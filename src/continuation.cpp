#include <kovra_utils/continuation.hpp>

#include <kovra_utils/annotation.hpp>

#include "draw.hpp"
#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace kovra_utils {

namespace {

// An 8-bit gray, RGB or RGBA image as 8-bit RGB.
cv::Mat to_rgb(const cv::Mat& image, std::string_view what) {
  if (image.depth() != CV_8U || image.dims != 2) {
    throw ArgumentError(std::string(what) + ": image must be a 2-D 8-bit image");
  }
  cv::Mat rgb;
  switch (image.channels()) {
    case 1: cv::cvtColor(image, rgb, cv::COLOR_GRAY2RGB); break;
    case 3: rgb = image; break;
    case 4: cv::cvtColor(image, rgb, cv::COLOR_RGBA2RGB); break;
    default:
      throw ArgumentError(std::string(what) + ": image must have 1, 3 or 4 channels, got " +
                          std::to_string(image.channels()));
  }
  return rgb;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// BoxKeyList
// ---------------------------------------------------------------------------------------------

bool BoxKeyList::contains(const std::string& key) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& entry) { return entry && *entry == key; });
}

int BoxKeyList::present_count() const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(),
                                        [](const auto& entry) { return entry.has_value(); }));
}

// ---------------------------------------------------------------------------------------------
// Last-frame selection
// ---------------------------------------------------------------------------------------------

namespace {

void erase_boxes(ClipData& laste_frame, const BoxKeyList& keys) {
  for (auto it = laste_frame.begin(); it != laste_frame.end(); ++it) {
    MasksDict& masks = it.value().masks_dict;
    for (const auto& key : keys.entries()) {
      if (key && !key->empty()) masks.erase(*key);
    }
  }
}

bool has_non_empty_key(const BoxKeyList& keys) {
  return std::any_of(keys.entries().begin(), keys.entries().end(),
                     [](const auto& entry) { return entry && !entry->empty(); });
}

// The three acceptance tests of a last-frame candidate, in order.
bool is_usable_last_frame(const MasksDict& masks, std::int64_t min_area, int n_track) {
  int n_valid_mask = 0;
  for (const auto& [key, mask] : masks) {
    if (mask.area() <= min_area) return false;
    if (mask.area() > 0) ++n_valid_mask;  // a negative min_area lets empty masks through
  }
  if (n_valid_mask < n_track) return false;
  const IntersectionTable int_df = intersection_between_masks(masks, count_mask_areas(masks));
  const auto& cells = int_df.values();
  return std::all_of(cells.begin(), cells.end(), [](double cell) { return cell < 50.0; });
}

std::vector<std::int64_t> sorted_keys(const ClipData& laste_frame) {
  std::vector<std::int64_t> keys;
  keys.reserve(laste_frame.size());
  for (const auto& [key, record] : laste_frame) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

BestLasteFrame find_best_laste_frame(ClipData& laste_frame, std::int64_t min_area,
                                     std::int64_t max_attempts, const BoxKeyList& remove_stack_obs) {
  const int n_track = CLIP_TRACK_COUNT - remove_stack_obs.present_count();
  if (has_non_empty_key(remove_stack_obs)) erase_boxes(laste_frame, remove_stack_obs);

  const std::vector<std::int64_t> keys_sorted = sorted_keys(laste_frame);
  // Walk back from the last key; the walk ends at the first key rather than wrapping around.
  const auto examined = std::min<std::int64_t>(std::max<std::int64_t>(max_attempts, 0),
                                               static_cast<std::int64_t>(keys_sorted.size()));
  for (std::int64_t attempt = 0; attempt < examined; ++attempt) {
    const std::int64_t key = keys_sorted[keys_sorted.size() - 1 - static_cast<std::size_t>(attempt)];
    const FrameRecord& record = laste_frame.at(key);
    if (!is_usable_last_frame(record.masks_dict, min_area, n_track)) continue;
    if (key != 599) {
      std::cout << "Switched to frame key " << key << " due to small mask area in later frames."
                << std::endl;
    }
    return {record, false};
  }
  std::cout << "No valid frame found with all masks area > " << min_area << " in the last "
            << max_attempts << " frames for " << n_track << " tracks." << std::endl;
  return {std::nullopt, true};
}

// ---------------------------------------------------------------------------------------------
// Stacked-box pruning
// ---------------------------------------------------------------------------------------------

std::vector<std::string> find_boxes_with_small_area_from_last_video(const ClipData& laste_frame,
                                                                    std::int64_t min_frame_id,
                                                                    std::int64_t area_threshold,
                                                                    std::int64_t min_count) {
  OrderedMap<std::string, std::int64_t> small_counts;  // first-occurrence order
  for (const auto& [frame_id, frame_data] : laste_frame) {
    if (frame_id <= min_frame_id) continue;
    for (const auto& [box_id, mask_area] : frame_data.mask_areas) {
      if (mask_area <= area_threshold) ++small_counts[box_id];
    }
  }
  std::vector<std::string> remove_stack_box;
  for (const auto& [box_id, count] : small_counts) {
    if (count > min_count) remove_stack_box.push_back(box_id);
  }
  return remove_stack_box;
}

// ---------------------------------------------------------------------------------------------
// Clip-start matcher
// ---------------------------------------------------------------------------------------------

namespace {

const std::string& frame_name_at(const std::vector<std::string>& frame_names,
                                 std::int64_t ann_frame_idx) {
  if (ann_frame_idx < 0 || ann_frame_idx >= static_cast<std::int64_t>(frame_names.size())) {
    throw std::out_of_range("matcher: ann_frame_idx " + std::to_string(ann_frame_idx) +
                            " is outside frame_names of " + std::to_string(frame_names.size()) +
                            " entries");
  }
  return frame_names[static_cast<std::size_t>(ann_frame_idx)];
}

// N x 4 CV_32S rows [x_min, y_min, x_max, y_max] of the masks, in map order.
cv::Mat bounding_boxes(const MasksDict& masks) {
  cv::Mat boxes(static_cast<int>(masks.size()), 4, CV_32S);
  int row = 0;
  for (const auto& [key, mask] : masks) {
    const std::array<int, 4> box = mask.box();
    std::copy(box.begin(), box.end(), boxes.ptr<int>(row++));
  }
  return boxes;
}

MasksDict renumbered(const std::vector<Mask>& masks) {
  MasksDict masks_dict;
  for (std::size_t i = 0; i < masks.size(); ++i) masks_dict["Box" + std::to_string(i)] = masks[i];
  return masks_dict;
}

std::vector<std::string> kept_boxes(const BoxKeyList& remove_stack_box) {
  std::vector<std::string> keep_box;
  for (int i = 0; i < CLIP_TRACK_COUNT; ++i) {
    std::string key = "Box" + std::to_string(i);
    if (!remove_stack_box.contains(key)) keep_box.push_back(std::move(key));
  }
  return keep_box;
}

// The acceptance tests of the new masks, in order: separate, one per old track, large enough.
bool is_usable_prediction(const std::vector<Mask>& masks, std::size_t n_track,
                          std::int64_t min_area) {
  const MasksDict masks_dict = renumbered(masks);
  const MaskAreas masks_areas = count_mask_areas(masks_dict);
  const IntersectionTable intersections_df = intersection_between_masks(masks_dict, masks_areas);
  const auto& cells = intersections_df.values();
  if (!std::all_of(cells.begin(), cells.end(), [](double cell) { return cell <= 10.0; })) {
    return false;
  }
  if (masks.size() != n_track) return false;
  return std::all_of(masks_areas.begin(), masks_areas.end(),
                     [&](const auto& entry) { return entry.second >= min_area; });
}

}  // namespace

MatcherResult matcher(ClipData& laste_frame, const std::vector<std::string>& frame_names,
                      std::int64_t ann_frame_idx, SegmentationPredictor* image_predictor,
                      const BoxKeyList& remove_stack_box, std::int64_t min_area,
                      std::int64_t max_attempts, const DisplayFunc& display_func) {
  // The walk only changes the records, never the map itself, so the caller's map stands in for
  // a copy of it.
  BestLasteFrame best = find_best_laste_frame(laste_frame, min_area, max_attempts, remove_stack_box);
  std::vector<std::string> keep_box = kept_boxes(remove_stack_box);
  if (best.not_last_frame) {
    std::cout << "Issue is from the laste frame, not enough masks found." << std::endl;
    return {};
  }
  const MasksDict& old_masks = best.best_laste_frame->masks_dict;
  if (image_predictor == nullptr) {
    throw ArgumentError("matcher: an image_predictor is needed to segment frame " +
                        std::to_string(ann_frame_idx));
  }
  if (old_masks.empty()) {
    throw ArgumentError("matcher: the chosen last frame (frame_index " +
                        std::to_string(best.best_laste_frame->frame_index) +
                        ") holds no mask to prompt with");
  }
  const cv::Mat last_boxes = bounding_boxes(old_masks);

  const cv::Mat image = draw::read_image_as_stored(frame_name_at(frame_names, ann_frame_idx));
  image_predictor->set_image(to_rgb(image, "matcher"));
  const Prediction prediction =
      image_predictor->predict(std::nullopt, std::nullopt, last_boxes, false);
  std::vector<Mask> masks = masks_from_prediction(prediction.masks, image.size());
  const bool success = is_usable_prediction(masks, old_masks.size(), min_area);

  if (display_func) display_func(img_bbx_drawing(image, old_masks));

  if (!success) {
    std::cout << "ann_frame_idx [" << ann_frame_idx << "] cannot work..\n" << std::endl;
    return {};
  }
  std::cout << "ann_frame_idx [" << ann_frame_idx << "] works for mask finding!!!" << std::endl;
  std::vector<std::string> objects(masks.size(), "pig");
  return {std::move(masks), std::move(objects), std::move(keep_box),
          std::move(best.best_laste_frame), false};
}

// ---------------------------------------------------------------------------------------------
// Mask similarity measures
// ---------------------------------------------------------------------------------------------

namespace {

// Throws unless every mask of both sets has the size of the first one.
void require_one_size(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old,
                      std::string_view what) {
  const Mask* first = !masks_new.empty() ? &masks_new.front()
                      : !masks_old.empty() ? &masks_old.front()
                                           : nullptr;
  if (first == nullptr) return;
  const auto check = [&](const std::vector<Mask>& masks, const char* name) {
    for (std::size_t i = 0; i < masks.size(); ++i) {
      if (masks[i].size() != first->size()) {
        throw ArgumentError(std::string(what) + ": all masks must be " +
                            text::format_size(first->size()) + ", " + name + "[" +
                            std::to_string(i) + "] is " + text::format_size(masks[i].size()));
      }
    }
  };
  check(masks_new, "masks_new");
  check(masks_old, "masks_old");
}

}  // namespace

cv::Mat cal_masks_iou_scores(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old) {
  require_one_size(masks_new, masks_old, "cal_masks_iou_scores");
  cv::Mat masks_iou_scores = cv::Mat::zeros(static_cast<int>(masks_new.size()),
                                            static_cast<int>(masks_old.size()), CV_64F);
  for (std::size_t i = 0; i < masks_new.size(); ++i) {
    for (std::size_t j = 0; j < masks_old.size(); ++j) {
      const auto intersection = static_cast<double>(overlap_count(masks_new[i], masks_old[j]));
      const double union_count =
          static_cast<double>(masks_new[i].area() + masks_old[j].area()) - intersection;
      masks_iou_scores.at<double>(static_cast<int>(i), static_cast<int>(j)) =
          intersection / (union_count + 1e-6);
    }
  }
  return masks_iou_scores;
}

cv::Mat cal_centroid_distance(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old) {
  if (masks_new.empty() || masks_old.empty()) {
    throw ArgumentError("cal_centroid_distance: needs at least one new and one old mask, got " +
                        std::to_string(masks_new.size()) + " new and " +
                        std::to_string(masks_old.size()) + " old");
  }
  require_one_size(masks_new, masks_old, "cal_centroid_distance");
  std::vector<std::optional<cv::Point2d>> old_centroids;
  for (const Mask& mask : masks_old) old_centroids.push_back(mask.centroid());

  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  cv::Mat centroid_distance(static_cast<int>(masks_new.size()), static_cast<int>(masks_old.size()),
                            CV_64F);
  std::optional<double> max_valid;
  for (std::size_t i = 0; i < masks_new.size(); ++i) {
    const std::optional<cv::Point2d> c_new = masks_new[i].centroid();
    for (std::size_t j = 0; j < masks_old.size(); ++j) {
      double dist = nan;
      if (c_new && old_centroids[j]) {
        const cv::Point2d d = *c_new - *old_centroids[j];
        dist = std::sqrt(d.x * d.x + d.y * d.y);
        max_valid = std::max(max_valid.value_or(dist), dist);
      }
      centroid_distance.at<double>(static_cast<int>(i), static_cast<int>(j)) = dist;
    }
  }
  // Undefined pairs count as one pixel beyond the farthest valid pair, so they score lowest;
  // with no valid pair at all everything stays NaN.
  const double fill = max_valid ? *max_valid + 1.0 : nan;
  bool filled = false;
  double* const cells = centroid_distance.ptr<double>();
  const std::size_t count = centroid_distance.total();
  for (std::size_t k = 0; k < count; ++k) {
    if (std::isnan(cells[k])) {
      cells[k] = fill;
      filled = true;
    }
  }
  const double scale = (filled ? fill : *max_valid) + 1e-6;
  for (std::size_t k = 0; k < count; ++k) cells[k] = 1.0 - cells[k] / scale;
  return centroid_distance;
}

namespace {

constexpr int kEncoderSide = 256;
constexpr std::int64_t kMinFeaturePixels = 10;

// The mask's extent without its last row and column, as the crop rectangle.
std::optional<cv::Rect> feature_crop(const Mask& mask) {
  if (mask.area() < kMinFeaturePixels) return std::nullopt;
  const cv::Rect& b = mask.bounds();
  if (b.width < 2 || b.height < 2) return std::nullopt;  // one row or column: nothing left
  return cv::Rect(b.x, b.y, b.width - 1, b.height - 1);
}

// 1 x 3 x 256 x 256 CV_32F tensor of the enhanced crop, black outside the mask.
cv::Mat encoder_input(const cv::Mat& rgb, const Mask& mask, const cv::Rect& crop) {
  const cv::Mat pig_crop = enhance_dark_text(rgb(crop), 10);
  const cv::Mat mask_cropped = mask.crop()(cv::Rect(0, 0, crop.width, crop.height));
  cv::Mat overlay = cv::Mat::zeros(pig_crop.size(), CV_8U);
  pig_crop.copyTo(overlay, mask_cropped);

  cv::Mat scaled;
  overlay.convertTo(scaled, CV_32F, 1.0 / 255.0);
  cv::Mat resized;
  cv::resize(scaled, resized, cv::Size(kEncoderSide, kEncoderSide), 0, 0, cv::INTER_LINEAR);

  // The overlay is gray, so the R, G and B planes are the same.
  const int dims[] = {1, 3, kEncoderSide, kEncoderSide};
  cv::Mat tensor(4, dims, CV_32F);
  const std::size_t plane = static_cast<std::size_t>(kEncoderSide) * kEncoderSide;
  for (int c = 0; c < 3; ++c) {
    cv::Mat target(kEncoderSide, kEncoderSide, CV_32F, tensor.ptr<float>() + plane * c);
    resized.copyTo(target);
  }
  return tensor;
}

// The "vision_features" output averaged over its two spatial axes.
FeatureVector pooled_features(const std::map<std::string, cv::Mat>& outputs) {
  const auto found = outputs.find("vision_features");
  if (found == outputs.end()) {
    throw ContentError("image encoder output has no \"vision_features\" entry");
  }
  const cv::Mat& features = found->second;
  if (features.dims != 4 || features.size[0] != 1 || features.type() != CV_32F) {
    throw ContentError("image encoder \"vision_features\" must be a 1 x F x h x w float tensor");
  }
  const cv::Mat dense = features.isContinuous() ? features : features.clone();
  const int channels = dense.size[1];
  const std::size_t spatial = static_cast<std::size_t>(dense.size[2]) * dense.size[3];
  FeatureVector pooled(static_cast<std::size_t>(channels));
  const float* data = dense.ptr<float>();
  for (int c = 0; c < channels; ++c) {
    double sum = 0;
    for (std::size_t k = 0; k < spatial; ++k) sum += data[static_cast<std::size_t>(c) * spatial + k];
    pooled[static_cast<std::size_t>(c)] =
        spatial == 0 ? std::numeric_limits<float>::quiet_NaN()
                     : static_cast<float>(sum / static_cast<double>(spatial));
  }
  return pooled;
}

}  // namespace

FeatureList generate_sam2_image_features(const cv::Mat& image, const std::vector<Mask>& masks,
                                         SegmentationPredictor& image_predictor) {
  const cv::Mat rgb = to_rgb(image, "generate_sam2_image_features");
  for (std::size_t i = 0; i < masks.size(); ++i) {
    if (masks[i].size() != rgb.size()) {
      throw ArgumentError("generate_sam2_image_features: masks must be " +
                          text::format_size(rgb.size()) + " like the image, masks[" +
                          std::to_string(i) + "] is " + text::format_size(masks[i].size()));
    }
  }
  image_predictor.set_image(rgb);
  FeatureList features;
  features.reserve(masks.size());
  for (const Mask& mask : masks) {
    const std::optional<cv::Rect> crop = feature_crop(mask);
    if (!crop) {
      features.emplace_back(std::nullopt);
      continue;
    }
    features.emplace_back(pooled_features(image_predictor.image_encoder(encoder_input(rgb, mask, *crop))));
  }
  return features;
}

namespace {

double cosine_similarity(const FeatureVector& a, const FeatureVector& b) {
  double dot = 0;
  double norm_a = 0;
  double norm_b = 0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    dot += static_cast<double>(a[k]) * b[k];
    norm_a += static_cast<double>(a[k]) * a[k];
    norm_b += static_cast<double>(b[k]) * b[k];
  }
  if (norm_a == 0 || norm_b == 0) return 0.0;
  return dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
}

}  // namespace

cv::Mat cosine_scores_cal(const FeatureList& image_features_new,
                          const FeatureList& image_features_old) {
  cv::Mat cosine_scores(static_cast<int>(image_features_new.size()),
                        static_cast<int>(image_features_old.size()), CV_64F,
                        cv::Scalar(-std::numeric_limits<double>::infinity()));
  for (std::size_t i = 0; i < image_features_new.size(); ++i) {
    const auto& new_feat = image_features_new[i];
    if (!new_feat) continue;
    for (std::size_t j = 0; j < image_features_old.size(); ++j) {
      const auto& old_feat = image_features_old[j];
      if (!old_feat) continue;
      if (old_feat->size() != new_feat->size()) {
        throw ArgumentError("cosine_scores_cal: feature vectors must have one length, "
                            "image_features_new[" + std::to_string(i) + "] has " +
                            std::to_string(new_feat->size()) + " values and image_features_old[" +
                            std::to_string(j) + "] has " + std::to_string(old_feat->size()));
      }
      cosine_scores.at<double>(static_cast<int>(i), static_cast<int>(j)) =
          cosine_similarity(*new_feat, *old_feat);
    }
  }
  return cosine_scores;
}

}  // namespace kovra_utils
