// kovra_utils/video.hpp: VideoMetadata and VideoProcessor.

#include "convert.hpp"

#include <kovra_utils/video.hpp>

namespace pybind11::detail {

/// Window bounds: a Python int stays an integer, a float stays floating.
template <>
struct type_caster<kovra_utils::Number> {
  PYBIND11_TYPE_CASTER(kovra_utils::Number, const_name("int | float"));
  type_caster() : value(0) {}
  bool load(handle source, bool) {
    if (isinstance<bool_>(source)) return false;
    if (isinstance<int_>(source) || (PyIndex_Check(source.ptr()) && !PyFloat_Check(source.ptr()))) {
      value = kovra_utils::Number(source.cast<std::int64_t>());
      return true;
    }
    if (!PyFloat_Check(source.ptr()) && !PyNumber_Check(source.ptr())) return false;
    const double number = PyFloat_AsDouble(source.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    value = kovra_utils::Number(number);
    return true;
  }
  static handle cast(const kovra_utils::Number& number, return_value_policy, handle) {
    if (number.is_integer()) return pybind11::int_(static_cast<std::int64_t>(number.as_double())).release();
    return pybind11::float_(number.as_double()).release();
  }
};

/// Crop rectangles <-> (x1, y1, x2, y2).
template <>
struct type_caster<kovra_utils::CropRegion> {
  PYBIND11_TYPE_CASTER(kovra_utils::CropRegion, const_name("tuple[int, int, int, int]"));
  bool load(handle source, bool convert) {
    make_caster<std::array<int, 4>> corners;
    if (!corners.load(source, convert)) return false;
    const auto& c = cast_op<const std::array<int, 4>&>(corners);
    value = kovra_utils::CropRegion{c[0], c[1], c[2], c[3]};
    return true;
  }
  static handle cast(const kovra_utils::CropRegion& region, return_value_policy, handle) {
    return make_tuple(region.x1, region.y1, region.x2, region.y2).release();
  }
};

}  // namespace pybind11::detail

namespace kovra_python {

namespace {

void bind_video_metadata(py::module_& module) {
  using ku::VideoMetadata;
  const VideoMetadata defaults{};
  py::class_<VideoMetadata>(module, "VideoMetadata", R"(The video catalogue: camera videos under
base_dir/sub_dir whose names match match_pattern and start inside the daytime window.)")
      .def(py::init([](std::string base_dir, std::vector<std::string> sub_dirs, std::string filter_start,
                       std::string filter_end, std::int64_t sample_step, std::int64_t top_n,
                       std::string match_pattern, std::optional<std::string> camera_number) {
             return VideoMetadata{std::move(base_dir),     std::move(sub_dirs),    std::move(filter_start),
                                  std::move(filter_end),   sample_step,            top_n,
                                  std::move(match_pattern), std::move(camera_number)};
           }),
           py::arg("base_dir"), py::arg("sub_dirs"), py::arg("filter_start") = defaults.filter_start,
           py::arg("filter_end") = defaults.filter_end, py::arg("sample_step") = defaults.sample_step,
           py::arg("top_n") = defaults.top_n, py::arg("match_pattern") = defaults.match_pattern,
           py::arg("camera_number") = py::none())
      .def_readwrite("base_dir", &VideoMetadata::base_dir)
      .def_readwrite("sub_dirs", &VideoMetadata::sub_dirs)
      .def_readwrite("filter_start", &VideoMetadata::filter_start)
      .def_readwrite("filter_end", &VideoMetadata::filter_end)
      .def_readwrite("sample_step", &VideoMetadata::sample_step)
      .def_readwrite("top_n", &VideoMetadata::top_n)
      .def_readwrite("match_pattern", &VideoMetadata::match_pattern)
      .def_readwrite("camera_number", &VideoMetadata::camera_number)
      .def(
          "get_filtered_video_dataframe",
          [](const VideoMetadata& self) { return run_library([&] { return self.get_filtered_video_dataframe(); }); },
          R"(The catalogue ("Camera Number", "Date", "Time", "File Path", "Video Name"); prints the
"File Path" values as one list line.)");
}

void bind_video_processor(py::module_& module) {
  using ku::VideoProcessor;
  const VideoProcessor defaults{};
  py::class_<VideoProcessor>(module, "VideoProcessor", R"(Cuts camera videos into windows of
cropped JPEG frames; the crop rectangle of each camera is cached in camera_crop_coords.)")
      .def(py::init([](std::optional<std::pair<int, int>> resize_dim, std::int64_t frame_skip, double time_step,
                       std::string output_dir_base,
                       std::map<std::optional<std::string>, ku::CropRegion> camera_crop_coords, bool crop,
                       std::optional<bool> left_crop) {
             return VideoProcessor{resize_dim, frame_skip, time_step, std::move(output_dir_base),
                                   std::move(camera_crop_coords), crop, left_crop};
           }),
           py::arg("resize_dim") = py::none(), py::arg("frame_skip") = defaults.frame_skip,
           py::arg("time_step") = defaults.time_step, py::arg("output_dir_base") = defaults.output_dir_base,
           py::arg("camera_crop_coords") = py::dict(), py::arg("crop") = defaults.crop,
           py::arg("left_crop") = defaults.left_crop)
      .def_readwrite("resize_dim", &VideoProcessor::resize_dim)
      .def_readwrite("frame_skip", &VideoProcessor::frame_skip)
      .def_readwrite("time_step", &VideoProcessor::time_step)
      .def_readwrite("output_dir_base", &VideoProcessor::output_dir_base)
      .def_readwrite("camera_crop_coords", &VideoProcessor::camera_crop_coords,
                     "Camera number (None without one) -> (x1, y1, x2, y2); reading gives a copy.")
      .def_readwrite("crop", &VideoProcessor::crop)
      .def_readwrite("left_crop", &VideoProcessor::left_crop)
      .def_static(
          "get_video_duration",
          [](const std::filesystem::path& video_path) -> py::object {
            const double minutes = run_library([&] { return VideoProcessor::get_video_duration(video_path); });
            // A video that cannot be read gives the integer 0.
            if (minutes == 0) return py::int_(0);
            return py::float_(minutes);
          },
          py::arg("video_path"), "Length of the video in minutes; 0 when it cannot be read.")
      .def_static("find_orange_region", &VideoProcessor::find_orange_region, py::arg("frame"), library_call(),
                  "(x1, y1, x2, y2) of the orange region of a BGR frame, or None.")
      .def("crop_video_to_frames", &VideoProcessor::crop_video_to_frames, py::arg("video_path"),
           py::arg("output_dir"), py::arg("start_min") = 10, py::arg("end_min") = 12,
           py::arg("camera_number") = py::none(), py::arg("crop") = true, library_call(),
           "Writes the frames of the window [start_min, end_min) as 0000.jpg, 0001.jpg, ... into output_dir.")
      .def("process_videos_to_frames", &VideoProcessor::process_videos_to_frames, py::arg("df"),
           library_call(), "Extracts every catalogue row's windows of time_step minutes.");
}

}  // namespace

void bind_video(py::module_& module) {
  bind_video_metadata(module);
  bind_video_processor(module);
}

}  // namespace kovra_python
