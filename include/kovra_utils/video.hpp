#pragma once

// VideoMetadata (the video catalogue) and VideoProcessor (crop-region detection and frame
// extraction).
//
// Every function here runs on the caller's thread and prints its progress lines to std::cout.
// Images are OpenCV BGR (CV_8UC3), as the video reader delivers them. Numbers in messages and
// directory names take the printed forms of the library (0, 150, 0.1, 150.0,
// 0.30000000000000004).

#include <kovra_utils/config.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Video catalogue
// ---------------------------------------------------------------------------------------------

/// The longest `match_pattern` accepted, in characters, and the deepest nesting of its groups:
/// the regular-expression compiler recurses on both, and a caller's pattern must never exhaust
/// the stack.
inline constexpr std::size_t max_match_pattern_length = 1024;
inline constexpr std::size_t max_match_pattern_depth = 32;

/// Lists the camera videos under `base_dir`/`sub_dir` whose names match `match_pattern`, keeps
/// those starting inside the daytime window, thins them out and returns them as a catalogue.
///
/// Build it positionally or by name (`VideoMetadata{.base_dir = "/rec", .sub_dirs = {"a"}}`);
/// `base_dir` and `sub_dirs` are the required fields.
struct VideoMetadata {
  /// Root directory of the recordings.
  std::string base_dir;
  /// Subdirectories of `base_dir` to scan, in scan order; missing ones are skipped silently.
  std::vector<std::string> sub_dirs;
  /// Start times must be greater than this HH:MM:SS text (compared as text).
  std::string filter_start = "06:00:00";
  /// Start times must be less than this HH:MM:SS text (compared as text).
  std::string filter_end = "17:00:00";
  /// Keep every `sample_step`-th recording of the time window, starting with its first; a
  /// negative step walks backwards from the last; 0 keeps all.
  std::int64_t sample_step = 3;
  /// Keep only the first `top_n` rows; below 1 keeps all.
  std::int64_t top_n = -1;
  /// ECMAScript regular expression matched from the start of the file name (text after the
  /// match is allowed). Group 1: camera number, group 2: unused, group 3: date YYYYMMDD,
  /// group 4: start time HHMMSS.
  std::string match_pattern = R"(Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4)";
  /// When present, keep only the recordings whose camera number text equals it. A text, so a
  /// camera number can never be confused with an integer.
  std::optional<std::string> camera_number = std::nullopt;

  /// Scans the folders (read only), prints the "File Path" values of the result as one list
  /// line, and returns the catalogue with the text columns "Camera Number", "Date", "Time"
  /// (HH:MM:SS), "File Path", "Video Name". Row labels are the rows' positions in the
  /// unfiltered catalogue. Directory entries are taken in the order the file system lists them.
  /// Throws ArgumentError for a pattern that is not a valid regular expression, has fewer
  /// than four groups, is longer than max_match_pattern_length or nests groups deeper than
  /// max_match_pattern_depth; FileError for a missing base_dir (a missing sub folder is skipped)
  /// and for a folder that exists but cannot be listed.
  Table get_filtered_video_dataframe() const;
};

// ---------------------------------------------------------------------------------------------
// Frame extraction
// ---------------------------------------------------------------------------------------------

/// An integer or a floating number, as window bounds and frame indices need it: they stay
/// integers while every operand is an integer and become floating as soon as one operand is,
/// and they print accordingly (frame 150 vs frame 150.0). Mixed comparisons are exact.
class Number {
 public:
  template <std::integral T>
  requires(!std::same_as<T, bool>) constexpr Number(T value)
      : value_(static_cast<std::int64_t>(value)) {}
  template <std::floating_point T>
  constexpr Number(T value) : value_(static_cast<double>(value)) {}

  bool is_integer() const { return std::holds_alternative<std::int64_t>(value_); }
  /// The value as a double (rounded for integers beyond 2^53).
  double as_double() const;
  /// Whether the value divides by `divisor` without remainder (floating values by fmod).
  /// `divisor` must not be 0.
  bool is_multiple_of(std::int64_t divisor) const;
  /// Printed form: 150, 150.0, 0.30000000000000004.
  std::string to_string() const;

  /// Integer arithmetic throws ArgumentError on overflow.
  friend Number operator+(const Number& a, const Number& b);
  friend Number operator-(const Number& a, const Number& b);
  friend Number operator*(const Number& a, const Number& b);
  friend bool operator==(const Number& a, const Number& b);
  friend bool operator<(const Number& a, const Number& b);

 private:
  std::variant<std::int64_t, double> value_;
};

/// A crop rectangle in full-frame pixels: rows y1 .. y2-1 and columns x1 .. x2-1 are kept.
struct CropRegion {
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
  bool operator==(const CropRegion&) const = default;
};

/// Cuts camera videos into windows of cropped JPEG frames. The crop rectangle of a camera is
/// detected from an orange region on the first window's first frame and cached in
/// `camera_crop_coords` for every later window and video this object handles.
///
/// Build it positionally or by name (`VideoProcessor{.frame_skip = 5, .left_crop = true}`).
struct VideoProcessor {
  /// When present, saved frames are scaled to the height of its second element (the first is
  /// not used); the width follows the crop's aspect ratio, rounded up.
  std::optional<std::pair<int, int>> resize_dim = std::nullopt;
  /// Keep the frames whose index is a multiple of `frame_skip`, plus a window's last frame.
  std::int64_t frame_skip = 1;
  /// Window length in minutes for process_videos_to_frames.
  double time_step = 0.1;
  /// Root of process_videos_to_frames' output; joined to the rest of a window's path with "/".
  std::string output_dir_base = DEFAULT_FRAMES_DIR;
  /// Crop rectangle cache: camera number (absent for calls without one) -> rectangle.
  std::map<std::optional<std::string>, CropRegion> camera_crop_coords = {};
  /// Whether process_videos_to_frames crops its frames.
  bool crop = true;
  /// Side correction of a detected region: true keeps the area left of it, false the area from
  /// 50 pixels before it to the right, absent keeps the detected rectangle unchanged.
  std::optional<bool> left_crop = false;

  /// Length of the video in minutes; prints "Video FPS: ", "Total frames: " and "Video duration:
  /// " lines. A video that cannot be opened, or whose frame rate or frame count is not a
  /// positive number, prints an error line and gives 0.
  static double get_video_duration(const std::filesystem::path& video_path);

  /// Bounding rectangle of the orange region of a BGR frame: of the two largest orange
  /// contours, the one whose centroid lies furthest right. Absent when nothing is orange.
  /// Throws ArgumentError unless `frame` is a non-empty CV_8UC3 image.
  static std::optional<CropRegion> find_orange_region(const cv::Mat& frame);

  /// Writes the frames of the window [`start_min`, `end_min`) minutes as 0000.jpg, 0001.jpg, ...
  /// into `output_dir` (created with parents), cropped to the camera's rectangle when `crop` is
  /// true, and prints one line per saved frame and two closing lines ("Dim: None" when no frame
  /// was saved). A video that cannot be opened, has no usable frame rate, has no readable first
  /// frame or (when cropping a camera not yet cached) no orange region prints an error line and
  /// writes nothing. The rectangle is clipped to the frame (negative coordinates to 0).
  /// Throws ArgumentError for a zero `frame_skip`, a `resize_dim` height below 1 or non-finite
  /// bounds, ContentError for a crop rectangle that leaves nothing of the frame, FileError when
  /// the directory cannot be created or a frame cannot be written.
  void crop_video_to_frames(const std::filesystem::path& video_path,
                            const std::filesystem::path& output_dir, Number start_min = 10,
                            Number end_min = 12,
                            std::optional<std::string> camera_number = std::nullopt,
                            bool crop = true);

  /// For every row of the catalogue `df` (columns "Video Name", "File Path", "Date" and
  /// "Camera Number", all text), cuts the video into windows of `time_step` minutes and
  /// extracts each into
  /// `output_dir_base`/Date/Video Name/{start}min_to_{end}min/{left|right}_cropped_frames.
  /// Existing window directories are skipped. A window is written into a temporary sibling
  /// directory and gets its final name only once finished, so an interrupted batch redoes it;
  /// a window that saved no frame is removed and will be tried again by a rerun.
  /// Throws ArgumentError for a missing column or a `time_step` that is not positive, and
  /// ContentError for a cell that is not text.
  void process_videos_to_frames(const Table& df);
};

}  // namespace kovra_utils
