// The writing side of the annotation files: masks to polygon strings and a clip's masks to one
// file per frame.

#include <kovra_utils/annotation.hpp>

#include "annotation_file.hpp"
#include "text.hpp"

#include <opencv2/imgproc.hpp>

#include <string>
#include <utility>

namespace kovra_utils {

namespace {

namespace fs = std::filesystem;

// One polygon string: identifier 0, then every vertex's pixel centre normalised by the frame.
std::string polygon_text(const std::vector<cv::Point>& contour, cv::Size size) {
  const double width = size.width;
  const double height = size.height;
  std::string text = "0";
  text.reserve(2 + contour.size() * 18);
  for (const cv::Point& p : contour) {
    text += ' ';
    text += text::format_fixed((p.x + 0.5) / width, 6);
    text += ' ';
    text += text::format_fixed((p.y + 0.5) / height, 6);
  }
  return text;
}

nlohmann::ordered_json detection(std::int64_t object_id, const Mask& mask) {
  const auto box = mask.box();
  nlohmann::ordered_json result;
  result["object_id"] = object_id;
  result["xyxy"] = nlohmann::ordered_json::array({{box[0], box[1], box[2], box[3]}});
  result["formatted_polygon"] = mask_polygons(mask);
  return result;
}

// Checks the whole map before anything is written, so bad input leaves no partial output.
void require_writable(const VideoSegments& video_segments,
                      const std::vector<std::string>& frame_names) {
  const Mask* first = nullptr;
  for (const auto& [frame, objects] : video_segments) {
    if (frame < 0 || static_cast<std::size_t>(frame) >= frame_names.size()) {
      throw ArgumentError("write_annotation_files: frame " + std::to_string(frame) +
                          " is not a position in frame_names (" +
                          std::to_string(frame_names.size()) + " names)");
    }
    for (const auto& [object_id, mask] : objects) {
      if (first == nullptr) first = &mask;
      if (mask.size() != first->size()) {
        throw ArgumentError("write_annotation_files: the mask of object " +
                            std::to_string(object_id) + " on frame " + std::to_string(frame) +
                            " is " + std::to_string(mask.rows()) + " x " +
                            std::to_string(mask.cols()) + ", the clip's masks are " +
                            std::to_string(first->rows()) + " x " +
                            std::to_string(first->cols()));
      }
    }
  }
}

}  // namespace

std::vector<std::string> mask_polygons(const Mask& mask) {
  std::vector<std::string> polygons;
  if (mask.is_clear()) return polygons;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask.crop(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   mask.bounds().tl());
  polygons.reserve(contours.size());
  for (const auto& contour : contours) polygons.push_back(polygon_text(contour, mask.size()));
  return polygons;
}

std::vector<fs::path> write_annotation_files(const VideoSegments& video_segments,
                                             const std::vector<std::string>& frame_names,
                                             const fs::path& output_dir) {
  require_writable(video_segments, frame_names);
  std::error_code error;
  fs::create_directories(output_dir, error);
  if (error) {
    throw FileError("cannot create the folder " + output_dir.string() + ": " + error.message());
  }
  std::vector<fs::path> written;
  written.reserve(video_segments.size());
  for (const auto& [frame, objects] : video_segments) {
    nlohmann::ordered_json detections = nlohmann::ordered_json::array();
    for (const auto& [object_id, mask] : objects) detections.push_back(detection(object_id, mask));
    nlohmann::ordered_json document;
    document["image_path"] = frame_names[static_cast<std::size_t>(frame)];
    document["detections"] = std::move(detections);
    fs::path path = output_dir / ("output_pp_" + std::to_string(frame) + ".json");
    write_file_atomically(path, annotation_file::to_indented_ascii_json(document));
    written.push_back(std::move(path));
  }
  return written;
}

}  // namespace kovra_utils
