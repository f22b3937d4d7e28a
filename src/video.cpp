#include <kovra_utils/video.hpp>

#include <kovra_utils/cancellation.hpp>
#include "text.hpp"
#include "video_detail.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <regex>
#include <system_error>

namespace fs = std::filesystem;

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Video catalogue
// ---------------------------------------------------------------------------------------------

namespace {

const std::vector<std::string>& catalogue_columns() {
  static const std::vector<std::string> columns = {"Camera Number", "Date", "Time", "File Path",
                                                   "Video Name"};
  return columns;
}

// The standard library's regular-expression compiler recurses once per nesting level and per
// term, so a caller's pattern is held to a size the stack always takes.
void require_pattern_within_limits(const std::string& pattern) {
  if (pattern.size() > max_match_pattern_length) {
    throw ArgumentError("match_pattern is " + std::to_string(pattern.size()) +
                        " characters long, more than the " +
                        std::to_string(max_match_pattern_length) + " allowed");
  }
  std::size_t depth = 0;
  bool in_class = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (in_class) {
      in_class = c != ']';
    } else if (c == '[') {
      in_class = true;
    } else if (c == '(' && ++depth > max_match_pattern_depth) {
      throw ArgumentError("match_pattern " + text::quote(pattern.substr(0, 40) + "...") +
                          " nests groups deeper than " + std::to_string(max_match_pattern_depth));
    } else if (c == ')' && depth > 0) {
      --depth;
    }
  }
}

std::regex compile_file_pattern(const std::string& pattern) {
  require_pattern_within_limits(pattern);
  std::regex regex;
  try {
    regex.assign(pattern, std::regex::ECMAScript);
  } catch (const std::regex_error& error) {
    throw ArgumentError("match_pattern " + text::quote(pattern) +
                        " is not a valid regular expression: " + error.what());
  }
  if (regex.mark_count() < 4) {
    throw ArgumentError("match_pattern " + text::quote(pattern) +
                        " must have at least 4 groups, got " + std::to_string(regex.mark_count()));
  }
  return regex;
}

// The ".mp4" entries of every existing sub-directory, in sub-directory then listing order.
std::vector<fs::path> list_video_files(const std::string& base_dir,
                                       const std::vector<std::string>& sub_dirs) {
  std::vector<fs::path> files;
  for (const auto& sub_dir : sub_dirs) {
    const fs::path full_path = fs::path(base_dir) / sub_dir;
    std::error_code error;
    if (!fs::exists(full_path, error)) continue;
    fs::directory_iterator entry(full_path, error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
      const std::string name = entry->path().filename().string();
      if (name.ends_with(".mp4")) files.push_back(full_path / name);
    }
    if (error) {
      throw FileError("cannot list the directory " + full_path.string() + ": " + error.message());
    }
  }
  return files;
}

// A missing sub folder is skipped, but a missing base folder is a mistyped path.
void require_base_folder(const std::string& base_dir) {
  std::error_code error;
  if (!fs::is_directory(base_dir, error)) {
    throw FileError("video base folder " + base_dir + " does not exist or is not a folder");
  }
}

// Characters [first, first + count) of `value`, shorter or empty where `value` ends earlier.
std::string characters(const std::string& value, std::size_t first, std::size_t count) {
  return first < value.size() ? value.substr(first, count) : std::string();
}

std::string group_text(const std::smatch& match, std::size_t group, const std::string& file) {
  if (!match[group].matched) {
    throw ContentError("group " + std::to_string(group) + " of match_pattern took no part in " +
                       "matching the file name " + file);
  }
  return match[group].str();
}

// One catalogue row for `file`, absent when its name does not match.
std::optional<std::vector<Value>> catalogue_row(const fs::path& file, const std::regex& pattern) {
  const std::string filename = file.filename().string();
  std::smatch match;
  if (!std::regex_search(filename, match, pattern, std::regex_constants::match_continuous)) {
    return std::nullopt;
  }
  const std::string start = group_text(match, 4, filename);
  const std::string time = characters(start, 0, 2) + ":" + characters(start, 2, 2) + ":" +
                           characters(start, 4, std::string::npos);
  const std::string video_name = filename.substr(0, filename.size() - 4);
  return std::vector<Value>{group_text(match, 1, filename), group_text(match, 3, filename), time,
                            file.string(), video_name};
}

std::vector<std::size_t> rows_in_time_window(const Table& df, const std::string& after,
                                             const std::string& before) {
  std::vector<std::size_t> positions;
  for (std::size_t row = 0; row < df.row_count(); ++row) {
    const std::string time = df.text(row, "Time");
    if (time > after && time < before) positions.push_back(row);
  }
  return positions;
}

// Positions 0, step, 2 step, ... of `count` rows; a negative step counts from the last row.
std::vector<std::size_t> every_nth_row(std::size_t count, std::int64_t step) {
  std::vector<std::size_t> positions;
  const std::uint64_t stride = step == 0 ? 1
                                         : (step > 0 ? static_cast<std::uint64_t>(step)
                                                     : 0 - static_cast<std::uint64_t>(step));
  for (std::uint64_t k = 0; k < count; k += stride) {
    positions.push_back(step < 0 ? count - 1 - k : k);
  }
  return positions;
}

std::vector<std::size_t> rows_of_camera(const Table& df, const std::string& camera_number) {
  std::vector<std::size_t> positions;
  for (std::size_t row = 0; row < df.row_count(); ++row) {
    if (df.text(row, "Camera Number") == camera_number) positions.push_back(row);
  }
  return positions;
}

std::vector<std::size_t> first_rows(std::size_t count, std::int64_t top_n) {
  const std::size_t kept = top_n < 1 ? count : std::min(count, static_cast<std::size_t>(top_n));
  std::vector<std::size_t> positions(kept);
  for (std::size_t i = 0; i < kept; ++i) positions[i] = i;
  return positions;
}

std::vector<std::string> text_column(const Table& df, const std::string& column) {
  std::vector<std::string> values;
  for (std::size_t row = 0; row < df.row_count(); ++row) values.push_back(df.text(row, column));
  return values;
}

}  // namespace

Table VideoMetadata::get_filtered_video_dataframe() const {
  const std::regex pattern = compile_file_pattern(match_pattern);
  require_base_folder(base_dir);
  Table df(catalogue_columns());
  for (const auto& file : list_video_files(base_dir, sub_dirs)) {
    if (auto row = catalogue_row(file, pattern)) df.append_row(std::move(*row));
  }
  Table selected = df.select_rows(rows_in_time_window(df, filter_start, filter_end));
  selected = selected.select_rows(every_nth_row(selected.row_count(), sample_step));
  if (camera_number) selected = selected.select_rows(rows_of_camera(selected, *camera_number));
  selected = selected.select_rows(first_rows(selected.row_count(), top_n));
  std::cout << text::format_list(text_column(selected, "File Path")) << '\n';
  return selected;
}

// ---------------------------------------------------------------------------------------------
// Number
// ---------------------------------------------------------------------------------------------

double Number::as_double() const {
  if (const auto* integer = std::get_if<std::int64_t>(&value_)) {
    return static_cast<double>(*integer);
  }
  return std::get<double>(value_);
}

bool Number::is_multiple_of(std::int64_t divisor) const {
  if (divisor == 0) throw ArgumentError("a number cannot be divided by 0");
  if (const auto* integer = std::get_if<std::int64_t>(&value_)) {
    return divisor == -1 || *integer % divisor == 0;
  }
  return std::fmod(std::get<double>(value_), static_cast<double>(divisor)) == 0;
}

std::string Number::to_string() const {
  if (const auto* integer = std::get_if<std::int64_t>(&value_)) return std::to_string(*integer);
  return text::format_float(std::get<double>(value_));
}

namespace {

[[noreturn]] void throw_overflow(const char* operation, std::int64_t a, std::int64_t b) {
  throw ArgumentError(std::string("integer overflow in ") + std::to_string(a) + " " + operation +
                      " " + std::to_string(b));
}

}  // namespace

Number operator+(const Number& a, const Number& b) {
  if (a.is_integer() && b.is_integer()) {
    const auto x = std::get<std::int64_t>(a.value_);
    const auto y = std::get<std::int64_t>(b.value_);
    std::int64_t sum = 0;
    if (__builtin_add_overflow(x, y, &sum)) throw_overflow("+", x, y);
    return sum;
  }
  return a.as_double() + b.as_double();
}

Number operator-(const Number& a, const Number& b) {
  if (a.is_integer() && b.is_integer()) {
    const auto x = std::get<std::int64_t>(a.value_);
    const auto y = std::get<std::int64_t>(b.value_);
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(x, y, &difference)) throw_overflow("-", x, y);
    return difference;
  }
  return a.as_double() - b.as_double();
}

Number operator*(const Number& a, const Number& b) {
  if (a.is_integer() && b.is_integer()) {
    const auto x = std::get<std::int64_t>(a.value_);
    const auto y = std::get<std::int64_t>(b.value_);
    std::int64_t product = 0;
    if (__builtin_mul_overflow(x, y, &product)) throw_overflow("*", x, y);
    return product;
  }
  return a.as_double() * b.as_double();
}

namespace {

// Exact value of either alternative: long double holds every int64 and every double.
long double exact(const std::variant<std::int64_t, double>& value) {
  return std::visit([](auto v) { return static_cast<long double>(v); }, value);
}

}  // namespace

bool operator==(const Number& a, const Number& b) { return exact(a.value_) == exact(b.value_); }

bool operator<(const Number& a, const Number& b) { return exact(a.value_) < exact(b.value_); }

// ---------------------------------------------------------------------------------------------
// Pure extraction steps
// ---------------------------------------------------------------------------------------------

namespace video_detail {

CropRegion side_corrected(const CropRegion& detected, std::optional<bool> left_crop) {
  constexpr int kBottom = 1440;
  constexpr int kRight = 2560;
  constexpr int kFarEdge = 2300;
  if (!left_crop) return detected;
  const bool reaches_far_edge = detected.x2 >= kFarEdge;
  if (*left_crop) return {reaches_far_edge ? 380 : 120, 0, detected.x1 - 45, kBottom};
  return {detected.x1 - 50, 0, reaches_far_edge ? kRight : kFarEdge, kBottom};
}

cv::Rect clip_to_frame(const CropRegion& region, cv::Size frame_size, const std::string& video) {
  const cv::Point top_left(std::max(region.x1, 0), std::max(region.y1, 0));
  const cv::Point bottom_right(std::min(region.x2, frame_size.width),
                               std::min(region.y2, frame_size.height));
  if (bottom_right.x <= top_left.x || bottom_right.y <= top_left.y) {
    throw ContentError("crop region x1=" + std::to_string(region.x1) +
                       ", y1=" + std::to_string(region.y1) + ", x2=" + std::to_string(region.x2) +
                       ", y2=" + std::to_string(region.y2) + " leaves nothing of the " +
                       std::to_string(frame_size.width) + " x " +
                       std::to_string(frame_size.height) + " frames of video " + video);
  }
  return cv::Rect(top_left, bottom_right);
}

cv::Size height_scaled(cv::Size size, int target_height) {
  const double width = std::ceil(static_cast<double>(size.width) / size.height * target_height);
  if (!(width < static_cast<double>(std::numeric_limits<int>::max()))) {
    throw ArgumentError("resize_dim height " + std::to_string(target_height) + " scales a " +
                        std::to_string(size.width) + " x " + std::to_string(size.height) +
                        " frame beyond the largest image width");
  }
  return cv::Size(static_cast<int>(width), target_height);
}

}  // namespace video_detail

// ---------------------------------------------------------------------------------------------
// VideoProcessor
// ---------------------------------------------------------------------------------------------

namespace {

// Through FFmpeg only: the automatic backend choice adds nothing for video files and, for a
// missing one, goes on to probe camera hardware (FireWire, USB) before giving up.
cv::VideoCapture open_video(const fs::path& video_path) {
  return cv::VideoCapture(video_path.string(), cv::CAP_FFMPEG);
}

bool is_positive_finite(double value) { return std::isfinite(value) && value > 0; }

void check_extraction_settings(const VideoProcessor& processor) {
  if (processor.frame_skip == 0) throw ArgumentError("frame_skip must not be 0");
  if (processor.resize_dim && processor.resize_dim->second < 1) {
    throw ArgumentError("resize_dim height must be at least 1, got " +
                        std::to_string(processor.resize_dim->second));
  }
}

void check_window_bound(const char* name, const Number& bound) {
  if (!std::isfinite(bound.as_double())) {
    throw ArgumentError(std::string(name) + " must be finite, got " + bound.to_string());
  }
}

void make_directories(const fs::path& directory) {
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    throw FileError("cannot create the directory " + directory.string() + ": " + error.message());
  }
}

// Integer part of the capture's frame rate, absent when it is below 1 or not a number.
std::optional<std::int64_t> whole_frames_per_second(cv::VideoCapture& capture) {
  const double fps = capture.get(cv::CAP_PROP_FPS);
  if (!(fps >= 1 && fps < 1e9)) return std::nullopt;
  return static_cast<std::int64_t>(fps);
}

std::string describe(const CropRegion& region) {
  return "x1=" + std::to_string(region.x1) + ", y1=" + std::to_string(region.y1) +
         ", x2=" + std::to_string(region.x2) + ", y2=" + std::to_string(region.y2);
}

// The camera's cached rectangle, or a freshly detected and side-corrected one, which is cached.
// Absent (with its message) when no orange region is found.
std::optional<CropRegion> crop_region_for(VideoProcessor& processor, const cv::Mat& first_frame,
                                          const std::optional<std::string>& camera_number) {
  const std::string camera = text::format_optional(camera_number);
  CropRegion region;
  if (auto cached = processor.camera_crop_coords.find(camera_number);
      cached != processor.camera_crop_coords.end()) {
    region = cached->second;
  } else {
    const auto detected = VideoProcessor::find_orange_region(first_frame);
    if (!detected) {
      std::cout << "No orange region detected. Exiting.\n";
      return std::nullopt;
    }
    std::cout << "cv2 crop region for Camera " << camera << ": " << describe(*detected) << '\n';
    region = video_detail::side_corrected(*detected, processor.left_crop);
    processor.camera_crop_coords[camera_number] = region;
  }
  std::cout << "Detected crop region for Camera " << camera << ": " << describe(region) << '\n';
  return region;
}

void write_jpeg(const fs::path& path, const cv::Mat& image) {
  if (!cv::imwrite(path.string(), image)) {
    throw FileError("cannot write the frame " + path.string());
  }
}

std::string shape_text(const cv::Mat& image) {
  return "(" + std::to_string(image.rows) + ", " + std::to_string(image.cols) + ", " +
         std::to_string(image.channels()) + ")";
}

// Extracts one window into `write_dir`, naming `shown_dir` in its messages. Returns the number
// of frames saved.
std::int64_t extract_window(VideoProcessor& processor, const fs::path& video_path,
                            const fs::path& write_dir, const fs::path& shown_dir,
                            const Number& start_min, const Number& end_min,
                            const std::optional<std::string>& camera_number, bool crop) {
  check_extraction_settings(processor);
  check_window_bound("start_min", start_min);
  check_window_bound("end_min", end_min);
  make_directories(write_dir);

  cv::VideoCapture capture = open_video(video_path);
  if (!capture.isOpened()) {
    std::cout << "Error: Could not open video.\n";
    return 0;
  }
  const auto fps = whole_frames_per_second(capture);
  if (!fps) {
    std::cout << "Error: Video " << video_path.string() << " has no usable frame rate.\n";
    return 0;
  }
  const Number frames_per_minute = *fps * 60;
  const Number start_frame = frames_per_minute * start_min;
  const Number end_frame = frames_per_minute * end_min;

  capture.set(cv::CAP_PROP_POS_FRAMES, start_frame.as_double());
  cv::Mat frame;
  if (!capture.read(frame)) {
    std::cout << "Error: Could not read the first frame.\n";
    return 0;
  }
  std::optional<CropRegion> region;
  if (crop) {
    region = crop_region_for(processor, frame, camera_number);
    if (!region) return 0;
  }

  const Number last_frame = end_frame - 1;
  std::int64_t save_idx = 0;
  cv::Mat saved;
  for (Number frame_idx = start_frame; frame_idx < end_frame; frame_idx = frame_idx + 1) {
    check_cancellation();
    if (!capture.read(frame)) break;
    if (!frame_idx.is_multiple_of(processor.frame_skip) && !(frame_idx == last_frame)) continue;
    const std::string name = text::format_padded(save_idx, 4) + ".jpg";
    std::cout << "Processing frame " << frame_idx.to_string() << " (saved as " << name << ")\n";
    saved = region ? frame(video_detail::clip_to_frame(*region, frame.size(), video_path.string()))
                   : frame;
    if (processor.resize_dim) {
      cv::resize(saved, saved,
                 video_detail::height_scaled(saved.size(), processor.resize_dim->second), 0, 0,
                 cv::INTER_AREA);
    }
    write_jpeg(write_dir / name, saved);
    ++save_idx;
  }
  capture.release();
  std::cout << "Cropped frames from " << start_min.to_string() << " to " << end_min.to_string()
            << " minutes saved to " << shown_dir.string() << ".\n";
  std::cout << "Dim: " << (save_idx > 0 ? shape_text(saved) : std::string("None")) << '\n';
  return save_idx;
}

void require_catalogue_columns(const Table& df) {
  for (const char* column : {"Video Name", "File Path", "Date", "Camera Number"}) {
    if (!df.has_column(column)) {
      throw ArgumentError("the catalogue table has no column " + text::quote(column) +
                          "; its columns are " + text::format_list(df.columns()));
    }
  }
}

// ContentError naming the row when a cell that becomes one folder of the output path could
// leave output_dir_base or name another folder: ".", "..", a separator or a NUL byte.
void require_folder_name(const Table& df, std::size_t row, const char* column) {
  const std::string name = df.text(row, column);
  if (name != "." && name != ".." && name.find_first_of(std::string_view("/\0", 2)) ==
                                         std::string::npos) {
    return;
  }
  throw ContentError("catalogue row " + std::to_string(row) + ": " + text::quote(column) + " " +
                     text::quote(name) + " cannot be used as a folder name");
}

// Extracts a window through a temporary sibling directory that gets the final name only when
// at least one frame was saved, so neither an interrupted nor an empty window is ever skipped.
void extract_window_safely(VideoProcessor& processor, const std::string& video_path,
                           const std::string& output_dir, const Number& start_min,
                           const Number& end_min, const std::string& camera_number) {
  const fs::path final_dir = output_dir;
  const fs::path partial_dir = output_dir + ".partial";
  std::error_code error;
  fs::remove_all(partial_dir, error);
  make_directories(partial_dir);
  const auto saved = extract_window(processor, video_path, partial_dir, final_dir, start_min,
                                    end_min, camera_number, processor.crop);
  if (saved > 0) {
    fs::rename(partial_dir, final_dir, error);
  } else {
    fs::remove_all(partial_dir, error);
  }
  if (error) {
    throw FileError("cannot finish the window directory " + output_dir + ": " + error.message());
  }
}

void process_video(VideoProcessor& processor, const Table& df, std::size_t row) {
  const std::string video_id = df.text(row, "Video Name");
  const std::string video_path = df.text(row, "File Path");
  const std::string video_date = df.text(row, "Date");
  const std::string camera_number = df.text(row, "Camera Number");
  const std::string side = processor.left_crop == true ? "left" : "right";

  const Number total_minutes = VideoProcessor::get_video_duration(video_path);
  Number start_min = 0;
  while (start_min < total_minutes) {
    const Number next = start_min + processor.time_step;
    const Number end_min = total_minutes < next ? total_minutes : next;
    const std::string output_dir = processor.output_dir_base + "/" + video_date + "/" + video_id +
                                   "/" + start_min.to_string() + "min_to_" + end_min.to_string() +
                                   "min/" + side + "_cropped_frames";
    std::error_code error;
    if (fs::exists(output_dir, error)) {
      std::cout << "Skipping " << output_dir << ", already exists.\n";
    } else {
      extract_window_safely(processor, video_path, output_dir, start_min, end_min, camera_number);
    }
    start_min = start_min + processor.time_step;
  }
}

}  // namespace

double VideoProcessor::get_video_duration(const fs::path& video_path) {
  cv::VideoCapture capture = open_video(video_path);
  if (!capture.isOpened()) {
    std::cout << "Error: Could not open video " << video_path.string() << '\n';
    return 0;
  }
  const double fps = capture.get(cv::CAP_PROP_FPS);
  std::cout << "Video FPS: " << text::format_float(fps) << '\n';
  const double frame_count = capture.get(cv::CAP_PROP_FRAME_COUNT);
  std::cout << "Total frames: " << text::format_float(frame_count) << '\n';
  capture.release();
  if (!is_positive_finite(fps) || !is_positive_finite(frame_count)) {
    std::cout << "Error: Video " << video_path.string()
              << " has no usable frame rate or frame count.\n";
    return 0;
  }
  const double duration_sec = frame_count / fps;
  std::cout << "Video duration: " << text::format_fixed(duration_sec, 2) << " seconds\n";
  return duration_sec / 60;
}

std::optional<CropRegion> VideoProcessor::find_orange_region(const cv::Mat& frame) {
  if (frame.empty() || frame.type() != CV_8UC3) {
    throw ArgumentError("frame must be a non-empty 8-bit 3-channel BGR image, got " +
                        std::to_string(frame.cols) + " x " + std::to_string(frame.rows) + " with " +
                        std::to_string(frame.channels()) + " channels of depth " +
                        std::to_string(frame.depth()));
  }
  cv::Mat hsv;
  cv::cvtColor(frame, hsv, cv::COLOR_BGR2HSV);
  cv::Mat mask;
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;

  std::vector<double> areas;
  for (const auto& contour : contours) areas.push_back(cv::contourArea(contour));
  std::vector<std::size_t> order(contours.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return areas[a] > areas[b]; });
  order.resize(std::min<std::size_t>(order.size(), 2));

  std::size_t chosen = order.front();
  double chosen_x = -std::numeric_limits<double>::infinity();
  for (std::size_t index : order) {
    const cv::Moments m = cv::moments(contours[index]);
    const double centroid_x = m.m10 / (m.m00 + 1e-5);
    if (centroid_x > chosen_x) {
      chosen = index;
      chosen_x = centroid_x;
    }
  }
  const cv::Rect box = cv::boundingRect(contours[chosen]);
  return CropRegion{box.x, box.y, box.x + box.width, box.y + box.height};
}

void VideoProcessor::crop_video_to_frames(const fs::path& video_path, const fs::path& output_dir,
                                          Number start_min, Number end_min,
                                          std::optional<std::string> camera_number, bool crop) {
  extract_window(*this, video_path, output_dir, output_dir, start_min, end_min, camera_number,
                 crop);
}

void VideoProcessor::process_videos_to_frames(const Table& df) {
  if (!(time_step > 0)) {
    throw ArgumentError("time_step must be a positive number of minutes, got " +
                        text::format_float(time_step));
  }
  check_extraction_settings(*this);
  require_catalogue_columns(df);
  for (std::size_t row = 0; row < df.row_count(); ++row) {
    for (const char* column : {"Date", "Video Name"}) require_folder_name(df, row, column);
  }
  for (std::size_t row = 0; row < df.row_count(); ++row) process_video(*this, df, row);
}

}  // namespace kovra_utils
