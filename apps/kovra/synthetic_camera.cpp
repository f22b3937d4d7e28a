// kovra synthetic-camera: one generated pen camera as the pipeline takes it: a recording under
// DIR/recordings/pen<N>/, its pen polygon DIR/pens/Cam<N>.json and its feeder and drinker zones
// DIR/pens/Cam<N>_zones.json, both in the pixels of the cropped frames.

#include "command.hpp"
#include "synthetic_recording.hpp"

#include <kovra_utils/types.hpp>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <ostream>

namespace kovra_cli {

namespace fs = std::filesystem;

namespace {

struct SyntheticCameraOptions {
  std::string dir;
  std::string camera = "61";
  std::string date = "20240315";
  std::string time = "061500";
  int frames = 60;
  std::optional<int> approach_start;
};

nlohmann::json shape(const std::string& label, const std::vector<cv::Point2d>& full_frame_points) {
  const cv::Point2d origin = synthetic_crop_origin();
  nlohmann::json points = nlohmann::json::array();
  for (const cv::Point2d& p : full_frame_points) points.push_back({p.x - origin.x, p.y - origin.y});
  return {{"label", label}, {"points", points}};
}

// Digits only; exactly `count` of them unless `count` is 0.
CLI::Validator digits(std::size_t count, const std::string& form) {
  return CLI::Validator(
      [count, form](std::string& value) -> std::string {
        const bool ok = !value.empty() && (count == 0 || value.size() == count) &&
                        value.find_first_not_of("0123456789") == std::string::npos;
        return ok ? "" : form + " expected, got " + value;
      },
      form);
}

void write_json(const fs::path& path, const nlohmann::json& document) {
  fs::create_directories(path.parent_path());
  kovra_utils::write_file_atomically(path, document.dump(2) + "\n");
}

void write_camera(const SyntheticCameraOptions& options, std::ostream& out) {
  const fs::path root(options.dir);
  const fs::path recording = root / "recordings" / ("pen" + options.camera) /
                             ("Camera" + options.camera + "_2_" + options.date + options.time + ".mp4");
  fs::create_directories(recording.parent_path());
  SyntheticRecording settings;
  settings.frame_count = options.frames;
  settings.approach_start = options.approach_start.value_or(options.frames * 8 / 15);
  write_synthetic_recording(recording, settings);
  const fs::path pen = root / "pens" / ("Cam" + options.camera + ".json");
  write_json(pen, {{"shapes", {shape("pen", synthetic_pen_outline())}}});
  nlohmann::json zone_shapes = nlohmann::json::array();
  for (const SyntheticZone& zone : synthetic_zones()) zone_shapes.push_back(shape(zone.name, zone.outline));
  const fs::path zones = root / "pens" / ("Cam" + options.camera + "_zones.json");
  write_json(zones, {{"shapes", zone_shapes}});
  out << "wrote " << recording.string() << ", " << pen.string() << ", " << zones.string() << "\n";
}

}  // namespace

Runner declare_synthetic_camera(CLI::App& app) {
  auto options = std::make_shared<SyntheticCameraOptions>();
  app.add_option("DIR", options->dir, "Folder receiving recordings/ and pens/")->required();
  app.add_option("--camera", options->camera, "Camera number")
      ->check(digits(0, "DIGITS"))
      ->capture_default_str();
  app.add_option("--date", options->date, "Recording date, YYYYMMDD")
      ->check(digits(8, "YYYYMMDD"))
      ->capture_default_str();
  app.add_option("--time", options->time, "Recording start, HHMMSS")
      ->check(digits(6, "HHMMSS"))
      ->capture_default_str();
  app.add_option("--frames", options->frames, "Frames of the recording (5 per second)")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--approach-start", options->approach_start,
                 "Frame from which animal 1 walks onto animal 0 (default: 8/15 of the frames)")
      ->check(CLI::NonNegativeNumber);
  return [options](Console& console) {
    write_camera(*options, console.out());
    return 0;
  };
}

}  // namespace kovra_cli
