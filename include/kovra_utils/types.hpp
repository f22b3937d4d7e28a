#pragma once

// Core value types shared by every subsystem.
//
// Coordinates: x is the column, y the row, origin at the top-left pixel, y grows downwards.
// Sizes are cv::Size(width, height); "rows x cols" in prose means height x width.

#include <opencv2/core.hpp>

#include <tsl/ordered_map.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

/// Base of every error the library throws on purpose.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A file or folder cannot be opened, read or written.
class FileError : public Error {
 public:
  using Error::Error;
};

/// A file or value is malformed: bad JSON, a missing or wrongly typed member, a bad number.
class ContentError : public Error {
 public:
  using Error::Error;
};

/// An argument outside what the operation accepts (a zero step, masks of different sizes ...).
class ArgumentError : public Error {
 public:
  using Error::Error;
};

// ---------------------------------------------------------------------------------------------
// Maps
// ---------------------------------------------------------------------------------------------

/// Insertion-ordered map: assigning to an existing key keeps its position, erase keeps the order
/// of the rest.
template <class K, class V>
using OrderedMap = tsl::ordered_map<K, V>;

// ---------------------------------------------------------------------------------------------
// Mask
// ---------------------------------------------------------------------------------------------

/// A binary mask over a frame of `size()`, stored as the tight bounding rectangle of its set
/// pixels and an 8-bit 0/1 crop of that rectangle. Immutable once built; copies share the crop.
/// Any non-zero source pixel counts as set.
class Mask {
 public:
  /// A 0 x 0 mask.
  Mask() = default;

  /// An all-clear mask of `size`. Throws ArgumentError for a negative size.
  explicit Mask(cv::Size size);

  /// From a dense single-channel plane of any depth; non-zero pixels are set.
  /// Throws ArgumentError for a multi-channel or non-2-D input.
  static Mask from_dense(const cv::Mat& plane);

  /// From `crop` (single channel, any depth, non-zero = set) placed with its top-left pixel at
  /// `origin` on a plane of `size`. Parts outside the plane are dropped; the rectangle is
  /// re-tightened.
  static Mask from_crop(cv::Size size, cv::Point origin, const cv::Mat& crop);

  /// As from_crop, taking over `crop`'s buffer instead of copying it when the crop is CV_8U,
  /// lies inside the plane, holds only 0 and 1 and is already tight. The caller must not write
  /// to that buffer afterwards.
  static Mask adopt_crop(cv::Size size, cv::Point origin, cv::Mat crop);

  cv::Size size() const { return size_; }
  int rows() const { return size_.height; }
  int cols() const { return size_.width; }

  /// Tight bounding rectangle of the set pixels; an empty rect (0, 0, 0, 0) when none.
  const cv::Rect& bounds() const { return bounds_; }

  /// CV_8U 0/1 crop of exactly bounds().size() (empty Mat when the mask is clear).
  const cv::Mat& crop() const { return crop_; }

  /// Number of set pixels.
  std::int64_t area() const { return area_; }

  /// True when no pixel is set.
  bool is_clear() const { return area_ == 0; }

  /// Whether pixel (row, col) is set; false outside the plane.
  bool at(int row, int col) const;

  /// The mask as a dense CV_8U 0/1 plane of size().
  cv::Mat dense() const;

  /// Inclusive box [x_min, y_min, x_max, y_max] of the set pixels; [0, 0, 0, 0] when clear.
  std::array<int, 4> box() const;

  /// Raw and central image moments of the 0/1 plane, in frame coordinates (as cv::moments of the
  /// dense plane with binaryImage false).
  cv::Moments moments() const;

  /// Mean column and row of the set pixels; absent when clear.
  std::optional<cv::Point2d> centroid() const;

  /// The set pixels of this mask that are also set in `other`. Sizes must match.
  Mask intersection(const Mask& other) const;

  bool operator==(const Mask& other) const;

 private:
  Mask(cv::Size size, cv::Rect bounds, cv::Mat crop, std::int64_t area);

  cv::Size size_{0, 0};
  cv::Rect bounds_{0, 0, 0, 0};
  cv::Mat crop_;
  std::int64_t area_ = 0;
};

/// Number of pixels set in both masks. Throws ArgumentError when the sizes differ.
std::int64_t overlap_count(const Mask& a, const Mask& b);

/// Throws ArgumentError naming `what` unless both sizes are equal.
void require_same_size(const Mask& a, const Mask& b, std::string_view what);

// ---------------------------------------------------------------------------------------------
// Mask sets and clip records
// ---------------------------------------------------------------------------------------------

/// Box key ("Box0", "Box7", "Box-1") -> mask, in insertion order.
using MasksDict = OrderedMap<std::string, Mask>;
/// Box key -> number of set pixels.
using MaskAreas = OrderedMap<std::string, std::int64_t>;

/// Four numbers [x1, y1, x2, y2]: top-left and bottom-right corners in pixels.
struct Box {
  double x1 = 0;
  double y1 = 0;
  double x2 = 0;
  double y2 = 0;
  bool operator==(const Box&) const = default;
};

class Table;

/// Square table of pairwise overlap percentages, rows and columns labelled by the same box keys.
class IntersectionTable {
 public:
  IntersectionTable() = default;
  /// An all-zero table over `keys`.
  explicit IntersectionTable(std::vector<std::string> keys);

  std::size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  const std::vector<std::string>& keys() const { return keys_; }

  /// Cell by position; throws std::out_of_range outside the table.
  double at(std::size_t row, std::size_t col) const;
  void set(std::size_t row, std::size_t col, double value);
  /// Cell by key; throws std::out_of_range naming an unknown key.
  double at(std::string_view row_key, std::string_view col_key) const;
  /// Position of `key`; throws std::out_of_range when it is not a label.
  std::size_t index_of(std::string_view key) const;

  /// Row-major cells.
  const std::vector<double>& values() const { return values_; }
  /// Largest cell; absent for an empty table.
  std::optional<double> max() const;

  /// As a Table with the keys as column names; row labels are the row positions.
  Table to_table() const;

 private:
  std::vector<std::string> keys_;
  std::vector<double> values_;
};

/// One loaded frame of a clip's tracker output.
struct FrameRecord {
  std::int64_t frame_index = 0;
  MasksDict masks_dict;
  MaskAreas mask_areas;
  std::string json_path;
  std::string image_path;
  /// Present only for records loaded in whole-clip mode.
  std::optional<IntersectionTable> intersections_df;
};

/// A loaded clip: key (file position, or the requested position) -> frame record.
using ClipData = OrderedMap<std::int64_t, FrameRecord>;

/// The tracker's masks of one clip: frame index -> object id -> mask.
using VideoSegments = OrderedMap<std::int64_t, OrderedMap<std::int64_t, Mask>>;

/// Tracks as the tracking kits exchange them: frame number -> identity -> mask or box.
/// Frames and identities keep the order they were read or built in.
using TrackMasks = OrderedMap<std::int64_t, OrderedMap<std::int64_t, Mask>>;
using TrackBoxes = OrderedMap<std::int64_t, OrderedMap<std::int64_t, Box>>;

// ---------------------------------------------------------------------------------------------
// Table
// ---------------------------------------------------------------------------------------------

/// A table cell: absent, integer, floating or text.
using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

/// A small labelled table: ordered named columns, integer row labels, cells of `Value`.
class Table {
 public:
  Table() = default;
  explicit Table(std::vector<std::string> columns);

  const std::vector<std::string>& columns() const { return columns_; }
  std::size_t row_count() const { return labels_.size(); }
  bool empty() const { return labels_.empty(); }
  const std::vector<std::int64_t>& labels() const { return labels_; }

  /// Appends one row; `cells` must hold one value per column. The label defaults to the
  /// row's position.
  void append_row(std::vector<Value> cells, std::optional<std::int64_t> label = std::nullopt);
  /// Appends the rows of `other`, whose columns must be the same; labels are renumbered from
  /// this table's row count when `renumber` is true, kept otherwise.
  void append(const Table& other, bool renumber = true);

  /// Position of a column; throws std::out_of_range naming an unknown column.
  std::size_t column_index(std::string_view column) const;
  bool has_column(std::string_view column) const;

  const Value& at(std::size_t row, std::size_t col) const;
  const Value& at(std::size_t row, std::string_view column) const;
  const std::vector<Value>& row(std::size_t position) const;

  /// Typed reads; throw ContentError naming the column and row when the cell holds another type.
  std::string text(std::size_t row, std::string_view column) const;
  std::int64_t integer(std::size_t row, std::string_view column) const;
  double number(std::size_t row, std::string_view column) const;

  /// The rows at `positions`, in that order, labels kept.
  Table select_rows(const std::vector<std::size_t>& positions) const;
  /// The named columns, in that order.
  Table select_columns(const std::vector<std::string>& columns) const;

  /// Groups of row positions by the value of `column`, groups in ascending order of the value
  /// (numbers numerically, before texts; texts in code-point order). Rows whose value is
  /// absent belong to no group.
  std::vector<std::pair<Value, std::vector<std::size_t>>> group_by(std::string_view column) const;

  /// CSV text: header line, one line per row, no row-label column, "\n" line ends; fields
  /// holding a comma, a double quote or a line break are quoted with inner quotes doubled;
  /// absent cells are empty, integers in decimal, floating values in shortest round-trip form.
  std::string to_csv() const;
  /// Writes to_csv() to `path` through a temporary file in the same folder and a rename.
  /// Throws FileError naming the path.
  void write_csv(const std::filesystem::path& path) const;

 private:
  std::vector<std::string> columns_;
  std::vector<std::int64_t> labels_;
  std::vector<std::vector<Value>> rows_;
};

/// Writes `content` to `path` through a temporary file in the same folder, renamed over the
/// target, so a crash never leaves a half-written file. Throws FileError naming the path.
void write_file_atomically(const std::filesystem::path& path, std::string_view content);

}  // namespace kovra_utils
