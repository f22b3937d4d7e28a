// kovra evaluate: tracking metrics (HOTA, CLEAR MOT, Identity) of predicted tracks against a
// ground truth.

#include "clip_loading.hpp"
#include "command.hpp"

#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/types.hpp>

#include <cstdio>
#include <ostream>

namespace kovra_cli {

namespace fs = std::filesystem;

namespace {

struct EvaluateOptions {
  std::string predicted;
  std::string ground_truth;
  bool boxes = false;
  std::string json;
};

// One side of the evaluation, as read from its path.
struct Tracks {
  std::optional<kovra_utils::TrackMasks> masks;
  std::optional<kovra_utils::TrackBoxes> boxes;
};

Tracks read_tracks(const std::string& path, const std::string& what, Console& console) {
  if (fs::is_directory(path)) {
    return {kovra_utils::track_masks_from_clip(load_clip(path, console)), std::nullopt};
  }
  require_file(path, what);
  throw InputError(what + ": " + path +
                   ": expected a tracker output folder (MOTS and MOT files are not read yet)");
}

// A mask's tracks as boxes: each mask's bounding rectangle, pixel edges [x, y, x + w, y + h].
kovra_utils::TrackBoxes boxes_of(const kovra_utils::TrackMasks& masks) {
  kovra_utils::TrackBoxes boxes;
  for (const auto& [frame, objects] : masks) {
    auto& frame_boxes = boxes[frame];
    for (const auto& [id, mask] : objects) {
      if (mask.is_clear()) continue;
      const cv::Rect r = mask.bounds();
      frame_boxes[id] = {double(r.x), double(r.y), double(r.x + r.width), double(r.y + r.height)};
    }
  }
  return boxes;
}

kovra_utils::TrackBoxes as_boxes(const Tracks& tracks) {
  return tracks.boxes ? *tracks.boxes : boxes_of(*tracks.masks);
}

std::string score(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", 100 * value);
  return text;
}

void print_table(std::ostream& out, const kovra_utils::TrackingEvaluation& e, bool boxes) {
  using kovra_utils::hota_mean;
  const auto& h = e.HOTA;
  const auto& c = e.CLEAR;
  const auto& i = e.Identity;
  out << "similarity: " << (boxes ? "box" : "mask") << " IoU; scores in percent\n";
  out << "HOTA      HOTA " << score(hota_mean(h.HOTA)) << "  DetA " << score(hota_mean(h.DetA))
      << "  AssA " << score(hota_mean(h.AssA)) << "  LocA " << score(hota_mean(h.LocA))
      << "  DetRe " << score(hota_mean(h.DetRe)) << "  DetPr " << score(hota_mean(h.DetPr))
      << "  AssRe " << score(hota_mean(h.AssRe)) << "  AssPr " << score(hota_mean(h.AssPr))
      << "\n";
  out << "CLEAR     MOTA " << score(c.MOTA) << "  MOTP " << score(c.MOTP) << "  IDSW " << c.IDSW
      << "  Frag " << c.Frag << "  CLR_TP " << c.CLR_TP << "  CLR_FN " << c.CLR_FN
      << "  CLR_FP " << c.CLR_FP << "  MT " << c.MT << "  PT " << c.PT << "  ML " << c.ML
      << "\n";
  out << "Identity  IDF1 " << score(i.IDF1) << "  IDP " << score(i.IDP) << "  IDR "
      << score(i.IDR) << "  IDTP " << i.IDTP << "  IDFN " << i.IDFN << "  IDFP " << i.IDFP
      << "\n";
}

int run_evaluate(const EvaluateOptions& options, Console& console) {
  if (!options.json.empty()) require_parent_directory(options.json, "--json");
  const Tracks predicted = read_tracks(options.predicted, "PREDICTED", console);
  const Tracks ground_truth = read_tracks(options.ground_truth, "GROUND_TRUTH", console);
  const bool boxes = options.boxes || predicted.boxes || ground_truth.boxes;
  const kovra_utils::TrackingEvaluation evaluation =
      boxes ? kovra_utils::evaluate_tracking(as_boxes(predicted), as_boxes(ground_truth))
            : kovra_utils::evaluate_tracking(*predicted.masks, *ground_truth.masks);
  print_table(console.out(), evaluation, boxes);
  if (!options.json.empty()) {
    kovra_utils::write_file_atomically(options.json, kovra_utils::evaluation_to_json(evaluation));
    console.out() << "metrics written to " << options.json << "\n";
  }
  return 0;
}

}  // namespace

Runner declare_evaluate(CLI::App& app) {
  auto options = std::make_shared<EvaluateOptions>();
  app.add_option("PREDICTED", options->predicted,
                 "The tracks to score: a tracker output folder")
      ->required();
  app.add_option("GROUND_TRUTH", options->ground_truth,
                 "The hand-checked tracks, in the same forms as PREDICTED")
      ->required();
  app.add_flag("--boxes", options->boxes,
               "Score box IoU instead of mask IoU (masks become their bounding rectangles)");
  app.add_option("--json", options->json,
                 "Also write every metric to this JSON file, with TrackEval's field names");
  return [options](Console& console) { return run_evaluate(*options, console); };
}

}  // namespace kovra_cli
