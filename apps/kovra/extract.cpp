// kovra extract: cropped JPEG frames, one folder per time window, from camera videos.

#include "command.hpp"
#include "video_options.hpp"

#include <kovra_utils/video.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct ExtractOptions {
  std::string catalogue_csv;
  std::string videos_dir;
  kovra_utils::VideoProcessor processor;
  int resize_height = 0;
  bool no_crop = false;
  std::string side = "right";
};

// Every matching video of one folder, whatever its start time.
kovra_utils::Table folder_catalogue(const std::string& dir) {
  const kovra_utils::VideoMetadata metadata{.base_dir = dir,
                                            .sub_dirs = {""},
                                            .filter_start = "",
                                            .filter_end = "99",
                                            .sample_step = 0};
  return metadata.get_filtered_video_dataframe();
}

kovra_utils::Table videos_to_extract(const ExtractOptions& options) {
  if (!options.catalogue_csv.empty()) {
    require_file(options.catalogue_csv, "--catalogue");
    return read_csv_table(options.catalogue_csv);
  }
  require_directory(options.videos_dir, "--videos");
  return folder_catalogue(options.videos_dir);
}

void configure(ExtractOptions& options) {
  auto& p = options.processor;
  if (options.resize_height > 0) p.resize_dim = std::make_pair(0, options.resize_height);
  p.crop = !options.no_crop;
  if (options.side == "left") p.left_crop = true;
  if (options.side == "right") p.left_crop = false;
  if (options.side == "none") p.left_crop = std::nullopt;
}

int run_extract(ExtractOptions options, Console& console) {
  configure(options);
  const kovra_utils::Table videos = videos_to_extract(options);
  for (const char* column : {"Video Name", "File Path", "Date", "Camera Number"}) {
    if (!videos.has_column(column)) {
      throw InputError("--catalogue: " + options.catalogue_csv + ": no column \"" +
                       std::string(column) + "\"");
    }
  }
  std::ostream& out = console.out();
  const std::size_t count = videos.row_count();
  for (std::size_t row = 0; row < count; ++row) {
    console.progress("extracting video " + std::to_string(row + 1) + "/" + std::to_string(count) +
                     ": " + videos.text(row, "Video Name"));
    options.processor.process_videos_to_frames(videos.select_rows({row}));
  }
  console.end_progress();
  out << "extracted " << count << " video" << (count == 1 ? "" : "s") << " into "
      << options.processor.output_dir_base << "\n";
  for (const auto& [camera, region] : options.processor.camera_crop_coords) {
    out << "  crop of camera " << camera.value_or("(none)") << ": x1=" << region.x1
        << ", y1=" << region.y1 << ", x2=" << region.x2 << ", y2=" << region.y2 << "\n";
  }
  return 0;
}

}  // namespace

Runner declare_extract(CLI::App& app) {
  auto options = std::make_shared<ExtractOptions>();
  auto& p = options->processor;
  auto* source = app.add_option_group("source", "Where the videos come from (one of them)");
  source->add_option("--catalogue", options->catalogue_csv,
                     "Catalogue CSV written by 'kovra catalogue --csv'");
  source->add_option("--videos", options->videos_dir,
                     "Folder of camera videos (Camera<N>_<n>_<YYYYMMDD><HHMMSS>.mp4)");
  source->require_option(1);
  app.add_option("-o,--output-dir", p.output_dir_base, "Root folder of the frame windows")
      ->capture_default_str();
  app.add_option("--time-step", p.time_step, "Window length in minutes")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--frame-skip", p.frame_skip, "Keep every n-th frame (and each window's last)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--resize-height", options->resize_height,
                 "Scale saved frames to this height in pixels (keeps the aspect ratio)")
      ->check(CLI::PositiveNumber);
  app.add_flag("--no-crop", options->no_crop, "Save whole frames, without the orange-marker crop");
  app.add_option("--side", options->side,
                 "Which side of the orange marker to keep: right, left, or none (as detected)")
      ->capture_default_str()
      ->check(CLI::IsMember({"right", "left", "none"}));
  return [options](Console& console) { return run_extract(*options, console); };
}

}  // namespace kovra_cli
