#include "clip_loading.hpp"

#include <kovra_utils/annotation.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace kovra_cli {

void add_tracker_output_dir(CLI::App& app, std::string& tracker_output_dir) {
  app.add_option("TRACKER_OUTPUT_DIR", tracker_output_dir,
                 "Folder of the clip's annotation files (output_pp_<n>.json)")
      ->required();
}

kovra_utils::ClipData load_clip(const std::string& tracker_output_dir, Console& console) {
  require_directory(tracker_output_dir, "TRACKER_OUTPUT_DIR");
  console.progress("loading tracker output from " + tracker_output_dir + " ...");
  auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, tracker_output_dir);
  console.end_progress();
  if (!loaded.kovra_annotation_data) {
    throw InputError("TRACKER_OUTPUT_DIR: no annotation files (*_<n>.json) under " +
                     tracker_output_dir);
  }
  return std::move(*loaded.kovra_annotation_data);
}

std::string overlap_name(const kovra_utils::IntersectionTable& table, std::size_t row,
                         std::size_t col) {
  return table.keys().at(row) + " in " + table.keys().at(col);
}

void write_rgb_picture(const std::string& path, const cv::Mat& rgb) {
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
  bool written = false;
  try {
    written = cv::imwrite(path, bgr);
  } catch (const cv::Exception&) {
    written = false;  // an unknown extension
  }
  if (!written) throw InputError("--output: cannot write the picture " + path);
}

std::string percent(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %%", value);
  return text;
}

}  // namespace kovra_cli
