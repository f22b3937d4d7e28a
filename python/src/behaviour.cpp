// kovra_utils/behaviour.hpp: zones, behaviour tables and their pictures.
//
// Zones cross as a list of kovra_utils.Zone (what read_zones returns); where a function takes
// zones, a path to a zone file is read for the clip's frame size. The tables object keeps the
// library's tables and hands each out as a DataFrame: "moving" as booleans, the contact matrix
// indexed by object id with one integer-named column per animal.

#include "convert.hpp"

#include <kovra_utils/behaviour.hpp>

#include <optional>
#include <string>
#include <vector>

namespace kovra_python {

namespace {

cv::Size size_from_shape(const std::pair<int, int>& shape) { return cv::Size(shape.second, shape.first); }

bool is_path(py::handle object) {
  return py::isinstance<py::str>(object) || py::isinstance(object, py::module_::import("os").attr("PathLike"));
}

// The frame size of the clip's first mask.
std::optional<cv::Size> clip_frame_size(const ku::ClipData& clip) {
  for (const auto& [key, record] : clip) {
    for (const auto& [box_key, mask] : record.masks_dict) return mask.size();
  }
  return std::nullopt;
}

std::optional<cv::Size> clips_frame_size(const std::vector<ku::ClipData>& clips) {
  for (const ku::ClipData& clip : clips) {
    if (auto size = clip_frame_size(clip)) return size;
  }
  return std::nullopt;
}

ku::Zones zones_from_python(py::handle zones, std::optional<cv::Size> frame_size) {
  if (zones.is_none()) return {};
  if (!is_path(zones)) return zones.cast<ku::Zones>();
  const std::filesystem::path path = zones.cast<std::filesystem::path>();
  if (!frame_size) {
    throw ku::ArgumentError("zones given as a path (" + path.string() +
                            ") need a frame size: pass read_zones(path, (height, width)) instead");
  }
  return run_library([&] { return ku::read_zones(path, *frame_size); });
}

ku::BehaviourOptions options_of(double moving_speed_px_s, double enter, double leave, double merge_gap_s,
                                double min_bout_s, double contact_px, std::optional<double> pixels_per_metre) {
  return {moving_speed_px_s, enter, leave, merge_gap_s, min_bout_s, contact_px, pixels_per_metre};
}

py::object frames_frame(const ku::Table& table) {
  py::object frame = table_result(table);
  if (py::hasattr(frame, "astype") && table.has_column("moving")) {
    frame.attr("__setitem__")("moving", frame.attr("__getitem__")("moving").attr("astype")("bool"));
  }
  return frame;
}

py::object contacts_frame(const ku::Table& table) {
  py::object frame = table_result(table);
  if (!py::hasattr(frame, "set_index")) return frame;
  frame = frame.attr("set_index")("object_id");
  frame.attr("columns") = frame.attr("columns").attr("astype")("int64");
  return frame;
}

cv::Mat background_of(const std::optional<cv::Mat>& background) { return background ? *background : cv::Mat(); }

constexpr const char* kOptionsDoc =
    "moving_speed_px_s: speed (pixels/s) from which an animal moves; enter / leave: zone share to enter a zone "
    "and to stay in it; merge_gap_s: bouts this close merge; min_bout_s: shorter bouts are dropped; contact_px: "
    "distance (pixels) of a contact; pixels_per_metre: adds distance_m and mean_speed_m_s to the summary.";

}  // namespace

void bind_behaviour(py::module_& module) {
  py::class_<ku::Zone>(module, "Zone", "A named zone: its outlines (frame pixels) and its raster (a Mask).")
      .def_readonly("name", &ku::Zone::name)
      .def_readonly("outlines", &ku::Zone::outlines)
      .def_readonly("raster", &ku::Zone::raster)
      .def("__repr__", [](const ku::Zone& z) {
        return "Zone(name='" + z.name + "', shapes=" + std::to_string(z.outlines.size()) +
               ", pixels=" + std::to_string(z.raster.area()) + ")";
      });

  module.def(
      "read_zones",
      [](const std::filesystem::path& path, std::pair<int, int> frame_size) {
        return run_library([&] { return ku::read_zones(path, size_from_shape(frame_size)); });
      },
      py::arg("path"), py::arg("frame_size"),
      "The zones of a zone file ({\"shapes\": [{\"label\", \"points\"}]} or a GeoJSON FeatureCollection of "
      "named Polygons) rasterised for frames of frame_size (height, width), as a list of Zone.");

  py::class_<ku::BehaviourTables>(module, "BehaviourTables",
                                  "The behaviour tables of a clip or a day; each attribute is a DataFrame.")
      .def_property_readonly("frames", [](const ku::BehaviourTables& t) { return frames_frame(t.frames); })
      .def_property_readonly("bouts", [](const ku::BehaviourTables& t) { return table_result(t.bouts); })
      .def_property_readonly("contact_bouts",
                             [](const ku::BehaviourTables& t) { return table_result(t.contact_bouts); })
      .def_property_readonly("contacts", [](const ku::BehaviourTables& t) { return contacts_frame(t.contacts); })
      .def_property_readonly("summary", [](const ku::BehaviourTables& t) { return table_result(t.summary); })
      .def("__repr__", [](const ku::BehaviourTables& t) {
        return "BehaviourTables(frames=" + std::to_string(t.frames.row_count()) +
               " rows, bouts=" + std::to_string(t.bouts.row_count()) +
               " rows, contact_bouts=" + std::to_string(t.contact_bouts.row_count()) +
               " rows, animals=" + std::to_string(t.summary.row_count()) + ")";
      });

  module.def(
      "clip_behaviour",
      [](const ku::ClipData& clip, double seconds_per_frame, const py::object& zones, double start_time_s,
         double moving_speed_px_s, double enter, double leave, double merge_gap_s, double min_bout_s,
         double contact_px, std::optional<double> pixels_per_metre) {
        const ku::Zones read = zones_from_python(zones, clip_frame_size(clip));
        const auto options =
            options_of(moving_speed_px_s, enter, leave, merge_gap_s, min_bout_s, contact_px, pixels_per_metre);
        return run_library(
            [&] { return ku::clip_behaviour(clip, seconds_per_frame, read, start_time_s, options); });
      },
      py::arg("clip"), py::kw_only(), py::arg("seconds_per_frame"), py::arg("zones") = py::none(),
      py::arg("start_time_s") = 0.0, py::arg("moving_speed_px_s") = 40.0, py::arg("enter") = 0.5,
      py::arg("leave") = 0.2, py::arg("merge_gap_s") = 2.0, py::arg("min_bout_s") = 2.0,
      py::arg("contact_px") = 2.0, py::arg("pixels_per_metre") = py::none(),
      (std::string("The behaviour tables of one loaded clip (position -> FrameRecord). zones: None, a zone file "
                   "path or read_zones' result. ") + kOptionsDoc).c_str());

  module.def(
      "day_behaviour",
      [](const std::vector<ku::ClipData>& clips, const std::vector<double>& start_times_s, double seconds_per_frame,
         const py::object& zones, double moving_speed_px_s, double enter, double leave, double merge_gap_s,
         double min_bout_s, double contact_px, std::optional<double> pixels_per_metre) {
        const ku::Zones read = zones_from_python(zones, clips_frame_size(clips));
        const auto options =
            options_of(moving_speed_px_s, enter, leave, merge_gap_s, min_bout_s, contact_px, pixels_per_metre);
        return run_library(
            [&] { return ku::day_behaviour(clips, start_times_s, seconds_per_frame, read, options); });
      },
      py::arg("clips"), py::arg("start_times_s"), py::kw_only(), py::arg("seconds_per_frame"),
      py::arg("zones") = py::none(), py::arg("moving_speed_px_s") = 40.0, py::arg("enter") = 0.5,
      py::arg("leave") = 0.2, py::arg("merge_gap_s") = 2.0, py::arg("min_bout_s") = 2.0,
      py::arg("contact_px") = 2.0, py::arg("pixels_per_metre") = py::none(),
      (std::string("The behaviour tables of a day: clips in time order with their start times in seconds. ") +
       kOptionsDoc)
          .c_str());

  module.def(
      "draw_ethogram",
      [](const ku::BehaviourTables& tables, const py::object& zones) {
        const ku::Zones read = zones_from_python(zones, std::nullopt);
        return run_library([&] { return ku::draw_ethogram(tables, read); });
      },
      py::arg("tables"), py::arg("zones") = py::none(),
      "The ethogram (RGB array): zone bouts per animal over time, movement bouts as a thin bar.");
  module.def(
      "draw_contact_matrix",
      [](const ku::BehaviourTables& tables) { return run_library([&] { return ku::draw_contact_matrix(tables); }); },
      py::arg("tables"), "The contact matrix as a heat map with the seconds in the cells (RGB array).");
  module.def(
      "draw_trajectories",
      [](const ku::BehaviourTables& tables, const py::object& zones, std::optional<cv::Mat> background) {
        const std::optional<cv::Size> size =
            background ? std::optional(background->size()) : std::optional<cv::Size>();
        const ku::Zones read = zones_from_python(zones, size);
        return run_library([&] { return ku::draw_trajectories(tables, read, background_of(background)); });
      },
      py::arg("tables"), py::arg("zones") = py::none(), py::arg("background") = py::none(),
      "Each animal's centroid path in its overlay colour over background (RGB array, e.g. the clip's first "
      "frame), zones outlined (RGB array).");
  module.def(
      "write_behaviour",
      [](const ku::BehaviourTables& tables, const std::filesystem::path& output_dir, const py::object& zones,
         std::optional<cv::Mat> background) {
        const std::optional<cv::Size> size =
            background ? std::optional(background->size()) : std::optional<cv::Size>();
        const ku::Zones read = zones_from_python(zones, size);
        run_library([&] { ku::write_behaviour(tables, output_dir, read, background_of(background)); });
      },
      py::arg("tables"), py::arg("output_dir"), py::arg("zones") = py::none(), py::arg("background") = py::none(),
      "Writes frames.csv, bouts.csv, contact_bouts.csv, contacts.csv, summary.csv, ethogram.png, contacts.png and "
      "trajectories.png into output_dir (created), each replaced atomically. background: RGB array.");
}

}  // namespace kovra_python
