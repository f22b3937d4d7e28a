// Analysis utilities: file listing, centroid clustering, motion score, heat map, contrast filter.

#include <kovra_utils/visual.hpp>

#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// list_all_files
// ---------------------------------------------------------------------------------------------

namespace {

namespace fs = std::filesystem;

// os.path.join of a folder text and a name.
std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

struct FolderListing {
  std::vector<std::string> subfolders;  // entered unless they are symbolic links
  std::vector<std::string> linked_folders;
  std::vector<std::string> files;
};

// The sorted entries of one folder; an unreadable folder lists nothing.
FolderListing list_folder(const std::string& folder) {
  FolderListing listing;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return listing;
  for (const fs::directory_iterator end; it != end; it.increment(error)) {
    if (error) break;
    const std::string name = it->path().filename().string();
    std::error_code status_error;
    if (it->is_directory(status_error)) {
      (it->is_symlink(status_error) ? listing.linked_folders : listing.subfolders).push_back(name);
    } else {
      listing.files.push_back(name);
    }
  }
  std::sort(listing.subfolders.begin(), listing.subfolders.end());
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}

void collect_files(const std::string& folder, const std::string& ext,
                   std::vector<std::string>& paths) {
  const FolderListing listing = list_folder(folder);
  for (const auto& name : listing.files) {
    if (name.ends_with(ext)) paths.push_back(join_path(folder, name));
  }
  for (const auto& name : listing.subfolders) collect_files(join_path(folder, name), ext, paths);
}

}  // namespace

std::vector<std::string> list_all_files(const std::string& directory, const std::string& ext) {
  std::vector<std::string> paths;
  collect_files(directory, ext, paths);
  return paths;
}

// ---------------------------------------------------------------------------------------------
// cluster_masks_and_print
// ---------------------------------------------------------------------------------------------

namespace {

// Centroid (truncated) of the mask's largest external contour; absent without a contour of
// non-zero area.
std::optional<cv::Point> largest_contour_centroid(const Mask& mask) {
  if (mask.is_clear()) return std::nullopt;
  std::vector<std::vector<cv::Point>> contours;
  // Contours of the crop, offset into frame coordinates, are those of the whole plane: both are
  // traced with zeros all around.
  cv::findContours(mask.crop(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   mask.bounds().tl());
  if (contours.empty()) return std::nullopt;
  std::size_t largest = 0;
  double largest_area = cv::contourArea(contours[0]);
  for (std::size_t i = 1; i < contours.size(); ++i) {
    const double area = cv::contourArea(contours[i]);
    if (area > largest_area) {
      largest = i;
      largest_area = area;
    }
  }
  const cv::Moments m = cv::moments(contours[largest]);
  if (m.m00 == 0) return std::nullopt;
  return cv::Point(static_cast<int>(m.m10 / m.m00), static_cast<int>(m.m01 / m.m00));
}

// DBSCAN labels (-1 noise): clusters numbered in the order their first core point is met in
// input order, each grown completely (depth first) before the next starts.
std::vector<int> dbscan(const std::vector<cv::Point>& points, double eps, int min_samples) {
  const std::size_t n = points.size();
  const double eps_squared = eps * eps;
  std::vector<std::vector<std::size_t>> neighbours(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double dx = points[i].x - points[j].x;
      const double dy = points[i].y - points[j].y;
      if (dx * dx + dy * dy <= eps_squared) neighbours[i].push_back(j);
    }
  }
  std::vector<int> labels(n, -1);
  const auto is_core = [&](std::size_t i) {
    return neighbours[i].size() >= static_cast<std::size_t>(min_samples);
  };
  int label = 0;
  for (std::size_t start = 0; start < n; ++start) {
    if (labels[start] != -1 || !is_core(start)) continue;
    std::vector<std::size_t> stack{start};
    while (!stack.empty()) {
      const std::size_t i = stack.back();
      stack.pop_back();
      if (labels[i] != -1) continue;
      labels[i] = label;
      if (!is_core(i)) continue;
      for (const std::size_t v : neighbours[i]) {
        if (labels[v] == -1) stack.push_back(v);
      }
    }
    ++label;
  }
  return labels;
}

}  // namespace

ClusterGroups cluster_masks_and_print(const MasksDict& masks_dict, double eps, int min_samples) {
  if (!(eps > 0) || !std::isfinite(eps)) {
    throw ArgumentError("cluster_masks_and_print: eps must be a positive number, got " +
                        text::format_float(eps));
  }
  if (min_samples < 1) {
    throw ArgumentError("cluster_masks_and_print: min_samples must be at least 1, got " +
                        std::to_string(min_samples));
  }
  std::vector<cv::Point> centroids;
  std::vector<std::string> mask_keys;
  for (const auto& [key, mask] : masks_dict) {
    if (const auto centroid = largest_contour_centroid(mask)) {
      centroids.push_back(*centroid);
      mask_keys.push_back(key);
    }
  }
  if (centroids.empty()) {
    throw ArgumentError("cluster_masks_and_print: none of the " +
                        std::to_string(masks_dict.size()) +
                        " masks has a contour of non-zero area to cluster");
  }
  const std::vector<int> labels = dbscan(centroids, eps, min_samples);
  ClusterGroups clusters_disc;
  clusters_disc["Noise"];
  for (std::size_t idx = 0; idx < labels.size(); ++idx) {
    const std::string group = labels[idx] == -1 ? "Noise" : "Cluster " + std::to_string(labels[idx]);
    clusters_disc[group].push_back(mask_keys[idx]);
  }
  return clusters_disc;
}

// ---------------------------------------------------------------------------------------------
// compute_motion_score_in_polygon
// ---------------------------------------------------------------------------------------------

namespace {

cv::Mat read_gray(const std::string& path) {
  cv::Mat gray = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (gray.empty()) throw FileError("cannot read image file " + path);
  return gray;
}

// Mean of `mag` over the set pixels of `mask`; 0 for an empty mask.
double mean_inside(const cv::Mat& mag, const Mask& mask) {
  if (mask.is_clear()) return 0.0;
  const cv::Rect& b = mask.bounds();
  double sum = 0;
  for (int r = 0; r < b.height; ++r) {
    const float* row = mag.ptr<float>(b.y + r) + b.x;
    const std::uint8_t* set = mask.crop().ptr<std::uint8_t>(r);
    for (int c = 0; c < b.width; ++c) {
      if (set[c]) sum += row[c];
    }
  }
  return sum / static_cast<double>(mask.area());
}

}  // namespace

OrderedMap<std::string, double> compute_motion_score_in_polygon(
    const std::vector<std::string>& video_frames, const MasksDict& masks_dict) {
  if (video_frames.size() < 6) {
    throw ArgumentError("compute_motion_score_in_polygon: needs at least 6 frame paths, got " +
                        std::to_string(video_frames.size()));
  }
  const cv::Mat prev_frame = read_gray(video_frames[0]);
  const cv::Mat current_frame = read_gray(video_frames[5]);
  if (prev_frame.size() != current_frame.size()) {
    throw ArgumentError("compute_motion_score_in_polygon: " + video_frames[0] + " and " +
                        video_frames[5] + " differ in size");
  }
  for (const auto& [key, mask] : masks_dict) {
    if (mask.size() != prev_frame.size()) {
      throw ArgumentError("compute_motion_score_in_polygon: mask " + key + " is " +
                          std::to_string(mask.rows()) + " x " + std::to_string(mask.cols()) +
                          ", the frames are " + std::to_string(prev_frame.rows) + " x " +
                          std::to_string(prev_frame.cols));
    }
  }
  cv::Mat flow;
  cv::calcOpticalFlowFarneback(prev_frame, current_frame, flow, 0.5, 3, 15, 3, 5, 1.2, 0);
  cv::Mat components[2];
  cv::split(flow, components);
  cv::Mat mag;
  cv::Mat angle;
  cv::cartToPolar(components[0], components[1], mag, angle);

  OrderedMap<std::string, double> motion_scores;
  for (const auto& [key, mask] : masks_dict) motion_scores[key] = mean_inside(mag, mask);
  return motion_scores;
}

// ---------------------------------------------------------------------------------------------
// enhance_dark_text
// ---------------------------------------------------------------------------------------------

cv::Mat enhance_dark_text(const cv::Mat& image_pil, double gamma) {
  if (image_pil.depth() != CV_8U || (image_pil.channels() != 3 && image_pil.channels() != 4)) {
    throw ArgumentError("enhance_dark_text: image must be 8-bit RGB or RGBA, got " +
                        cv::typeToString(image_pil.type()));
  }
  if (!(gamma > 0) || !std::isfinite(gamma)) {
    throw ArgumentError("enhance_dark_text: gamma must be a positive number, got " +
                        text::format_float(gamma));
  }
  cv::Mat gray;
  cv::cvtColor(image_pil, gray, image_pil.channels() == 3 ? cv::COLOR_RGB2GRAY : cv::COLOR_RGBA2GRAY);

  const double inv_gamma = 1.0 / gamma;
  cv::Mat table(1, 256, CV_8U);
  for (int i = 0; i < 256; ++i) {
    table.at<std::uint8_t>(i) =
        static_cast<std::uint8_t>(std::pow(i / 255.0, inv_gamma) * 255.0);  // truncates
  }
  cv::Mat adjusted;
  cv::LUT(gray, table, adjusted);
  cv::Mat equalized;
  cv::equalizeHist(adjusted, equalized);
  return equalized;
}

}  // namespace kovra_utils
