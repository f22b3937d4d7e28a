// kovra heatmap: the pairwise overlap table of one frame as a heat-map picture.

#include "clip_loading.hpp"
#include "command.hpp"

#include <kovra_utils/visual.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct HeatmapOptions {
  std::string tracker_output_dir;
  std::int64_t frame = 0;
  std::string image;
};

int run_heatmap(const HeatmapOptions& options, Console& console) {
  require_parent_directory(options.image, "--output");
  const auto clip = load_clip(options.tracker_output_dir, console);
  const auto found = clip.find(options.frame);
  if (found == clip.end()) {
    throw InputError("--frame: no frame " + std::to_string(options.frame) + "; the clip has frames 0 .. " +
                     std::to_string(clip.size() - 1));
  }
  const auto& record = found->second;
  const cv::Mat picture = kovra_utils::render_intersection_heatmap(*record.intersections_df);
  write_rgb_picture(options.image, picture);
  console.out() << "heat map of frame " << options.frame << " (" << record.json_path << ", "
                << record.masks_dict.size() << " masks) written to " << options.image << "\n";
  return 0;
}

}  // namespace

Runner declare_heatmap(CLI::App& app) {
  auto options = std::make_shared<HeatmapOptions>();
  add_tracker_output_dir(app, options->tracker_output_dir);
  app.add_option("--frame", options->frame, "Frame position in the clip (0 = first file)")
      ->required()
      ->check(CLI::NonNegativeNumber);
  app.add_option("-o,--output", options->image, "Picture to write (.png, .jpg ...)")->required();
  return [options](Console& console) { return run_heatmap(*options, console); };
}

}  // namespace kovra_cli
