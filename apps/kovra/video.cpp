// kovra video: a clip's tracker output drawn over its frames as an MP4 video.

#include "command.hpp"

#include <kovra_utils/visual.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct VideoCommandOptions {
  std::string tracker_output_dir;
  std::string output;
  kovra_utils::TrackingVideoOptions video;  // filled by the options, checked by the library
};

int run_video(const VideoCommandOptions& options, Console& console) {
  require_directory(options.tracker_output_dir, "TRACKER_OUTPUT");
  require_parent_directory(options.output, "--output");
  kovra_utils::TrackingVideoOptions video = options.video;
  video.progress = [&console](std::int64_t written, std::int64_t total) {
    console.progress("frame " + std::to_string(written) + " / " + std::to_string(total));
  };
  const auto summary =
      kovra_utils::render_tracking_video(options.tracker_output_dir, options.output, video);
  console.end_progress();
  auto& out = console.out();
  out << "wrote " << options.output << ": " << summary.frames << " frames, "
      << summary.frame_size.width << " x " << summary.frame_size.height << ", "
      << video.fps << " fps, codec " << summary.codec << "\n";
  if (summary.missing_images > 0) {
    out << summary.missing_images << " frame images missing (drawn on black)\n";
  }
  if (video.mark_report_frames) out << summary.marked_frames << " frames marked for review\n";
  return 0;
}

}  // namespace

Runner declare_video(CLI::App& app) {
  auto options = std::make_shared<VideoCommandOptions>();
  app.add_option("TRACKER_OUTPUT", options->tracker_output_dir,
                 "Folder of the clip's annotation files (output_pp_<n>.json)")
      ->required();
  app.add_option("-o,--output", options->output, "Video to write (.mp4)")->required();
  app.add_option("--from", options->video.from_frame, "First clip position to draw (default: the first)");
  app.add_option("--to", options->video.to_frame, "Last clip position to draw, inclusive (default: the last)");
  app.add_option("--fps", options->video.fps, "Frames per second")->capture_default_str();
  app.add_option("--trail", options->video.trail_length, "Frames of centroid trail per animal (0: none)")
      ->capture_default_str();
  app.add_option("--scale", options->video.scale, "Output size as a factor of the frame size")
      ->capture_default_str();
  app.add_flag("--report", options->video.mark_report_frames,
               "Mark the frames the tracking question report lists (red border, reasons)");
  return [options](Console& console) { return run_video(*options, console); };
}

}  // namespace kovra_cli
