// kovra_utils/refinement.hpp: Mask_Refinement.

#include "convert.hpp"

#include <kovra_utils/refinement.hpp>

namespace kovra_python {

namespace {

py::array dense_labels(const ku::ComponentLabels& labels) {
  py::array_t<std::int32_t> dense({static_cast<py::ssize_t>(labels.frame_size.height),
                                   static_cast<py::ssize_t>(labels.frame_size.width)});
  std::fill(dense.mutable_data(), dense.mutable_data() + dense.size(), 0);
  if (!labels.image.empty()) {
    cv::Mat view(labels.frame_size, CV_32S, dense.mutable_data());
    labels.image.copyTo(view(cv::Rect(labels.origin, labels.image.size())));
  }
  return dense;
}

ku::ComponentLabels labels_from_array(const py::array& array) {
  py::object keep;
  cv::Mat image;
  mat_view(array, keep).convertTo(image, CV_32S);
  if (image.dims != 2 || image.channels() != 1) {
    throw ku::ArgumentError("labels must be a 2-D label image");
  }
  return ku::ComponentLabels{image, cv::Point(0, 0), image.size()};
}

void bind_component_labels(py::module_& module) {
  py::class_<ku::ComponentLabels>(module, "ComponentLabels", R"(The component labels of one mask:
`image` (int32, 0 = background) placed at `origin` (x, y) on a frame of `shape`; every pixel
outside it is background. np.asarray(labels) gives the H x W label image.)")
      .def(py::init(&labels_from_array), py::arg("array"), "From an H x W label image.")
      .def_readonly("image", &ku::ComponentLabels::image)
      .def_property_readonly("origin", [](const ku::ComponentLabels& l) { return py::make_tuple(l.origin.x, l.origin.y); })
      .def_property_readonly("shape", [](const ku::ComponentLabels& l) {
        return py::make_tuple(l.frame_size.height, l.frame_size.width);
      })
      .def("__array__",
           [](const ku::ComponentLabels& l, py::object dtype, py::object) {
             py::array dense = dense_labels(l);
             return dtype.is_none() ? dense : py::array(dense.attr("astype")(dtype));
           },
           py::arg("dtype") = py::none(), py::arg("copy") = py::none());
  py::implicitly_convertible<py::array, ku::ComponentLabels>();
}

// Writes the cleaned masks back into the caller's dict, each in the form it arrived in.
void store_segments(const ku::VideoSegments& cleaned, py::dict& video_segments) {
  for (const auto& [frame_idx, objects] : cleaned) {
    py::object frame = video_segments[py::int_(frame_idx)];
    for (const auto& [object_id, mask] : objects) {
      py::int_ key(object_id);
      frame[key] = mask_like(mask, frame[key]);
    }
  }
}

}  // namespace

void bind_refinement(py::module_& module) {
  bind_component_labels(module);
  py::class_<ku::Mask_Refinement>(module, "Mask_Refinement", R"(Keeps each tracked object's main
blob (and the large, close components) inside the pen across a clip.)")
      .def(py::init([](double min_area_ratio, std::array<double, 2> max_distance_ratios, double max_prev_dist,
                       std::optional<std::string> custom_pen_json_path) {
             return ku::Mask_Refinement{.MIN_AREA_RATIO = min_area_ratio,
                                        .MAX_DISTANCE_RATIOS = max_distance_ratios,
                                        .MAX_PREV_DIST = max_prev_dist,
                                        .prev_centroids = {},
                                        .custom_pen_json_path = std::move(custom_pen_json_path)};
           }),
           py::arg("min_area_ratio") = 0.3, py::arg("max_distance_ratios") = std::array<double, 2>{0.5, 1.5},
           py::arg("max_prev_dist") = 200, py::arg("custom_pen_json_path") = "pen_polygon.json")
      .def_readwrite("MIN_AREA_RATIO", &ku::Mask_Refinement::MIN_AREA_RATIO)
      .def_readwrite("MAX_DISTANCE_RATIOS", &ku::Mask_Refinement::MAX_DISTANCE_RATIOS)
      .def_readwrite("MAX_PREV_DIST", &ku::Mask_Refinement::MAX_PREV_DIST)
      .def_readwrite("prev_centroids", &ku::Mask_Refinement::prev_centroids,
                     "Object id -> last centroid (x, y); reading gives a copy, assign a dict to change it.")
      .def_readwrite("custom_pen_json_path", &ku::Mask_Refinement::custom_pen_json_path)
      .def_static("blob_shortest_distance", &ku::Mask_Refinement::blob_shortest_distance,
                  py::arg("blob_mask1"), py::arg("blob_mask2"), library_call())
      .def(
          "get_main_blob",
          [](const ku::Mask_Refinement& self, const ku::Mask& mask, const ku::CentroidMap& prev_centroids,
             std::int64_t object_id) {
            ku::MainBlob blob = run_library([&] { return self.get_main_blob(mask, prev_centroids, object_id); });
            return py::make_tuple(blob.num_labels, blob.stats, blob.centroids, blob.min_area_threshold,
                                  blob.max_distance_threshold, blob.best_idx, std::move(blob.labels));
          },
          py::arg("mask"), py::arg("prev_centroids"), py::arg("object_id"),
          R"((num_labels, stats, centroids, min_area_threshold, max_distance_threshold, best_idx,
labels) of the mask's components, in frame coordinates.)")
      .def("get_dis_to_main_and_prev_blob", &ku::Mask_Refinement::get_dis_to_main_and_prev_blob,
           py::arg("num_labels"), py::arg("labels"), py::arg("stats"), py::arg("centroids"),
           py::arg("max_distance_threshold"), py::arg("min_area_threshold"), py::arg("best_idx"),
           py::arg("prev_centroids"), py::arg("object_id"), py::arg("frame_idx"), py::arg("mask"),
           py::arg("video_segments"), library_call(), "The object's cleaned mask.")
      .def(
          "process_video_segments",
          [](ku::Mask_Refinement& self, py::dict video_segments, const std::string& video_dir,
             const std::vector<std::string>& frame_names) {
            auto segments = video_segments.cast<ku::VideoSegments>();
            std::exception_ptr failure;
            run_library([&] {
              try {
                self.process_video_segments(segments, video_dir, frame_names);
              } catch (...) {
                failure = std::current_exception();
              }
            });
            // Masks cleaned before a failure stay changed, as in the library.
            store_segments(segments, video_segments);
            if (failure) std::rethrow_exception(failure);
            return video_segments;
          },
          py::arg("video_segments"), py::arg("video_dir"), py::arg("frame_names"),
          R"(Cleans every mask of video_segments in place (each stored back in the form it came
in: an array of the same shape and dtype, or a Mask) and returns the same dict.)");
}

}  // namespace kovra_python
