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

  module.def("mask_polygons", &ku::mask_polygons, py::arg("mask"), library_call(),
             R"(The mask's outer outlines as annotation polygon strings ("0 x y x y ...", pixel
centres normalised by the mask's width and height, six decimals), one per 8-connected part.)");

  module.def(
      "write_annotation_files",
      [](const ku::VideoSegments& video_segments, const std::vector<std::string>& frame_names,
         const std::filesystem::path& output_dir) {
        const auto written = run_library(
            [&] { return ku::write_annotation_files(video_segments, frame_names, output_dir); });
        std::vector<std::string> paths;
        paths.reserve(written.size());
        for (const auto& path : written) paths.push_back(path.string());
        return paths;
      },
      py::arg("video_segments"), py::arg("frame_names"), py::arg("output_dir"),
      R"(Writes output_pp_<frame>.json into output_dir for every frame of video_segments
({frame: {object_id: mask}}, masks as Mask or H x W / 1 x H x W arrays): the frame's name from
frame_names and one detection per object ("object_id", "xyxy", "formatted_polygon"), each file
replaced atomically. Returns the paths written. Reading the files back gives every mask without
holes pixel for pixel; holes come back filled.)");

  module.def(
      "get_kovra_annotation_data",
      // video_dir is accepted for compatibility with callers (any value, None included); the
      // loader does not use it.
      [](const py::object& /*video_dir*/, bool last_or_not, std::int64_t ixx, const std::string& save_dir_base,
         int threads) {
        ku::LoadedClip loaded = run_library(
            [&] { return ku::get_kovra_annotation_data("", last_or_not, ixx, save_dir_base, threads); });
        return loaded_clip_result(std::move(loaded), ixx);
      },
      py::arg("video_dir") = py::none(), py::arg("last_or_not") = false, py::arg("ixx") = 0,
      py::arg("save_dir_base") = std::string(ku::DEFAULT_TRACKER_OUTPUT_DIR), py::kw_only(), py::arg("threads") = 1,
      R"((last_frame, kovra_annotation_data) of a clip's tracker output. ixx <= 0 loads the whole
clip: (last record, {0: record, ...}); 0 < ixx < N loads one frame: ({ixx: record}, the same dict);
ixx >= N gives two empty dicts; no file gives (None, None) after a printed line. video_dir is
accepted for compatibility and not used. Two files sharing a frame number print a warning line.
threads: how many files a whole-clip load reads at once (same results).)");

  module.def("load_clip", &ku::load_clip, py::arg("save_dir_base"), library_call(),
             R"(The whole clip under save_dir_base as {position: FrameRecord}, as
get_kovra_annotation_data loads it, with failures raised instead of printed: FileError when the
folder does not exist or holds no annotation file, ContentError naming both files when two share
a frame number (a folder holding two clips).)");
  module.def(
      "find_shared_frame_number",
      [](const std::string& save_dir_base) -> py::object {
        const auto shared = run_library([&] { return ku::find_shared_frame_number(save_dir_base); });
        if (!shared) return py::none();
        return py::make_tuple(py::int_(py::str(shared->frame_number)), shared->first, shared->second);
      },
      py::arg("save_dir_base"),
      "(frame_number, first_path, second_path) of the first two annotation files under\n"
      "save_dir_base sharing a frame number, or None.");
}

}  // namespace kovra_python
