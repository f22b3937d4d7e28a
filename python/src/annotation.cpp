// kovra_utils/annotation.hpp: annotation files, overlap measures, tracker-output loading.

#include "convert.hpp"

#include <kovra_utils/annotation.hpp>

namespace kovra_python {

namespace {

// (last_frame, kovra_annotation_data) by case: whole clip -> (record, dict); one frame -> the
// same dict twice; a position past the end -> two empty dicts; nothing found -> (None, None).
py::tuple loaded_clip_result(ku::LoadedClip loaded, std::int64_t ixx) {
  if (!loaded.kovra_annotation_data) return py::make_tuple(py::none(), py::none());
  const ku::ClipData& clip = *loaded.kovra_annotation_data;
  py::object data = py::cast(clip);
  if (ixx <= 0) {
    // The last record is the dict's own entry, as one object.
    return py::make_tuple(data[py::int_(clip.back().first)], data);
  }
  if (loaded.kovra_annotation_data->empty()) return py::make_tuple(py::dict(), data);
  return py::make_tuple(data, data);
}

}  // namespace

void bind_annotation(py::module_& module) {
  module.def(
      "process_json_and_generate_masks",
      [](const std::string& json_path, int height, int width) {
        ku::AnnotationMasks result =
            run_library([&] { return ku::process_json_and_generate_masks(json_path, height, width); });
        return py::make_tuple(result.image_path, result.masks, result.boxkeys);
      },
      py::arg("json_path"), py::arg("height"), py::arg("width"),
      "(image_path, masks, boxkeys) of an annotation file: one Mask per detection, in file order.");

  module.def("calculate_masks_intersection", &ku::calculate_masks_intersection, py::arg("mask1"),
             py::arg("mask2"), library_call(), "Percentage of mask1's area covered by mask2.");

  module.def(
      "calculate_masks_intersection_new",
      [](const ku::Mask& mask1, const ku::Mask& mask2, std::int64_t mask_area_1, std::int64_t mask_area_2) {
        const auto result = run_library([&] {
          return ku::calculate_masks_intersection_new(mask1, mask2, mask_area_1, mask_area_2);
        });
        return std::make_tuple(result.result_1, result.result_2);
      },
      py::arg("mask1"), py::arg("mask2"), py::arg("mask_area_1"), py::arg("mask_area_2"),
      "(result_1, result_2): the pair's overlap against each given area, in percent.");

  module.def(
      "intersection_between_masks",
      [](const ku::MasksDict& masks_dict, const std::optional<ku::MaskAreas>& processed_mask_areas) {
        return run_library([&] { return ku::intersection_between_masks(masks_dict, processed_mask_areas); });
      },
      py::arg("masks_dict"), py::arg("processed_mask_areas") = py::none(),
      "Pairwise overlap percentages of a mask set, as a DataFrame labelled by box keys.");

  module.def("count_mask_areas", &ku::count_mask_areas, py::arg("masks_dict"), library_call(),
             "The number of set pixels of every mask, in map order.");

  module.def(
      "get_kovra_annotation_data",
      [](const std::string& video_dir, bool last_or_not, std::int64_t ixx, const std::string& save_dir_base,
         int threads) {
        ku::LoadedClip loaded = run_library(
            [&] { return ku::get_kovra_annotation_data(video_dir, last_or_not, ixx, save_dir_base, threads); });
        return loaded_clip_result(std::move(loaded), ixx);
      },
      py::arg("video_dir"), py::arg("last_or_not") = false, py::arg("ixx") = 0,
      py::arg("save_dir_base") = std::string(ku::DEFAULT_TRACKER_OUTPUT_DIR), py::kw_only(), py::arg("threads") = 1,
      R"((last_frame, kovra_annotation_data) of a clip's tracker output. ixx <= 0 loads the whole
clip: (last record, {0: record, ...}); 0 < ixx < N loads one frame: ({ixx: record}, the same dict);
ixx >= N gives two empty dicts; no file gives (None, None). threads: how many files a whole-clip
load reads at once (same results).)");
}

}  // namespace kovra_python
