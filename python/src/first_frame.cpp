// kovra_utils/first_frame.hpp: pen polygon, box geometry, detection filtering, initializer.

#include "convert.hpp"
#include "models.hpp"

#include <kovra_utils/first_frame.hpp>

namespace kovra_python {

namespace {

py::object text_array(const std::vector<std::string>& texts) {
  return py::module_::import("numpy").attr("array")(
      texts, py::arg("dtype") = py::module_::import("builtins").attr("str"));
}

py::array boxes_array(const std::vector<ku::Box>& boxes) {
  py::array_t<double> array({static_cast<py::ssize_t>(boxes.size()), py::ssize_t{4}});
  double* out = array.mutable_data();
  for (const ku::Box& box : boxes) {
    *out++ = box.x1;
    *out++ = box.y1;
    *out++ = box.x2;
    *out++ = box.y2;
  }
  return array;
}

py::object draw_pen(const std::string& image_path, const std::optional<std::string>& json_path,
                    bool drawout) {
  ku::DrawnPen drawn = run_library([&] { return ku::draw_pen(image_path, json_path, drawout); });
  py::object points = py::cast(drawn.polygon_points);
  if (!drawout) return points;
  return py::make_tuple(*drawn.image, points);
}

py::tuple calculate_pen_intersection_ratio(const ku::PenPolygon& polygon_points,
                                           const std::vector<ku::Box>& boxes,
                                           double ratio_threshold) {
  const ku::PenIntersection result = run_library(
      [&] { return ku::calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold); });
  py::array_t<bool> in_pen(static_cast<py::ssize_t>(result.in_pen_index.size()));
  std::copy(result.in_pen_index.begin(), result.in_pen_index.end(), in_pen.mutable_data());
  return py::make_tuple(result.intersection_ratio_list, in_pen);
}

py::tuple process_gdino_results(const py::object& gdino_results, const std::string& target_label) {
  const std::vector<ku::DetectionResult> results = detection_results(gdino_results);
  const ku::FilteredDetections kept =
      run_library([&] { return ku::process_gdino_results(results, target_label); });
  py::array scores = py::array(py::cast(kept.scores));
  // float32 scores stay float32, so that they print as the model gave them.
  if (kept.float32_scores) scores = scores.attr("astype")("float32");
  return py::make_tuple(boxes_array(kept.boxes), scores, text_array(kept.labels));
}

py::tuple initializer(const std::string& video_dir, const std::vector<std::string>& frame_names,
                      const py::object& processor, const py::object& grounding_model,
                      const py::object& device, const py::object& image_predictor,
                      std::int64_t start_index, std::int64_t step, double gdino_thr,
                      std::int64_t close_set_num,
                      const std::optional<std::string>& custom_pen_json_path) {
  const DetectorArguments detector(processor, grounding_model, device);
  const PredictorArgument predictor(image_predictor);
  const std::string device_text = py::str(device);
  ku::InitializerResult result = run_library([&] {
    return ku::initializer(video_dir, frame_names, detector.processor(), detector.network(),
                           device_text, predictor.required("initializer"), start_index, step,
                           gdino_thr, close_set_num, custom_pen_json_path);
  });
  return py::make_tuple(result.masks, result.OBJECTS, result.ann_frame_idx, result.annotated_frame);
}

}  // namespace

void bind_first_frame(py::module_& module) {
  module.def("get_pen_json_path", &ku::get_pen_json_path, py::arg("video_dir"),
             py::arg("custom_pen_json_path") = py::none(), library_call(),
             "The pen polygon file of a clip: custom_pen_json_path when given, else the camera\n"
             "table's entry for the camera named in video_dir (components separated by '\\'), or\n"
             "None.");
  module.def("draw_pen", &draw_pen, py::arg("image_path"), py::arg("json_path"),
             py::arg("drawout") = false,
             "The pen outline of json_path as a list of (x, y); with drawout, the pair (RGB image\n"
             "of image_path with the outline drawn in red, outline).");
  module.def("calculate_pen_intersection_ratio", &calculate_pen_intersection_ratio,
             py::arg("polygon_points"), py::arg("boxes"), py::arg("ratio_threshold"),
             "(intersection_ratio_list, in_pen_index): the percentage of each box inside the pen\n"
             "and a boolean array of the boxes with at least ratio_threshold percent inside.");
  module.def("get_in_pen_mask", &ku::get_in_pen_mask, py::arg("frame_idx"), py::arg("test_mask"),
             py::arg("pen_json_path"), py::arg("frame_names"), library_call(),
             "test_mask (H x W or 1 x H x W) with every pixel outside the pen cleared, as a Mask.");
  module.def("process_gdino_results", &process_gdino_results, py::arg("gdino_results"),
             py::arg("target_label") = "pig",
             "(boxes M x 4, scores M, labels M) of the first image's detections, ordered by top\n"
             "then left edge, restricted to target_label when any detection carries it.");
  module.def("calculate_iou", &ku::calculate_iou, py::arg("box1"), py::arg("box2"),
             "Intersection over union of two [x1, y1, x2, y2] boxes; 0 when the union is empty.");
  module.def(
      "initializer", &initializer, py::arg("video_dir"), py::arg("frame_names"),
      py::arg("processor"), py::arg("grounding_model"), py::arg("device"),
      py::arg("image_predictor"), py::arg("start_index") = 0, py::arg("step") = 10,
      py::arg("gdino_thr") = 0.25, py::arg("close_set_num") = 10,
      py::arg("custom_pen_json_path") = py::none(),
      "(masks, OBJECTS, ann_frame_idx, annotated_frame) of the first frame start_index,\n"
      "start_index + step, ... yielding exactly close_set_num separate masks inside the pen;\n"
      "four Nones when none does. processor / grounding_model: a Hugging Face Grounding\n"
      "DINO processor and model (or the BrightBlobDetector stand-in for both); the processor\n"
      "receives each tried frame as stored in its file: H x W x 3 uint8 RGB, or H x W x 4 RGBA\n"
      "for a frame with alpha. device is handed to the batch's to(); image_predictor: a SAM2\n"
      "image predictor (or a ThresholdPredictor), whose set_image receives H x W x 3 uint8 RGB.");
}

}  // namespace kovra_python
