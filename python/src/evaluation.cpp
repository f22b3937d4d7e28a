// kovra_utils/evaluation.hpp: tracking metrics and identity repair.

#include "convert.hpp"

#include <kovra_utils/evaluation.hpp>

#include <optional>
#include <string>

namespace kovra_python {

namespace {

// The metrics as nested dicts with the same members as evaluation_to_json (parsed from it, so the
// two never disagree).
py::object evaluation_to_python(const ku::TrackingEvaluation& evaluation) {
  const std::string text = ku::evaluation_to_json(evaluation);
  return py::module_::import("json").attr("loads")(text);
}

template <class Tracks>
py::object evaluate(const Tracks& predicted, const Tracks& ground_truth, bool drop_empty_masks) {
  ku::EvaluationOptions options;
  options.drop_empty_masks = drop_empty_masks;
  const ku::TrackingEvaluation evaluation =
      run_library([&] { return ku::evaluate_tracking(predicted, ground_truth, options); });
  return evaluation_to_python(evaluation);
}

py::dict repair_to_python(const ku::IdentityRepair& repair) {
  py::dict result;
  result["files"] = py::cast(repair.files);
  result["detections"] = py::cast(repair.detections);
  result["total_detections"] = repair.total_detections();
  return result;
}

const char* recovery_name(ku::RepairRecovery recovery) {
  switch (recovery) {
    case ku::RepairRecovery::completed:
      return "completed";
    case ku::RepairRecovery::rolled_back:
      return "rolled_back";
    case ku::RepairRecovery::nothing:
      break;
  }
  return "nothing";
}

constexpr const char* evaluate_doc =
    "Scores predicted tracks against ground-truth tracks (frame -> identity -> Mask, or -> [x1, y1, "
    "x2, y2] boxes for box IoU): {\"HOTA\": {...}, \"CLEAR\": {...}, \"Identity\": {...}} with the "
    "members of evaluation_to_json.";

}  // namespace

void bind_evaluation(py::module_& module) {
  const bool drop_empty_default = ku::EvaluationOptions{}.drop_empty_masks;
  // Masks are tried first: a box list never loads as a Mask.
  module.def("evaluate_tracking", &evaluate<ku::TrackMasks>, py::arg("predicted"), py::arg("ground_truth"),
             py::arg("drop_empty_masks") = drop_empty_default, evaluate_doc);
  module.def("evaluate_tracking", &evaluate<ku::TrackBoxes>, py::arg("predicted"), py::arg("ground_truth"),
             py::arg("drop_empty_masks") = drop_empty_default, evaluate_doc);

  module.def(
      "swap_identities",
      [](const std::string& save_dir_base, std::int64_t id_a, std::int64_t id_b, std::int64_t from_frame,
         std::optional<std::int64_t> to_frame, bool wait) {
        return repair_to_python(run_library(
            [&] { return ku::swap_identities(save_dir_base, id_a, id_b, from_frame, to_frame, wait); }));
      },
      py::arg("save_dir_base"), py::arg("id_a"), py::arg("id_b"), py::arg("from_frame"),
      py::arg("to_frame") = py::none(), py::arg("wait") = true,
      "Swaps object ids id_a and id_b in the annotation files of frames from_frame..to_frame (inclusive; "
      "to the end when None), all files or none. Returns {\"files\", \"detections\", \"total_detections\"}.");
  module.def(
      "reassign_identity",
      [](const std::string& save_dir_base, std::int64_t from_id, std::int64_t to_id, std::int64_t from_frame,
         std::optional<std::int64_t> to_frame, bool wait) {
        return repair_to_python(run_library(
            [&] { return ku::reassign_identity(save_dir_base, from_id, to_id, from_frame, to_frame, wait); }));
      },
      py::arg("save_dir_base"), py::arg("from_id"), py::arg("to_id"), py::arg("from_frame"),
      py::arg("to_frame") = py::none(), py::arg("wait") = true,
      "Gives from_id's detections in the frame range the id to_id (merges a fragment into a track). "
      "Returns {\"files\", \"detections\", \"total_detections\"}.");
  module.def(
      "finish_identity_repair",
      [](const std::string& save_dir_base, bool wait) {
        return recovery_name(run_library([&] { return ku::finish_identity_repair(save_dir_base, wait); }));
      },
      py::arg("save_dir_base"), py::arg("wait") = true,
      "Completes or rolls back an interrupted identity repair of the folder: \"nothing\", \"completed\" "
      "or \"rolled_back\".");
}

}  // namespace kovra_python
