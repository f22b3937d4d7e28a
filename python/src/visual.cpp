// kovra_utils/visual.hpp: overlays, annotation rendering and repair, analysis utilities.

#include "convert.hpp"

#include <kovra_utils/visual.hpp>

namespace kovra_python {

namespace {

// A Python display callable; for None, the notebook's inline display when running in one, the
// library's default display otherwise.
ku::DisplayFunc display_from_python(py::object display) {
  if (display.is_none()) {
    py::object inline_display = py::module_::import("kovra_utils._display").attr("inline_display")();
    if (inline_display.is_none()) return ku::default_display;
    display = std::move(inline_display);
  }
  return python_callback<void, const cv::Mat&>(std::move(display));
}

// "all" (or None) draws every object; otherwise a collection of object ids.
ku::ObjectIds object_ids_from_python(py::handle object_ids) {
  if (object_ids.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(object_ids)) {
    if (object_ids.cast<std::string>() == "all") return std::nullopt;
    throw ku::ArgumentError("object_ids must be \"all\" or a collection of object ids, got the text '" +
                            object_ids.cast<std::string>() + "'");
  }
  std::set<std::int64_t> ids;
  for (py::handle id : py::iter(object_ids)) ids.insert(id.cast<std::int64_t>());
  return ids;
}

py::dict video_summary_to_python(const ku::TrackingVideoSummary& summary) {
  py::dict result;
  result["frames"] = summary.frames;
  result["missing_images"] = summary.missing_images;
  result["marked_frames"] = summary.marked_frames;
  result["width"] = summary.frame_size.width;
  result["height"] = summary.frame_size.height;
  result["codec"] = summary.codec;
  return result;
}

void bind_tracking_video(py::module_& module) {
  const ku::TrackingVideoOptions defaults;
  module.def(
      "render_tracking_video",
      [](const std::string& save_dir_base, const std::string& output_path, std::optional<std::int64_t> from_frame,
         std::optional<std::int64_t> to_frame, double fps, double scale, int trail_length, bool draw_masks,
         bool draw_boxes, bool draw_trails, bool draw_frame_caption, bool mark_report_frames,
         double intersection_thrr, py::object progress) {
        ku::TrackingVideoOptions options;
        options.from_frame = from_frame;
        options.to_frame = to_frame;
        options.fps = fps;
        options.scale = scale;
        options.trail_length = trail_length;
        options.draw_masks = draw_masks;
        options.draw_boxes = draw_boxes;
        options.draw_trails = draw_trails;
        options.draw_frame_caption = draw_frame_caption;
        options.mark_report_frames = mark_report_frames;
        options.intersection_thrr = intersection_thrr;
        if (!progress.is_none())
          options.progress = python_callback<void, std::int64_t, std::int64_t>(std::move(progress));
        return video_summary_to_python(
            run_library([&] { return ku::render_tracking_video(save_dir_base, output_path, options); }));
      },
      py::arg("save_dir_base"), py::arg("output_path"), py::kw_only(), py::arg("from_frame") = py::none(),
      py::arg("to_frame") = py::none(), py::arg("fps") = defaults.fps, py::arg("scale") = defaults.scale,
      py::arg("trail_length") = defaults.trail_length, py::arg("draw_masks") = defaults.draw_masks,
      py::arg("draw_boxes") = defaults.draw_boxes, py::arg("draw_trails") = defaults.draw_trails,
      py::arg("draw_frame_caption") = defaults.draw_frame_caption,
      py::arg("mark_report_frames") = defaults.mark_report_frames,
      py::arg("intersection_thrr") = defaults.intersection_thrr, py::arg("progress") = py::none(),
      "Renders the tracker output under save_dir_base as an MP4 video (masks, boxes, centroid trails, "
      "frame caption; optionally the report's frames marked). from_frame / to_frame are clip positions, "
      "inclusive; progress(written, total) is called after every frame. Returns {\"frames\", "
      "\"missing_images\", \"marked_frames\", \"width\", \"height\", \"codec\"}.");
}

}  // namespace

void bind_visual(py::module_& module) {
  module.def("default_display", &ku::default_display, py::arg("image"), library_call(),
             "Writes the image as a PNG into the system's temporary folder.");
  module.def("generate_random_color", &ku::generate_random_color, py::arg("index") = 42,
             "Opaque colour (R, G, B) of seed `index`.");
  module.def("draw_masks_on_image", &ku::draw_masks_on_image, py::arg("image"), py::arg("masks"),
             library_call(), "`image` with every mask filled in its colour; a new RGBA image.");
  module.def("img_bbx_drawing", &ku::img_bbx_drawing, py::arg("image"), py::arg("mask_dict"), library_call(),
             "draw_masks_on_image plus each mask's box and labelled tab; a new RGBA image.");
  module.def(
      "video_segments_mask_visual",
      [](const ku::VideoSegments& video_segments, std::int64_t frame_idx, std::int64_t object_id,
         py::object display) {
        const ku::DisplayFunc show = display_from_python(std::move(display));
        run_library([&] { ku::video_segments_mask_visual(video_segments, frame_idx, object_id, show); });
      },
      py::arg("video_segments"), py::arg("frame_idx"), py::arg("object_id"), py::arg("display") = py::none(),
      "Shows one mask through the viridis colour map; `display` takes the RGB image (None: inline\n"
      "in a notebook, default_display otherwise).");

  module.def(
      "retrieve_annotation",
      [](const std::string& json_path, const std::optional<std::string>& save_path, bool box_drawing,
         py::object object_ids) {
        const ku::ObjectIds ids = object_ids_from_python(object_ids);
        return run_library([&] { return ku::retrieve_annotation(json_path, save_path, box_drawing, ids); });
      },
      py::arg("json_path"), py::arg("save_path") = py::none(), py::arg("box_drawing") = false,
      py::arg("object_ids") = "all", "The annotation file drawn over its frame image: an RGBA image.");
  module.def("fix_polygon_scaling", &ku::fix_polygon_scaling, py::arg("json_path"),
             py::arg("save_path") = py::none(), library_call(),
             "Rescales polygons normalised with width and height swapped; rewrites the file.");

  module.def("list_all_files", &ku::list_all_files, py::arg("directory"), py::arg("ext"), library_call());
  module.def("cluster_masks_and_print", &ku::cluster_masks_and_print, py::arg("masks_dict"), py::arg("eps") = 100,
             py::arg("min_samples") = 1, library_call(), "Group name -> mask keys, by mask centroid.");
  module.def("compute_motion_score_in_polygon", &ku::compute_motion_score_in_polygon, py::arg("video_frames"),
             py::arg("masks_dict"), library_call(), "Mask key -> mean optical-flow magnitude inside it.");
  module.def("render_intersection_heatmap", &ku::render_intersection_heatmap, py::arg("intersections_df"),
             library_call(), "The intersection table as an annotated RGB heat map.");
  module.def(
      "draw_intersection_heatmap",
      [](const ku::IntersectionTable& intersections_df, py::object display_func) {
        const ku::DisplayFunc show = display_from_python(std::move(display_func));
        run_library([&] { ku::draw_intersection_heatmap(intersections_df, show); });
      },
      py::arg("intersections_df"), py::arg("display_func") = py::none(),
      "Hands the heat map to display_func; when None, shows it inline in a notebook (IPython\n"
      "kernel) and otherwise uses default_display.");
  module.def("enhance_dark_text", &ku::enhance_dark_text, py::arg("image_pil"), py::arg("gamma") = 1.5,
             library_call(), "Gray, gamma-corrected, equalised single-channel image of an RGB image.");
  bind_tracking_video(module);
}

}  // namespace kovra_python
