// kovra behaviour: movement, zone visits and contacts of one or more consecutive clips.

#include "behaviour.hpp"

#include "clip_loading.hpp"

#include <kovra_utils/behaviour.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

std::optional<cv::Size> first_mask_size(const std::vector<kovra_utils::ClipData>& clips) {
  for (const auto& clip : clips) {
    for (const auto& [key, record] : clip) {
      if (!record.masks_dict.empty()) return record.masks_dict.begin()->second.size();
    }
  }
  return std::nullopt;
}

// The first clip's first frame image (RGB), or nothing when it cannot be read.
cv::Mat first_frame(const std::vector<kovra_utils::ClipData>& clips) {
  if (clips.empty() || clips.front().empty()) return {};
  const std::string& path = clips.front().begin()->second.image_path;
  cv::Mat bgr;
  try {
    bgr = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    bgr.release();
  }
  if (bgr.empty()) return {};
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

// Each clip starts right after the previous one's last frame.
std::vector<double> consecutive_starts(const std::vector<kovra_utils::ClipData>& clips, double seconds_per_frame) {
  std::vector<double> starts;
  double next = 0;
  for (const auto& clip : clips) {
    starts.push_back(next);
    next += static_cast<double>(clip.size()) * seconds_per_frame;
  }
  return starts;
}

}  // namespace

void run_behaviour_step(const BehaviourRequest& request, Console& console) {
  if (!request.start_times_s.empty() && request.start_times_s.size() != request.tracker_output_dirs.size()) {
    throw InputError("--start-time: one per TRACKER_OUTPUT folder is needed, got " +
                     std::to_string(request.start_times_s.size()) + " for " +
                     std::to_string(request.tracker_output_dirs.size()) + " folders");
  }
  if (request.zones) require_file(*request.zones, "--zones");
  std::vector<kovra_utils::ClipData> clips;
  for (std::size_t i = 0; i < request.tracker_output_dirs.size(); ++i) {
    console.progress("loading clip " + std::to_string(i + 1) + " / " +
                     std::to_string(request.tracker_output_dirs.size()) + ": " + request.tracker_output_dirs[i]);
    clips.push_back(load_clip(request.tracker_output_dirs[i], console));
  }
  const cv::Mat background = first_frame(clips);
  kovra_utils::Zones zones;
  if (request.zones) {
    const auto size = first_mask_size(clips);
    if (!size && background.empty()) throw InputError("--zones: no mask or frame image gives the frame size");
    zones = kovra_utils::read_zones(*request.zones, size ? *size : background.size());
  }
  const std::vector<double> starts =
      request.start_times_s.empty() ? consecutive_starts(clips, request.seconds_per_frame) : request.start_times_s;
  kovra_utils::BehaviourOptions options;
  options.pixels_per_metre = request.pixels_per_metre;
  console.progress("measuring behaviour in " + std::to_string(clips.size()) + " clip(s) ...");
  const auto tables = kovra_utils::day_behaviour(clips, starts, request.seconds_per_frame, zones, options);
  console.progress("writing tables and pictures to " + request.output_dir + " ...");
  kovra_utils::write_behaviour(tables, request.output_dir, zones, background);
  console.end_progress();
  console.out() << "behaviour: " << tables.summary.row_count() << " animals, " << tables.frames.row_count()
                << " frame rows, " << tables.bouts.row_count() << " bouts, " << tables.contact_bouts.row_count()
                << " contact bouts written to " << request.output_dir << "\n";
}

Runner declare_behaviour(CLI::App& app) {
  auto request = std::make_shared<BehaviourRequest>();
  auto zones = std::make_shared<std::string>();
  auto ppm = std::make_shared<double>(0);
  app.add_option("TRACKER_OUTPUT_DIR", request->tracker_output_dirs,
                 "Folders of consecutive clips' annotation files (output_pp_<n>.json), in time order")
      ->required();
  app.add_option("--zones", *zones,
                 "Zone file: {\"shapes\": [{\"label\", \"points\"}]} in frame pixels, or a GeoJSON "
                 "FeatureCollection of Polygons with a \"name\" property");
  app.add_option("--seconds-per-frame", request->seconds_per_frame,
                 "Time between consecutive frames of a clip (frame skip / frame rate)")
      ->required()
      ->check(CLI::PositiveNumber);
  app.add_option("--start-time", request->start_times_s,
                 "Start of each clip in seconds, one per folder in their order (default: each clip follows "
                 "the previous one)");
  auto* ppm_option = app.add_option("--pixels-per-metre", *ppm, "Adds distances in metres to the summary")
                         ->check(CLI::PositiveNumber);
  app.add_option("-o,--output", request->output_dir,
                 "Folder for frames.csv, bouts.csv, contact_bouts.csv, contacts.csv, summary.csv, ethogram.png, "
                 "contacts.png and trajectories.png (created)")
      ->required();
  return [request, zones, ppm, ppm_option](Console& console) {
    BehaviourRequest run = *request;
    if (!zones->empty()) run.zones = *zones;
    if (ppm_option->count() > 0) run.pixels_per_metre = *ppm;
    run_behaviour_step(run, console);
    return 0;
  };
}

}  // namespace kovra_cli
