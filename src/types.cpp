#include <kovra_utils/types.hpp>

#include "geometry.hpp"
#include "text.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Mask
// ---------------------------------------------------------------------------------------------

namespace {

void require_valid_size(cv::Size size) {
  if (size.width < 0 || size.height < 0) {
    throw ArgumentError("mask size must not be negative, got " + text::format_size(size));
  }
}

// 0/1 CV_8U copy of the non-zero pixels of a single-channel plane of any depth.
cv::Mat to_binary(const cv::Mat& plane) {
  cv::Mat binary;
  if (plane.depth() == CV_8U) {
    cv::min(plane, 1, binary);
  } else {
    cv::compare(plane, 0, binary, cv::CMP_NE);
    cv::min(binary, 1, binary);
  }
  return binary;
}

}  // namespace

Mask::Mask(cv::Size size) : size_(size) { require_valid_size(size); }

Mask::Mask(cv::Size size, cv::Rect bounds, cv::Mat crop, std::int64_t area)
    : size_(size), bounds_(bounds), crop_(std::move(crop)), area_(area) {}

Mask Mask::from_crop(cv::Size size, cv::Point origin, const cv::Mat& crop) {
  require_valid_size(size);
  if (crop.empty()) return Mask(size);
  if (crop.dims != 2 || crop.channels() != 1) {
    throw ArgumentError("mask must be 2-D with one channel, got " + std::to_string(crop.dims) +
                        " dimensions and " + std::to_string(crop.channels()) + " channels");
  }
  const cv::Rect placed(origin, crop.size());
  const cv::Rect visible = placed & cv::Rect(cv::Point(0, 0), size);
  if (visible.empty()) return Mask(size);
  const cv::Mat visible_crop = crop(visible - origin);
  // 8-bit crops are scanned as they are, so only the tight part is copied.
  const cv::Mat scanned = visible_crop.depth() == CV_8U ? visible_crop : to_binary(visible_crop);
  const geometry::NonZero set = geometry::nonzero_extent(scanned);
  if (set.area == 0) return Mask(size);
  return Mask(size, set.bounds + visible.tl(), to_binary(scanned(set.bounds)), set.area);
}

Mask Mask::adopt_crop(cv::Size size, cv::Point origin, cv::Mat crop) {
  require_valid_size(size);
  const cv::Rect placed(origin, crop.size());
  const bool inside = (placed & cv::Rect(cv::Point(0, 0), size)) == placed;
  if (crop.empty() || crop.type() != CV_8UC1 || crop.dims != 2 || !inside) {
    return from_crop(size, origin, crop);
  }
  const geometry::NonZero set = geometry::nonzero_extent(crop);
  if (set.area == 0) return Mask(size);
  if (!set.binary) return from_crop(size, origin, crop);
  cv::Mat tight = set.bounds.size() == crop.size() ? std::move(crop) : crop(set.bounds).clone();
  return Mask(size, set.bounds + origin, std::move(tight), set.area);
}

Mask Mask::from_dense(const cv::Mat& plane) {
  if (plane.dims != 2 || plane.channels() != 1) {
    throw ArgumentError("mask must be 2-D with one channel, got " + std::to_string(plane.dims) +
                        " dimensions and " + std::to_string(plane.channels()) + " channels");
  }
  return from_crop(plane.size(), cv::Point(0, 0), plane);
}

bool Mask::at(int row, int col) const {
  if (!bounds_.contains(cv::Point(col, row))) return false;
  return crop_.at<std::uint8_t>(row - bounds_.y, col - bounds_.x) != 0;
}

cv::Mat Mask::dense() const {
  cv::Mat plane = cv::Mat::zeros(size_, CV_8U);
  if (area_ > 0) crop_.copyTo(plane(bounds_));
  return plane;
}

std::array<int, 4> Mask::box() const {
  if (area_ == 0) return {0, 0, 0, 0};
  return {bounds_.x, bounds_.y, bounds_.x + bounds_.width - 1, bounds_.y + bounds_.height - 1};
}

cv::Moments Mask::moments() const {
  if (area_ == 0) return cv::Moments();
  const cv::Moments c = cv::moments(crop_, false);
  // Shift the raw moments by the crop origin; central moments do not change.
  const double x0 = bounds_.x;
  const double y0 = bounds_.y;
  cv::Moments m = c;
  m.m10 = c.m10 + x0 * c.m00;
  m.m01 = c.m01 + y0 * c.m00;
  m.m20 = c.m20 + 2 * x0 * c.m10 + x0 * x0 * c.m00;
  m.m11 = c.m11 + x0 * c.m01 + y0 * c.m10 + x0 * y0 * c.m00;
  m.m02 = c.m02 + 2 * y0 * c.m01 + y0 * y0 * c.m00;
  m.m30 = c.m30 + 3 * x0 * c.m20 + 3 * x0 * x0 * c.m10 + x0 * x0 * x0 * c.m00;
  m.m21 = c.m21 + 2 * x0 * c.m11 + y0 * c.m20 + x0 * x0 * c.m01 + 2 * x0 * y0 * c.m10 +
          x0 * x0 * y0 * c.m00;
  m.m12 = c.m12 + 2 * y0 * c.m11 + x0 * c.m02 + y0 * y0 * c.m10 + 2 * x0 * y0 * c.m01 +
          x0 * y0 * y0 * c.m00;
  m.m03 = c.m03 + 3 * y0 * c.m02 + 3 * y0 * y0 * c.m01 + y0 * y0 * y0 * c.m00;
  return m;
}

std::optional<cv::Point2d> Mask::centroid() const {
  if (area_ == 0) return std::nullopt;
  const cv::Moments m = moments();
  return cv::Point2d(m.m10 / m.m00, m.m01 / m.m00);
}

Mask Mask::intersection(const Mask& other) const {
  require_same_size(*this, other, "mask intersection");
  const cv::Rect common = bounds_ & other.bounds_;
  if (common.empty()) return Mask(size_);
  cv::Mat both;
  cv::bitwise_and(crop_(common - bounds_.tl()), other.crop_(common - other.bounds_.tl()), both);
  return from_crop(size_, common.tl(), both);
}

bool Mask::operator==(const Mask& other) const {
  if (size_ != other.size_ || area_ != other.area_ || bounds_ != other.bounds_) return false;
  if (area_ == 0) return true;
  return cv::countNonZero(crop_ != other.crop_) == 0;
}

void require_same_size(const Mask& a, const Mask& b, std::string_view what) {
  if (a.size() != b.size()) {
    throw ArgumentError(std::string(what) + ": masks must have the same size, got " +
                        text::format_size(a.size()) + " and " + text::format_size(b.size()));
  }
}

std::int64_t overlap_count(const Mask& a, const Mask& b) {
  require_same_size(a, b, "overlap count");
  const cv::Rect common = a.bounds() & b.bounds();
  if (common.empty()) return 0;
  const cv::Mat crop_a = a.crop()(common - a.bounds().tl());
  const cv::Mat crop_b = b.crop()(common - b.bounds().tl());
  std::int64_t count = 0;
  for (int r = 0; r < common.height; ++r) {
    const std::uint8_t* row_a = crop_a.ptr<std::uint8_t>(r);
    const std::uint8_t* row_b = crop_b.ptr<std::uint8_t>(r);
    int row_count = 0;
    for (int c = 0; c < common.width; ++c) row_count += row_a[c] & row_b[c];
    count += row_count;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// IntersectionTable
// ---------------------------------------------------------------------------------------------

IntersectionTable::IntersectionTable(std::vector<std::string> keys)
    : keys_(std::move(keys)), values_(keys_.size() * keys_.size(), 0.0) {}

double IntersectionTable::at(std::size_t row, std::size_t col) const {
  if (row >= size() || col >= size()) {
    throw std::out_of_range("intersection table cell (" + std::to_string(row) + ", " +
                            std::to_string(col) + ") outside a table of " +
                            std::to_string(size()) + " keys");
  }
  return values_[row * size() + col];
}

void IntersectionTable::set(std::size_t row, std::size_t col, double value) {
  if (row >= size() || col >= size()) {
    throw std::out_of_range("intersection table cell (" + std::to_string(row) + ", " +
                            std::to_string(col) + ") outside a table of " +
                            std::to_string(size()) + " keys");
  }
  values_[row * size() + col] = value;
}

std::size_t IntersectionTable::index_of(std::string_view key) const {
  const auto found = std::find(keys_.begin(), keys_.end(), key);
  if (found == keys_.end()) {
    throw std::out_of_range("intersection table has no key '" + std::string(key) + "'");
  }
  return static_cast<std::size_t>(found - keys_.begin());
}

double IntersectionTable::at(std::string_view row_key, std::string_view col_key) const {
  return at(index_of(row_key), index_of(col_key));
}

std::optional<double> IntersectionTable::max() const {
  if (values_.empty()) return std::nullopt;
  return *std::max_element(values_.begin(), values_.end());
}

Table IntersectionTable::to_table() const {
  Table table(keys_);
  for (std::size_t r = 0; r < size(); ++r) {
    std::vector<Value> cells(values_.begin() + static_cast<std::ptrdiff_t>(r * size()),
                             values_.begin() + static_cast<std::ptrdiff_t>((r + 1) * size()));
    table.append_row(std::move(cells));
  }
  return table;
}

// ---------------------------------------------------------------------------------------------
// Table
// ---------------------------------------------------------------------------------------------

Table::Table(std::vector<std::string> columns) : columns_(std::move(columns)) {}

void Table::append_row(std::vector<Value> cells, std::optional<std::int64_t> label) {
  if (cells.size() != columns_.size()) {
    throw ArgumentError("table row must hold " + std::to_string(columns_.size()) +
                        " cells, got " + std::to_string(cells.size()));
  }
  labels_.push_back(label.value_or(static_cast<std::int64_t>(labels_.size())));
  rows_.push_back(std::move(cells));
}

void Table::append(const Table& other, bool renumber) {
  if (other.columns_ != columns_) {
    throw ArgumentError("appended table must have the columns " + text::format_list(columns_) +
                        ", got " + text::format_list(other.columns_));
  }
  for (std::size_t r = 0; r < other.row_count(); ++r) {
    append_row(other.rows_[r], renumber ? std::nullopt : std::optional(other.labels_[r]));
  }
}

std::size_t Table::column_index(std::string_view column) const {
  const auto found = std::find(columns_.begin(), columns_.end(), column);
  if (found == columns_.end()) {
    throw std::out_of_range("table has no column '" + std::string(column) + "'");
  }
  return static_cast<std::size_t>(found - columns_.begin());
}

bool Table::has_column(std::string_view column) const {
  return std::find(columns_.begin(), columns_.end(), column) != columns_.end();
}

const std::vector<Value>& Table::row(std::size_t position) const {
  if (position >= rows_.size()) {
    throw std::out_of_range("table row " + std::to_string(position) + " outside a table of " +
                            std::to_string(rows_.size()) + " rows");
  }
  return rows_[position];
}

const Value& Table::at(std::size_t row_position, std::size_t col) const {
  const auto& cells = row(row_position);
  if (col >= cells.size()) {
    throw std::out_of_range("table column " + std::to_string(col) + " outside a table of " +
                            std::to_string(cells.size()) + " columns");
  }
  return cells[col];
}

const Value& Table::at(std::size_t row_position, std::string_view column) const {
  return at(row_position, column_index(column));
}

namespace {

std::string cell_type_error(std::size_t row, std::string_view column, std::string_view expected) {
  return "table column '" + std::string(column) + "' row " + std::to_string(row) +
         ": expected " + std::string(expected);
}

}  // namespace

std::string Table::text(std::size_t row_position, std::string_view column) const {
  const Value& cell = at(row_position, column);
  if (const auto* value = std::get_if<std::string>(&cell)) return *value;
  throw ContentError(cell_type_error(row_position, column, "text"));
}

std::int64_t Table::integer(std::size_t row_position, std::string_view column) const {
  const Value& cell = at(row_position, column);
  if (const auto* value = std::get_if<std::int64_t>(&cell)) return *value;
  throw ContentError(cell_type_error(row_position, column, "an integer"));
}

double Table::number(std::size_t row_position, std::string_view column) const {
  const Value& cell = at(row_position, column);
  if (const auto* value = std::get_if<double>(&cell)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*value);
  throw ContentError(cell_type_error(row_position, column, "a number"));
}

Table Table::select_rows(const std::vector<std::size_t>& positions) const {
  Table selected(columns_);
  for (std::size_t position : positions) selected.append_row(row(position), labels_.at(position));
  return selected;
}

Table Table::select_columns(const std::vector<std::string>& columns) const {
  std::vector<std::size_t> indices;
  for (const auto& column : columns) indices.push_back(column_index(column));
  Table selected(columns);
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    std::vector<Value> cells;
    for (std::size_t index : indices) cells.push_back(rows_[r][index]);
    selected.append_row(std::move(cells), labels_[r]);
  }
  return selected;
}

namespace {

// Numbers before texts; numbers numerically, texts in code-point order.
bool value_less(const Value& a, const Value& b) {
  const bool a_text = std::holds_alternative<std::string>(a);
  const bool b_text = std::holds_alternative<std::string>(b);
  if (a_text != b_text) return b_text;
  if (a_text) return std::get<std::string>(a) < std::get<std::string>(b);
  auto as_double = [](const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    return std::get<double>(v);
  };
  if (std::holds_alternative<std::int64_t>(a) && std::holds_alternative<std::int64_t>(b)) {
    return std::get<std::int64_t>(a) < std::get<std::int64_t>(b);
  }
  return as_double(a) < as_double(b);
}

bool value_equal(const Value& a, const Value& b) { return !value_less(a, b) && !value_less(b, a); }

}  // namespace

namespace {

// Absent or NaN: a value that, as a grouping key, belongs to no group (as pandas drops NaN
// keys when grouping).
bool is_missing(const Value& value) {
  if (std::holds_alternative<std::monostate>(value)) return true;
  const double* number = std::get_if<double>(&value);
  return number && std::isnan(*number);
}

}  // namespace

std::vector<std::pair<Value, std::vector<std::size_t>>> Table::group_by(
    std::string_view column) const {
  const std::size_t col = column_index(column);
  std::vector<std::size_t> order;
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    if (!is_missing(rows_[r][col])) order.push_back(r);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return value_less(rows_[a][col], rows_[b][col]);
  });
  std::vector<std::pair<Value, std::vector<std::size_t>>> groups;
  for (std::size_t r : order) {
    if (groups.empty() || !value_equal(groups.back().first, rows_[r][col])) {
      groups.emplace_back(rows_[r][col], std::vector<std::size_t>{});
    }
    groups.back().second.push_back(r);
  }
  // Within a group, rows keep their table order.
  for (auto& group : groups) std::sort(group.second.begin(), group.second.end());
  return groups;
}

namespace {

std::string csv_field(const Value& cell) {
  struct Render {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return text::format_float(v); }
    std::string operator()(const std::string& v) const { return v; }
  };
  std::string field = std::visit(Render{}, cell);
  if (field.find_first_of(",\"\n\r") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char ch : field) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  quoted += '"';
  return quoted;
}

void append_csv_line(std::string& out, const std::vector<Value>& cells) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out += ',';
    out += csv_field(cells[i]);
  }
  out += '\n';
}

}  // namespace

std::string Table::to_csv() const {
  std::string out;
  append_csv_line(out, std::vector<Value>(columns_.begin(), columns_.end()));
  for (const auto& cells : rows_) append_csv_line(out, cells);
  return out;
}

void Table::write_csv(const std::filesystem::path& path) const {
  write_file_atomically(path, to_csv());
}

}  // namespace kovra_utils
