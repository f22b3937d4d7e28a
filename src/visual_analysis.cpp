// Analysis utilities: file listing, centroid clustering, motion score, heat map, contrast filter.

#include <kovra_utils/visual.hpp>

#include "draw.hpp"
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
                          text::format_size(mask.size()) + ", the frames are " +
                          text::format_size(prev_frame.size()));
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
// draw_intersection_heatmap
// ---------------------------------------------------------------------------------------------

namespace {

// The figure: 7 x 5 inches at 100 dots per inch.
const cv::Size kFigure(700, 500);
// The room the square cells are fitted into, and the colour bar beside them.
const cv::Rect kCellArea(95, 50, 455, 385);
constexpr int kBarGap = 22;
constexpr int kBarWidth = 18;
const cv::Vec4b kInk(0, 0, 0, 255);
const cv::Vec4b kGrid(128, 128, 128, 255);
const cv::Vec4b kPaper(255, 255, 255, 255);

// The white-to-red sequential scale ("Reds", 9 ColorBrewer stops) sampled as a 256-entry table.
cv::Vec4b reds(double percent) {
  static constexpr std::array<std::array<int, 3>, 9> stops = {{{255, 245, 240},
                                                               {254, 224, 210},
                                                               {252, 187, 161},
                                                               {252, 146, 114},
                                                               {251, 106, 74},
                                                               {239, 59, 44},
                                                               {203, 24, 29},
                                                               {165, 15, 21},
                                                               {103, 0, 13}}};
  const double t = std::clamp(percent / 100.0, 0.0, 1.0);
  const double x = std::min(static_cast<int>(t * 256), 255) / 255.0 * 8.0;
  const int k = std::min(static_cast<int>(x), 7);
  const double f = x - k;
  cv::Vec4b colour(0, 0, 0, 255);
  for (int c = 0; c < 3; ++c) {
    colour[c] = cv::saturate_cast<uchar>(stops[k][c] + (stops[k + 1][c] - stops[k][c]) * f);
  }
  return colour;
}

// White text on dark cells, black on light ones (relative luminance threshold 0.408).
cv::Vec4b annotation_ink(const cv::Vec4b& cell) {
  const auto linear = [](uchar v) {
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double lum = 0.2126 * linear(cell[0]) + 0.7152 * linear(cell[1]) + 0.0722 * linear(cell[2]);
  return lum > 0.408 ? kInk : kPaper;
}

cv::Size text_size(const draw::Font& font, const std::string& label) {
  const auto [x1, y1, x2, y2] = font.text_bbox(label, {0, 0});
  return {x2 - x1, y2 - y1};
}

// Draws `label` with the centre of its ink at `centre`.
void draw_centred(cv::Mat& rgba, const draw::Font& font, const std::string& label,
                  cv::Point centre, const cv::Vec4b& colour) {
  const auto [x1, y1, x2, y2] = font.text_bbox(label, {0, 0});
  font.draw_text(rgba, label, {centre.x - (x1 + x2) / 2, centre.y - (y1 + y2) / 2}, colour);
}

// Draws `label` turned a quarter counter-clockwise, ink centred at `centre`.
void draw_turned(cv::Mat& rgba, const draw::Font& font, const std::string& label, cv::Point centre) {
  const cv::Size size = text_size(font, label);
  cv::Mat strip(size.height + 4, size.width + 4, CV_8UC4, cv::Scalar(kPaper));
  draw_centred(strip, font, label, {strip.cols / 2, strip.rows / 2}, kInk);
  cv::Mat turned;
  cv::rotate(strip, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
  const cv::Rect target =
      cv::Rect(centre - cv::Point(turned.cols / 2, turned.rows / 2), turned.size()) &
      cv::Rect(cv::Point(0, 0), rgba.size());
  if (target.empty()) return;
  const cv::Point from = target.tl() - (centre - cv::Point(turned.cols / 2, turned.rows / 2));
  cv::Mat source = turned(cv::Rect(from, target.size()));
  cv::Mat region = rgba(target);
  cv::min(region, source, region);  // dark ink over the white figure
}

void draw_cells(cv::Mat& rgba, const IntersectionTable& table, cv::Rect grid, int cell,
                const draw::Font& font) {
  const int n = static_cast<int>(table.size());
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const double value = table.at(static_cast<std::size_t>(r), static_cast<std::size_t>(c));
      if (std::isnan(value)) continue;  // undefined cells stay blank
      const cv::Rect box(grid.x + c * cell, grid.y + r * cell, cell, cell);
      const cv::Vec4b colour = reds(value);
      rgba(box).setTo(cv::Scalar(colour));
      draw_centred(rgba, font, text::format_fixed(value, 2),
                   {box.x + cell / 2, box.y + cell / 2}, annotation_ink(colour));
    }
  }
  for (int k = 1; k < n; ++k) {
    rgba(cv::Rect(grid.x + k * cell, grid.y, 1, grid.height)).setTo(cv::Scalar(kGrid));
    rgba(cv::Rect(grid.x, grid.y + k * cell, grid.width, 1)).setTo(cv::Scalar(kGrid));
  }
}

void draw_tick_labels(cv::Mat& rgba, std::size_t n, cv::Rect grid, int cell,
                      const draw::Font& font) {
  int widest = 0;
  for (std::size_t k = 0; k < n; ++k) {
    widest = std::max(widest, text_size(font, "Mask " + std::to_string(k)).width);
  }
  const bool turn_x = widest + 4 > cell;  // labels that would touch are turned upright
  for (std::size_t k = 0; k < n; ++k) {
    const std::string label = "Mask " + std::to_string(k);
    const int middle = static_cast<int>(k) * cell + cell / 2;
    const cv::Size size = text_size(font, label);
    if (turn_x) {
      draw_turned(rgba, font, label, {grid.x + middle, grid.br().y + 6 + size.width / 2});
    } else {
      draw_centred(rgba, font, label, {grid.x + middle, grid.br().y + 6 + size.height / 2}, kInk);
    }
    draw_centred(rgba, font, label, {grid.x - 6 - size.width / 2, grid.y + middle}, kInk);
  }
}

void draw_colour_bar(cv::Mat& rgba, cv::Rect grid, const draw::Font& font) {
  const cv::Rect bar(grid.br().x + kBarGap, grid.y, kBarWidth, std::max(grid.height, 1));
  for (int row = 0; row < bar.height; ++row) {
    const double percent = 100.0 * (bar.height - 1 - row) / std::max(bar.height - 1, 1);
    rgba(cv::Rect(bar.x, bar.y + row, bar.width, 1)).setTo(cv::Scalar(reds(percent)));
  }
  for (int tick = 0; tick <= 100; tick += 20) {
    const int y = bar.y + static_cast<int>(std::lround((bar.height - 1) * (100 - tick) / 100.0));
    rgba(cv::Rect(bar.br().x, y, 4, 1)).setTo(cv::Scalar(kInk));
    const std::string label = std::to_string(tick);
    draw_centred(rgba, font, label, {bar.br().x + 8 + text_size(font, label).width / 2, y}, kInk);
  }
}

}  // namespace

cv::Mat render_intersection_heatmap(const IntersectionTable& intersections_df) {
  cv::Mat rgba(kFigure, CV_8UC4, cv::Scalar(kPaper));
  const draw::Font annotation_font = draw::Font::load("arial.ttf", 11);  // 8 points
  const draw::Font label_font = draw::Font::load("arial.ttf", 14);       // 10 points
  const draw::Font title_font = draw::Font::load("arial.ttf", 17);       // 12 points

  const int n = static_cast<int>(intersections_df.size());
  const int cell = n == 0 ? 0 : std::min(kCellArea.width, kCellArea.height) / n;
  const int side = cell * n;
  const cv::Rect grid(kCellArea.x + (kCellArea.width - side) / 2,
                      kCellArea.y + (kCellArea.height - side) / 2, side, side);
  draw_cells(rgba, intersections_df, grid, cell, annotation_font);
  draw_tick_labels(rgba, intersections_df.size(), grid, cell, annotation_font);
  draw_colour_bar(rgba, grid, annotation_font);
  draw_centred(rgba, title_font, "Intersection Heatmap %", {grid.x + side / 2, 25}, kInk);
  draw_centred(rgba, label_font, "Mask 2", {grid.x + side / 2, kFigure.height - 18}, kInk);
  draw_turned(rgba, label_font, "Mask 1", {18, grid.y + side / 2});

  cv::Mat rgb;
  cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
  return rgb;
}

void draw_intersection_heatmap(const IntersectionTable& intersections_df,
                               const DisplayFunc& display_func) {
  const cv::Mat figure = render_intersection_heatmap(intersections_df);
  if (display_func) display_func(figure);
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
