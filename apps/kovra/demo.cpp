// kovra demo: one camera's typical run, end to end, on a generated recording with the stand-in
// models.

#include "behaviour.hpp"
#include "command.hpp"
#include "synthetic_recording.hpp"

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/classical_models.hpp>
#include <kovra_utils/continuation.hpp>
#include <kovra_utils/first_frame.hpp>
#include <kovra_utils/refinement.hpp>
#include <kovra_utils/review.hpp>
#include <kovra_utils/video.hpp>
#include <kovra_utils/visual.hpp>

#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <ostream>

namespace kovra_cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCameraNumber = "61";
constexpr const char* kRecordingName = "Camera61_2_20240315061500.mp4";

// Where the demo puts everything, under one folder.
struct DemoPaths {
  fs::path root;
  fs::path recordings() const { return root / "recordings"; }
  fs::path recording() const { return recordings() / "pen61" / kRecordingName; }
  fs::path frames() const { return root / "frames"; }
  fs::path pen_json() const { return root / "pen_polygon.json"; }
  fs::path tracker_output(const std::string& clip) const { return root / "tracker_output" / clip; }
  fs::path pictures() const { return root / "pictures"; }
  fs::path zones_json() const { return root / "zones.json"; }
  fs::path behaviour() const { return root / "behaviour"; }
};

struct Clip {
  std::string name;  // the window's folder, e.g. 0min_to_0.1min
  fs::path dir;      // its frame folder
  std::vector<std::string> frame_names;
};

// Everything the summary lists, with the time the run took.
struct Written {
  std::vector<std::pair<std::string, fs::path>> items;
  void add(const std::string& what, const fs::path& where) { items.emplace_back(what, where); }
};

class Steps {
 public:
  Steps(std::ostream& out, int count) : out_(out), count_(count) {}
  void begin(const std::string& title) {
    out_ << "\n== [" << ++current_ << "/" << count_ << "] " << title << "\n" << std::flush;
  }

 private:
  std::ostream& out_;
  int count_;
  int current_ = 0;
};

std::vector<std::string> frame_files(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".jpg") names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The extracted windows of the recording, in time order.
std::vector<Clip> extracted_clips(const fs::path& frames_root) {
  std::vector<Clip> clips;
  for (const auto& entry : fs::recursive_directory_iterator(frames_root)) {
    if (!entry.is_directory() || entry.path().filename() != "right_cropped_frames") continue;
    clips.push_back({entry.path().parent_path().filename().string(), entry.path(),
                     frame_files(entry.path())});
  }
  // Window names start with their start minute.
  std::sort(clips.begin(), clips.end(), [](const Clip& a, const Clip& b) {
    return std::stod(a.name) < std::stod(b.name);
  });
  return clips;
}

// The pen outline moved into the cropped frames' pixels.
void write_pen_polygon(const fs::path& path, const cv::Point2d& crop_origin) {
  nlohmann::json points = nlohmann::json::array();
  for (const cv::Point2d& p : synthetic_pen_outline()) {
    points.push_back({p.x - crop_origin.x, p.y - crop_origin.y});
  }
  const nlohmann::json file = {{"shapes", {{{"label", "pen"}, {"points", points}}}}};
  kovra_utils::write_file_atomically(path, file.dump(2));
}

// The feeder and drinker moved into the cropped frames' pixels, in the zone file form.
void write_zones(const fs::path& path, const cv::Point2d& crop_origin) {
  nlohmann::json shapes = nlohmann::json::array();
  for (const SyntheticZone& zone : synthetic_zones()) {
    nlohmann::json points = nlohmann::json::array();
    for (const cv::Point2d& p : zone.outline) points.push_back({p.x - crop_origin.x, p.y - crop_origin.y});
    shapes.push_back({{"label", zone.name}, {"points", points}});
  }
  kovra_utils::write_file_atomically(path, nlohmann::json({{"shapes", shapes}}).dump(2));
}

void write_rgba(const fs::path& path, const cv::Mat& rgba) {
  cv::Mat bgra;
  cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
  if (!cv::imwrite(path.string(), bgra)) throw InputError("cannot write " + path.string());
}

// A rerun starts afresh: extraction skips windows that exist, so old ones would stay.
void clear_previous_run(const DemoPaths& paths) {
  for (const fs::path& owned : {paths.recordings(), paths.frames(), paths.root / "tracker_output",
                                paths.pictures(), paths.pen_json(), paths.zones_json(),
                                paths.behaviour()}) {
    fs::remove_all(owned);
  }
}

}  // namespace

// ---- the run --------------------------------------------------------------------------------

namespace {

struct DemoOptions {
  std::string dir = "kovra_demo";
};

// A rendered frame and a heat map of the reviewed clip are the demo's pictures.
struct ReviewedFrame {
  std::int64_t key = 0;
  std::string json_path;
};

class DemoRun {
 public:
  DemoRun(const DemoOptions& options, Console& console) :
      paths_{options.dir}, console_(console), out_(console.out()), steps_(out_, 10) {
    processor_.output_dir_base = paths_.frames().string();
    refinement_.custom_pen_json_path = paths_.pen_json().string();
  }

  void run();

 private:
  void generate_recording();
  std::vector<Clip> catalogue_and_extract();
  std::vector<kovra_utils::Mask> start_first_clip(const Clip& clip, std::int64_t& start_frame);
  void track(const Clip& clip, std::int64_t start_frame,
             const std::vector<kovra_utils::Mask>& seeds);
  std::vector<kovra_utils::Mask> continue_clip(const Clip& previous, const Clip& next);
  ReviewedFrame review(const Clip& clip);
  void draw(const ReviewedFrame& frame, const Clip& clip);
  void video(const Clip& clip);
  void behaviour(const std::vector<Clip>& clips);
  void summary(double seconds);

  DemoPaths paths_;
  Console& console_;
  std::ostream& out_;
  Steps steps_;
  Written written_;
  kovra_utils::BrightBlobDetector detector_;
  kovra_utils::ThresholdPredictor predictor_;
  kovra_utils::VideoProcessor processor_;
  kovra_utils::Mask_Refinement refinement_;
};

void DemoRun::generate_recording() {
  steps_.begin("Generating a synthetic pen-camera recording (2560 x 1440, ten animals)");
  fs::create_directories(paths_.recording().parent_path());
  write_synthetic_recording(paths_.recording());
  written_.add("synthetic recording", paths_.recording());
  out_ << "wrote " << paths_.recording().string() << "\n";
}

std::vector<Clip> DemoRun::catalogue_and_extract() {
  steps_.begin("Cataloguing the recordings and extracting cropped frame windows");
  const kovra_utils::VideoMetadata metadata{.base_dir = paths_.recordings().string(),
                                            .sub_dirs = {"pen61"}};
  const kovra_utils::Table table = metadata.get_filtered_video_dataframe();
  if (table.row_count() != 1) {
    throw InputError("the catalogue lists " + std::to_string(table.row_count()) +
                     " recordings, expected the generated one");
  }
  console_.progress("extracting frames ...");
  processor_.process_videos_to_frames(table);
  console_.end_progress();
  const auto crop = processor_.camera_crop_coords.find(std::string(kCameraNumber));
  if (crop == processor_.camera_crop_coords.end()) {
    throw InputError("no crop region was found for camera " + std::string(kCameraNumber));
  }
  write_pen_polygon(paths_.pen_json(), cv::Point2d(crop->second.x1, crop->second.y1));
  written_.add("pen polygon (cropped-frame pixels)", paths_.pen_json());
  write_zones(paths_.zones_json(), cv::Point2d(crop->second.x1, crop->second.y1));
  written_.add("feeder and drinker zones (cropped-frame pixels)", paths_.zones_json());
  std::vector<Clip> clips = extracted_clips(paths_.frames());
  if (clips.size() < 2) {
    throw InputError("expected two frame windows under " + paths_.frames().string() + ", found " +
                     std::to_string(clips.size()));
  }
  written_.add("frame windows (" + std::to_string(clips.size()) + ")", paths_.frames());
  return clips;
}

std::vector<kovra_utils::Mask> DemoRun::start_first_clip(const Clip& clip,
                                                         std::int64_t& start_frame) {
  steps_.begin("First clip " + clip.name + ": initializer with the stand-in detector");
  auto result = kovra_utils::initializer(clip.dir.string(), clip.frame_names, detector_, detector_,
                                         "cpu", predictor_, 0, 10, 0.25, kSyntheticAnimals,
                                         paths_.pen_json().string());
  if (!result.masks || !result.ann_frame_idx || !result.annotated_frame) {
    throw InputError("the initializer found no frame with ten separate animals in " +
                     clip.dir.string());
  }
  fs::create_directories(paths_.pictures());
  const fs::path picture = paths_.pictures() / "first_frame.png";
  write_rgba(picture, *result.annotated_frame);
  written_.add("initializer's annotated frame", picture);
  start_frame = *result.ann_frame_idx;
  return std::move(*result.masks);
}

void DemoRun::track(const Clip& clip, std::int64_t start_frame,
                    const std::vector<kovra_utils::Mask>& seeds) {
  out_ << "tracking " << seeds.size() << " animals through " << clip.frame_names.size()
       << " frames by re-prompting the predictor with the previous boxes\n";
  kovra_utils::BoxPropagationTracker tracker(predictor_);
  auto segments = kovra_utils::track_clip(tracker, clip.dir.string(), seeds, start_frame);
  out_ << "refining the masks with Mask_Refinement (main blob inside the pen)\n" << std::flush;
  refinement_.process_video_segments(segments, clip.dir.string(), clip.frame_names);
  const fs::path dir = paths_.tracker_output(clip.name);
  const auto files = kovra_utils::write_annotation_files(segments, clip.frame_names, dir);
  written_.add("tracker output of clip " + clip.name + " (" + std::to_string(files.size()) +
                   " files)",
               dir);
}

std::vector<kovra_utils::Mask> DemoRun::continue_clip(const Clip& previous, const Clip& next) {
  steps_.begin("Next clip " + next.name + ": seeding it from the end of " + previous.name);
  auto loaded = kovra_utils::get_kovra_annotation_data(
      previous.dir.string(), false, 0, paths_.tracker_output(previous.name).string());
  if (!loaded.kovra_annotation_data) {
    throw InputError("no tracker output of clip " + previous.name);
  }
  kovra_utils::ClipData& laste_frame = *loaded.kovra_annotation_data;
  // Scaled to the demo's short clips: the last sixth of the frames, tiny in most of them.
  const auto frames = static_cast<std::int64_t>(laste_frame.size());
  const auto stacked = kovra_utils::find_boxes_with_small_area_from_last_video(
      laste_frame, frames - frames / 6, 100, frames / 12);
  out_ << "stacked boxes to drop: " << (stacked.empty() ? "none" : std::to_string(stacked.size()))
       << "\n";
  auto matched = kovra_utils::matcher(laste_frame, next.frame_names, 0, &predictor_, stacked);
  if (matched.no_best_laste_frame || !matched.masks) {
    throw InputError("the matcher could not seed clip " + next.name);
  }
  return std::move(*matched.masks);
}

ReviewedFrame DemoRun::review(const Clip& clip) {
  steps_.begin("Reviewing clip " + clip.name + ": tracking question report and overlaps");
  const fs::path dir = paths_.tracker_output(clip.name);
  auto loaded = kovra_utils::get_kovra_annotation_data(clip.dir.string(), false, 0, dir.string());
  if (!loaded.kovra_annotation_data) throw InputError("no tracker output of clip " + clip.name);
  const kovra_utils::ClipData& data = *loaded.kovra_annotation_data;
  const auto report = kovra_utils::generate_tracking_report(data, dir.string());
  ReviewedFrame reviewed{data.rbegin()->first, data.rbegin()->second.json_path};
  if (report.overlap_frames_data.empty()) {
    out_ << "no overlapping masks to resolve\n";
    return reviewed;
  }
  written_.add("tracking question report", dir / "tracking_question_report.csv");
  const auto resolution =
      kovra_utils::process_overlap_frames(report.overlap_frames_data, data, predictor_);
  if (resolution.test_frame && data.contains(*resolution.test_frame + 1)) {
    const auto& record = data.at(*resolution.test_frame + 1);
    reviewed = {*resolution.test_frame + 1, record.json_path};
  }
  out_ << "box most likely carrying an identity error: "
       << resolution.most_frequent_box.value_or("none") << "\n";
  return reviewed;
}

void DemoRun::draw(const ReviewedFrame& frame, const Clip& clip) {
  steps_.begin("Drawing frame " + std::to_string(frame.key) + " of clip " + clip.name +
               " and its overlap heat map");
  fs::create_directories(paths_.pictures());
  const fs::path rendered = paths_.pictures() / "rendered_frame.png";
  kovra_utils::retrieve_annotation(frame.json_path, rendered.string(), true);
  written_.add("rendered annotation", rendered);

  auto loaded = kovra_utils::get_kovra_annotation_data(
      clip.dir.string(), false, 0, paths_.tracker_output(clip.name).string());
  const auto& record = loaded.kovra_annotation_data->at(frame.key);
  const fs::path heatmap = paths_.pictures() / "heatmap.png";
  cv::Mat bgr;
  cv::cvtColor(kovra_utils::render_intersection_heatmap(*record.intersections_df), bgr,
               cv::COLOR_RGB2BGR);
  if (!cv::imwrite(heatmap.string(), bgr)) throw InputError("cannot write " + heatmap.string());
  written_.add("overlap heat map", heatmap);
}

void DemoRun::video(const Clip& clip) {
  steps_.begin("Writing the tracking video of clip " + clip.name);
  fs::create_directories(paths_.pictures());
  const fs::path path = paths_.pictures() / "tracking_video.mp4";
  kovra_utils::TrackingVideoOptions options;
  options.mark_report_frames = true;
  options.progress = [this](std::int64_t written, std::int64_t total) {
    console_.progress("video frame " + std::to_string(written) + " / " + std::to_string(total));
  };
  const auto summary = kovra_utils::render_tracking_video(
      paths_.tracker_output(clip.name).string(), path.string(), options);
  console_.end_progress();
  out_ << "wrote " << summary.frames << " frames (" << summary.marked_frames
       << " marked for review) with codec " << summary.codec << "\n";
  written_.add("tracking video", path);
}

void DemoRun::behaviour(const std::vector<Clip>& clips) {
  steps_.begin("Behaviour of both clips: movement, feeder and drinker visits, contacts");
  BehaviourRequest request;
  for (std::size_t i = 0; i < 2; ++i) {
    request.tracker_output_dirs.push_back(paths_.tracker_output(clips[i].name).string());
    // Window names start with their start minute.
    request.start_times_s.push_back(std::stod(clips[i].name) * 60);
  }
  request.zones = paths_.zones_json().string();
  request.seconds_per_frame =
      static_cast<double>(processor_.frame_skip) / SyntheticRecording{}.fps;
  request.output_dir = paths_.behaviour().string();
  run_behaviour_step(request, console_);
  written_.add("behaviour tables, ethogram, contact matrix and trajectories", paths_.behaviour());
}

void DemoRun::summary(double seconds) {
  out_ << "\n== Demo finished in " << std::fixed << std::setprecision(1) << seconds
       << " s. It wrote:\n";
  for (const auto& [what, where] : written_.items) out_ << "  " << what << ": " << where.string() << "\n";
}

void DemoRun::run() {
  const auto started = std::chrono::steady_clock::now();
  generate_recording();
  const std::vector<Clip> clips = catalogue_and_extract();
  const Clip& first = clips[0];
  const Clip& second = clips[1];

  std::int64_t start_frame = 0;
  const auto seeds = start_first_clip(first, start_frame);
  steps_.begin("First clip " + first.name + ": tracking and refinement");
  track(first, start_frame, seeds);

  const auto continued = continue_clip(first, second);
  steps_.begin("Next clip " + second.name + ": tracking and refinement");
  track(second, 0, continued);

  const ReviewedFrame reviewed = review(second);
  draw(reviewed, second);
  video(second);
  behaviour(clips);
  summary(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace

Runner declare_demo(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  app.add_option("DIR", options->dir, "Folder for everything the demo writes (created; a previous demo run in it is replaced)")
      ->capture_default_str();
  return [options](Console& console) {
    std::error_code error;
    fs::create_directories(options->dir, error);
    if (!error) clear_previous_run(DemoPaths{options->dir});
    if (error) throw InputError("DIR: cannot create " + options->dir + ": " + error.message());
    DemoRun(*options, console).run();
    return 0;
  };
}

}  // namespace kovra_cli
