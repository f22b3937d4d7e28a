// kovra evaluate: tracking metrics (HOTA, CLEAR MOT, Identity) of predicted tracks against a
// ground truth.

#include "clip_loading.hpp"
#include "command.hpp"

#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/interop.hpp>
#include <kovra_utils/types.hpp>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

namespace kovra_cli {

namespace fs = std::filesystem;

namespace {

struct EvaluateOptions {
  std::string predicted;
  std::string ground_truth;
  bool boxes = false;
  std::string json;
};

// One side of the evaluation, as read from its path. Masks stay run-length encoded, so a file
// declaring huge planes costs memory in proportion to its size.
struct Tracks {
  std::optional<kovra_utils::TrackRles> masks;
  std::optional<kovra_utils::TrackBoxes> boxes;
  std::vector<std::string> files;  // every file read
};

// The first line that is not blank, cut after 1 MiB (enough to tell the formats apart: MOTS
// counts text holds no comma); empty when there is none.
std::string first_line(const std::string& path) {
  constexpr std::size_t kEnough = std::size_t{1} << 20;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (char c = 0; in.get(c) && line.size() < kEnough;) {
    if (c != '\n') {
      line.push_back(c);
    } else if (line.find_first_not_of(" \t\r") == std::string::npos) {
      line.clear();
    } else {
      break;
    }
  }
  return line;
}

// MOT lines are comma separated (or hold more than six fields); MOTS lines are six fields
// separated by white space.
bool is_mots_file(const std::string& path) {
  const std::string line = first_line(path);
  if (line.find(',') != std::string::npos) return false;
  std::istringstream fields(line);
  std::size_t count = 0;
  for (std::string field; fields >> field;) ++count;
  return count == 6;
}

Tracks read_tracks(const std::string& path, const std::string& what, Console& console) {
  if (fs::is_directory(path)) {
    const kovra_utils::ClipData clip = load_clip(path, console);
    std::vector<std::string> files;
    for (const auto& [key, record] : clip) files.push_back(record.json_path);
    return {kovra_utils::track_rles(kovra_utils::clip_track_masks(clip)), std::nullopt,
            std::move(files)};
  }
  require_file(path, what);
  if (is_mots_file(path)) return {kovra_utils::read_mots_rle(path), std::nullopt, {path}};
  return {std::nullopt, kovra_utils::read_mot(path), {path}};
}

// The metrics file must not replace one of the tracks it scores.
void require_not_an_input(const std::string& output, const Tracks& predicted,
                          const Tracks& ground_truth) {
  for (const Tracks* side : {&predicted, &ground_truth}) {
    for (const std::string& file : side->files) {
      std::error_code error;
      if (fs::equivalent(output, file, error)) {
        throw InputError("--json: " + output + " is one of the inputs (" + file +
                         "); choose another file");
      }
    }
  }
}

kovra_utils::TrackBoxes as_boxes(const Tracks& tracks) {
  return tracks.boxes ? *tracks.boxes : kovra_utils::track_boxes(*tracks.masks);
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
      << "  AssRe " << score(hota_mean(h.AssRe)) << "  AssPr " << score(hota_mean(h.AssPr)) << "\n";
  out << "CLEAR     MOTA " << score(c.MOTA) << "  MOTP " << score(c.MOTP) << "  IDSW " << c.IDSW
      << "  Frag " << c.Frag << "  CLR_TP " << c.CLR_TP << "  CLR_FN " << c.CLR_FN << "  CLR_FP "
      << c.CLR_FP << "  MT " << c.MT << "  PT " << c.PT << "  ML " << c.ML << "\n";
  out << "Identity  IDF1 " << score(i.IDF1) << "  IDP " << score(i.IDP) << "  IDR " << score(i.IDR)
      << "  IDTP " << i.IDTP << "  IDFN " << i.IDFN << "  IDFP " << i.IDFP << "\n";
}

int run_evaluate(const EvaluateOptions& options, Console& console) {
  if (!options.json.empty()) require_parent_directory(options.json, "--json");
  const Tracks predicted = read_tracks(options.predicted, "PREDICTED", console);
  const Tracks ground_truth = read_tracks(options.ground_truth, "GROUND_TRUTH", console);
  if (!options.json.empty()) require_not_an_input(options.json, predicted, ground_truth);
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
                 "The tracks to score: a tracker output folder, a MOTS file or a MOT file")
      ->required();
  app.add_option("GROUND_TRUTH", options->ground_truth,
                 "The hand-checked tracks, in the same forms as PREDICTED")
      ->required();
  app.add_flag("--boxes", options->boxes,
               "Score box IoU instead of mask IoU (masks become their bounding rectangles; "
               "implied when either side is a MOT file)");
  app.add_option("--json", options->json,
                 "Also write every metric to this JSON file, with TrackEval's field names");
  return [options](Console& console) { return run_evaluate(*options, console); };
}

}  // namespace kovra_cli
