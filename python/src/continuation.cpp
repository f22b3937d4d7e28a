// kovra_utils/continuation.hpp: last-frame selection, stacked-box pruning, the clip-start
// matcher and the mask similarity measures.
//
// A previous clip arrives as the caller's dict of frame records. The library works on a C++
// copy; the box removal it makes is then applied to the caller's own records, and the chosen
// record handed back is the caller's object, as the library does with its own maps.

#include "convert.hpp"
#include "models.hpp"

#include <kovra_utils/continuation.hpp>

#include <algorithm>

namespace kovra_python {

namespace {

ku::BoxKeyList box_keys(const py::object& keys) {
  if (keys.is_none()) return {};
  return ku::BoxKeyList(keys.cast<std::vector<std::optional<std::string>>>());
}

// The library's removal of `keys` from every record's masks_dict, made on the caller's records.
void remove_boxes_in_place(const py::object& laste_frame, const ku::BoxKeyList& keys) {
  const auto& entries = keys.entries();
  if (std::none_of(entries.begin(), entries.end(),
                   [](const auto& key) { return key && !key->empty(); })) {
    return;
  }
  for (const py::handle record : laste_frame.attr("values")()) {
    const py::object masks_dict = record["masks_dict"];
    for (const auto& key : entries) {
      if (key && !key->empty()) masks_dict.attr("pop")(*key, py::none());
    }
  }
}

// Whether `copy` was copied from `record`: copied masks share their pixels.
bool copied_from(const ku::FrameRecord& record, const ku::FrameRecord& copy) {
  if (record.frame_index != copy.frame_index || record.json_path != copy.json_path ||
      record.image_path != copy.image_path || record.masks_dict.size() != copy.masks_dict.size()) {
    return false;
  }
  return std::equal(record.masks_dict.begin(), record.masks_dict.end(), copy.masks_dict.begin(),
                    [](const auto& a, const auto& b) {
                      return a.first == b.first && a.second.crop().data == b.second.crop().data &&
                             a.second.bounds() == b.second.bounds();
                    });
}

// The caller's record object that `chosen` is a copy of (the walk runs from the last key).
py::object callers_record(const py::object& laste_frame, const ku::ClipData& data,
                          const std::optional<ku::FrameRecord>& chosen) {
  if (!chosen) return py::none();
  for (auto it = data.rbegin(); it != data.rend(); ++it) {
    if (copied_from(it->second, *chosen)) return laste_frame[py::int_(it->first)];
  }
  return py::cast(*chosen);
}

// Runs `work` on the C++ copy of `laste_frame`, then mirrors the box removal on the caller's
// records, also when the work fails after the removal.
template <class Work>
auto with_box_removal(const py::object& laste_frame, const ku::BoxKeyList& keys, Work&& work) {
  try {
    auto result = run_library(std::forward<Work>(work));
    remove_boxes_in_place(laste_frame, keys);
    return result;
  } catch (...) {
    remove_boxes_in_place(laste_frame, keys);
    throw;
  }
}

py::tuple find_best_laste_frame(const py::object& laste_frame, std::int64_t min_area,
                                std::int64_t max_attempts, const py::object& remove_stack_obs) {
  ku::ClipData data = laste_frame.cast<ku::ClipData>();
  const ku::BoxKeyList keys = box_keys(remove_stack_obs);
  const ku::BestLasteFrame best = with_box_removal(laste_frame, keys, [&] {
    return ku::find_best_laste_frame(data, min_area, max_attempts, keys);
  });
  return py::make_tuple(callers_record(laste_frame, data, best.best_laste_frame),
                        best.not_last_frame);
}

py::tuple matcher(const py::object& laste_frame, const std::vector<std::string>& frame_names,
                  std::int64_t ann_frame_idx, const py::object& image_predictor,
                  const py::object& remove_stack_box, std::int64_t min_area,
                  std::int64_t max_attempts, const py::object& display_func) {
  ku::ClipData data = laste_frame.cast<ku::ClipData>();
  const ku::BoxKeyList keys = box_keys(remove_stack_box);
  const PredictorArgument predictor(image_predictor);
  const ku::DisplayFunc display = display_function(display_func);
  ku::MatcherResult result = with_box_removal(laste_frame, keys, [&] {
    return ku::matcher(data, frame_names, ann_frame_idx, predictor.get(), keys, min_area,
                       max_attempts, display);
  });
  return py::make_tuple(result.masks, result.OBJECTS, result.keep_box,
                        callers_record(laste_frame, data, result.best_laste_frame),
                        result.no_best_laste_frame);
}

py::list features_to_python(const ku::FeatureList& features) {
  py::list out;
  for (const auto& feature : features) {
    if (!feature) {
      out.append(py::none());
      continue;
    }
    py::array_t<float> vector(static_cast<py::ssize_t>(feature->size()));
    std::copy(feature->begin(), feature->end(), vector.mutable_data());
    out.append(vector);
  }
  return out;
}

// Feature vectors as numpy arrays or torch tensors on any device; None for an absent one.
ku::FeatureList features_from_python(const py::iterable& features) {
  const py::object to_host = py::module_::import("kovra_utils.models").attr("to_host");
  ku::FeatureList out;
  for (const py::handle feature : features) {
    if (feature.is_none()) {
      out.emplace_back();
      continue;
    }
    const auto host = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
        to_host(feature).attr("reshape")(-1));
    out.emplace_back(ku::FeatureVector(host.data(), host.data() + host.size()));
  }
  return out;
}

py::list generate_sam2_image_features(const cv::Mat& image, const std::vector<ku::Mask>& masks,
                                      const py::object& image_predictor) {
  const PredictorArgument predictor(image_predictor);
  const ku::FeatureList features = run_library([&] {
    return ku::generate_sam2_image_features(image, masks,
                                            predictor.required("generate_sam2_image_features"));
  });
  return features_to_python(features);
}

cv::Mat cosine_scores_cal(const py::iterable& image_features_new,
                          const py::iterable& image_features_old) {
  const ku::FeatureList features_new = features_from_python(image_features_new);
  const ku::FeatureList features_old = features_from_python(image_features_old);
  return run_library([&] { return ku::cosine_scores_cal(features_new, features_old); });
}

}  // namespace

void bind_continuation(py::module_& module) {
  module.attr("CLIP_TRACK_COUNT") = ku::CLIP_TRACK_COUNT;
  module.def("find_best_laste_frame", &find_best_laste_frame, py::arg("laste_frame"),
             py::arg("min_area") = 10, py::arg("max_attempts") = 10,
             py::arg("remove_stack_obs") = py::list(),
             "(best_laste_frame, not_last_frame): the latest of the last max_attempts records of\n"
             "laste_frame whose masks are all larger than min_area, numerous enough and\n"
             "overlapping below 50 percent, and False; (None, True) when none is. The keys of\n"
             "remove_stack_obs are first removed from every record's masks_dict, in place.");
  module.def("find_boxes_with_small_area_from_last_video",
             &ku::find_boxes_with_small_area_from_last_video, py::arg("laste_frame"),
             py::arg("min_frame_id") = 500, py::arg("area_threshold") = 100,
             py::arg("min_count") = 100, library_call(),
             "Box keys whose mask area is at most area_threshold in more than min_count records\n"
             "with a key above min_frame_id, in order of first small occurrence.");
  module.def("matcher", &matcher, py::arg("laste_frame"), py::arg("frame_names"),
             py::arg("ann_frame_idx") = 0, py::arg("image_predictor") = py::none(),
             py::arg("remove_stack_box") = py::none(), py::arg("min_area") = 10,
             py::arg("max_attempts") = 10, py::arg("display_func") = py::none(),
             "(masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame): the new clip's\n"
             "masks from prompting image_predictor (a SAM2 image predictor) with the boxes of the\n"
             "previous clip's best last frame on frame_names[ann_frame_idx]; four Nones and True\n"
             "when that fails. display_func, any callable, receives the old masks drawn on the\n"
             "new frame (RGBA array).");
  module.def("cal_masks_iou_scores", &ku::cal_masks_iou_scores, py::arg("masks_new"),
             py::arg("masks_old"), library_call(),
             "Pixel IoU of every (new, old) mask pair as a len(masks_new) x len(masks_old) array.");
  module.def("cal_centroid_distance", &ku::cal_centroid_distance, py::arg("masks_new"),
             py::arg("masks_old"), library_call(),
             "Centroid similarity (1 = same centroid) of every (new, old) mask pair.");
  module.def("generate_sam2_image_features", &generate_sam2_image_features, py::arg("image"),
             py::arg("masks"), py::arg("image_predictor"),
             "One appearance feature (float32 array) per mask from the predictor's image\n"
             "encoder, None for a mask of fewer than 10 pixels.");
  module.def("cosine_scores_cal", &cosine_scores_cal, py::arg("image_features_new"),
             py::arg("image_features_old"),
             "Cosine similarity of every (new, old) feature pair; -inf where either is None.");
}

}  // namespace kovra_python
