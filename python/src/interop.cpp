// kovra_utils/interop.hpp: COCO run-length masks, MOT / MOTS / COCO files, the trajectory table.
//
// A run-length encoding crosses as pycocotools' dict {"size": [height, width], "counts": ...}:
// counts are handed out as the compressed text, and read as that text (str or bytes) or as a
// list of run lengths (pycocotools' uncompressed form).

#include "convert.hpp"

#include <kovra_utils/interop.hpp>

#include <string>
#include <vector>

namespace kovra_python {

namespace {

py::object rle_member(const py::dict& rle, const char* name) {
  if (!rle.contains(name))
    throw ku::ArgumentError(std::string("run-length encoding has no \"") + name + "\" member");
  return rle[name];
}

ku::Rle rle_from_python(py::handle object) {
  if (!py::isinstance<py::dict>(object))
    throw ku::ArgumentError("a run-length encoding must be a dict with \"size\" and \"counts\", got " +
                            std::string(py::str(py::type::of(object).attr("__name__"))));
  const auto rle = py::reinterpret_borrow<py::dict>(object);
  std::vector<int> size;
  try {
    size = rle_member(rle, "size").cast<std::vector<int>>();
  } catch (const py::cast_error&) {
    throw ku::ArgumentError("run-length \"size\" must be [height, width] integers");
  }
  if (size.size() != 2)
    throw ku::ArgumentError("run-length \"size\" must be [height, width], got " +
                            std::to_string(size.size()) + " values");
  const py::object counts = rle_member(rle, "counts");
  if (py::isinstance<py::str>(counts) || py::isinstance<py::bytes>(counts)) {
    const auto text = counts.cast<std::string>();
    return run_library([&] { return ku::rle_from_string(text, size[0], size[1]); });
  }
  try {
    return ku::Rle{size[0], size[1], counts.cast<std::vector<std::int64_t>>()};
  } catch (const py::cast_error&) {
    throw ku::ArgumentError("run-length \"counts\" must be a text or a list of integers");
  }
}

py::dict rle_to_python(const ku::Rle& rle) {
  py::dict result;
  result["size"] = py::cast(std::vector<int>{rle.height, rle.width});
  result["counts"] = ku::rle_to_string(rle);
  return result;
}

std::vector<ku::Rle> rles_from_python(py::handle objects) {
  std::vector<ku::Rle> rles;
  for (py::handle object : py::iter(objects)) rles.push_back(rle_from_python(object));
  return rles;
}

void bind_rle(py::module_& module) {
  module.def(
      "encode_rle",
      [](const ku::Mask& mask) { return rle_to_python(run_library([&] { return ku::encode_rle(mask); })); },
      py::arg("mask"), "pycocotools' mask.encode of one H x W mask: {\"size\": [h, w], \"counts\": text}.");
  module.def(
      "decode_rle",
      [](py::handle rle) {
        const ku::Rle parsed = rle_from_python(rle);
        return dense_array(run_library([&] { return ku::decode_rle(parsed); }));
      },
      py::arg("rle"), "The H x W uint8 0/1 array of a run-length encoding (pycocotools' mask.decode).");
  module.def(
      "rle_to_string",
      [](py::handle rle) {
        const ku::Rle parsed = rle_from_python(rle);
        return run_library([&] { return ku::rle_to_string(parsed); });
      }, py::arg("rle"),
      "The compressed counts text of an encoding (pycocotools' rleToString).");
  module.def(
      "rle_from_string",
      [](const std::string& counts, int height, int width) {
        const ku::Rle rle = run_library([&] { return ku::rle_from_string(counts, height, width); });
        py::dict result;
        result["size"] = py::cast(std::vector<int>{rle.height, rle.width});
        result["counts"] = py::cast(rle.counts);
        return result;
      },
      py::arg("counts"), py::arg("height"), py::arg("width"),
      "Parses compressed counts text into the uncompressed form {\"size\": [h, w], \"counts\": [runs]}.");
  module.def(
      "rle_area", [](py::handle rle) { return ku::rle_area(rle_from_python(rle)); }, py::arg("rle"),
      "Number of set pixels (pycocotools' mask.area).");
  module.def(
      "rle_to_bbox", [](py::handle rle) { return ku::rle_to_bbox(rle_from_python(rle)); }, py::arg("rle"),
      "[x, y, width, height] of the set pixels (pycocotools' mask.toBbox).");
  module.def(
      "rle_iou",
      [](py::handle dt, py::handle gt, bool iscrowd) {
        const ku::Rle d = rle_from_python(dt);
        const ku::Rle g = rle_from_python(gt);
        return run_library([&] { return ku::rle_iou(d, g, iscrowd); });
      },
      py::arg("dt"), py::arg("gt"), py::arg("iscrowd") = false,
      "IoU of two encodings; |dt & gt| / |dt| when `iscrowd` (gt is a crowd region).");
  module.def(
      "rle_iou_matrix",
      [](py::handle dt, py::handle gt, const std::vector<bool>& iscrowd) {
        const std::vector<ku::Rle> d = rles_from_python(dt);
        const std::vector<ku::Rle> g = rles_from_python(gt);
        const auto rows = run_library([&] { return ku::rle_iou_matrix(d, g, iscrowd); });
        py::array_t<double> result(
            std::vector<py::ssize_t>{static_cast<py::ssize_t>(d.size()), static_cast<py::ssize_t>(g.size())});
        auto cells = result.mutable_unchecked<2>();
        for (std::size_t r = 0; r < rows.size(); ++r)
          for (std::size_t c = 0; c < rows[r].size(); ++c) cells(r, c) = rows[r][c];
        return result;
      },
      py::arg("dt"), py::arg("gt"), py::arg("iscrowd"),
      "len(dt) x len(gt) array of rle_iou, `iscrowd` holding one flag per gt (pycocotools' mask.iou).");
}

void bind_tracks(py::module_& module) {
  module.def("identity_of", &ku::identity_of, py::arg("box_key"), "\"Box<n>\" -> n + 1.");
  module.def("clip_track_masks", &ku::clip_track_masks, py::arg("clip"), library_call(),
             "Frame number (1 + clip position) -> identity -> Mask.");
  module.def("track_boxes", py::overload_cast<const ku::TrackMasks&>(&ku::track_boxes), py::arg("masks"), library_call(),
             "Frame -> identity -> [x1, y1, x2, y2] of the non-empty tracked masks.");

  // Tracks are tried before a clip: a clip's records never load as masks or boxes.
  using WriteMasks = std::size_t (*)(const ku::TrackMasks&, const std::filesystem::path&);
  using WriteBoxes = std::size_t (*)(const ku::TrackBoxes&, const std::filesystem::path&);
  using WriteClip = std::size_t (*)(const ku::ClipData&, const std::filesystem::path&);
  module.def("write_mots", static_cast<WriteMasks>(&ku::write_mots), py::arg("masks"), py::arg("path"),
             library_call(), "Writes MOTS challenge text of tracked masks; returns the lines written.");
  module.def("write_mots", static_cast<WriteClip>(&ku::write_mots), py::arg("clip"), py::arg("path"),
             library_call(), "Writes MOTS challenge text of a clip; returns the lines written.");
  module.def("write_mot", static_cast<WriteBoxes>(&ku::write_mot), py::arg("boxes"), py::arg("path"),
             library_call(), "Writes MOT challenge box text; returns the lines written.");
  module.def("write_mot", static_cast<WriteClip>(&ku::write_mot), py::arg("clip"), py::arg("path"),
             library_call(), "Writes MOT challenge box text of a clip's masks; returns the lines written.");
  module.def("read_mots", &ku::read_mots, py::arg("path"), library_call(),
             "A MOTS text file as frame -> identity -> Mask.");
  module.def("read_mot", &ku::read_mot, py::arg("path"), library_call(),
             "A MOT text file as frame -> identity -> [x1, y1, x2, y2].");
}

void bind_exports(py::module_& module) {
  module.def("write_coco", &ku::write_coco, py::arg("clip"), py::arg("path"), py::arg("video_name") = "",
             library_call(), "Writes the clip as COCO video-instance JSON; returns the annotations written.");
  module.def("trajectory_table", &ku::trajectory_table, py::arg("clip"), library_call(),
             "One row per frame and animal: position, identity, area, centroid, extent, distance.");
  module.def("write_trajectories", &ku::write_trajectories, py::arg("clip"), py::arg("path"), library_call(),
             "trajectory_table as CSV; returns the rows written.");
  module.def(
      "export_clip",
      [](const ku::ClipData& clip, const std::string& format, const std::filesystem::path& path,
         const std::string& video_name) {
        const ku::ExportFormat parsed = ku::export_format(format);
        return run_library([&] { return ku::export_clip(clip, parsed, path, video_name); });
      },
      py::arg("clip"), py::arg("format"), py::arg("path"), py::arg("video_name") = "",
      "Writes the clip as \"coco\", \"mots\", \"mot\" or \"trajectories\"; returns what was written.");
  module.def(
      "export_tracker_output",
      [](const std::string& save_dir_base, const std::string& format, const std::filesystem::path& path) {
        const ku::ExportFormat parsed = ku::export_format(format);
        return run_library([&] { return ku::export_tracker_output(save_dir_base, parsed, path); });
      },
      py::arg("save_dir_base"), py::arg("format"), py::arg("path"),
      "Loads the tracker output folder and exports it (export_clip); the COCO video takes the folder's name.");
}

}  // namespace

void bind_interop(py::module_& module) {
  bind_rle(module);
  bind_tracks(module);
  bind_exports(module);
}

}  // namespace kovra_python
