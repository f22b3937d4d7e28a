#include <kovra_utils/interop.hpp>

#include <kovra_utils/annotation.hpp>

#include "annotation_file.hpp"
#include "atomic_write.hpp"
#include "text.hpp"
#include "tracker_output.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// COCO run-length encoding
// ---------------------------------------------------------------------------------------------

namespace {

void require_rle_size(int height, int width) {
  if (height < 0 || width < 0) {
    throw ArgumentError("RLE size must not be negative, got " + std::to_string(height) + " x " +
                        std::to_string(width));
  }
}

std::int64_t plane_pixels(int height, int width) {
  return static_cast<std::int64_t>(height) * width;
}

// Checks counts as they arrive: none negative, the running sum never past the plane.
class CountsCheck {
 public:
  CountsCheck(int height, int width) : height_(height), width_(width) {
    require_rle_size(height, width);
    total_ = plane_pixels(height, width);
  }

  void add(std::int64_t count, std::size_t index) {
    if (count < 0) {
      throw ContentError("RLE counts: count " + std::to_string(index) + " is negative (" +
                         std::to_string(count) + ")");
    }
    if (count > total_ - sum_) {
      throw ContentError("RLE counts: the counts up to count " + std::to_string(index) +
                         " exceed the " + size_text() + " plane's " + std::to_string(total_) +
                         " pixels");
    }
    sum_ += count;
  }

  void finish() const {
    if (sum_ != total_) {
      throw ContentError("RLE counts sum to " + std::to_string(sum_) + ", expected " +
                         std::to_string(total_) + " for a " + size_text() + " plane");
    }
  }

 private:
  std::string size_text() const { return text::format_size(cv::Size(width_, height_)); }

  int height_;
  int width_;
  std::int64_t total_ = 0;
  std::int64_t sum_ = 0;
};

void validate(const Rle& rle) {
  CountsCheck check(rle.height, rle.width);
  for (std::size_t i = 0; i < rle.counts.size(); ++i) check.add(rle.counts[i], i);
  check.finish();
}

// A change of value going down a crop column: the pixel at `row` differs from the one above it
// (row 0 is compared with the clear pixel above the crop; row == crop height marks the return
// to clear below it).
struct ColumnFlip {
  int col;
  int row;
};

// Calls visit(col) for every column whose pixel in `here` differs from the one in `above` (a
// null line is clear), comparing 32 pixels per step.
template <class Visit>
void visit_differences(const std::uint8_t* above, const std::uint8_t* here, int cols, Visit visit) {
  constexpr int kWords = 4;
  constexpr int kStep = 8 * kWords;
  int col = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; col + kStep <= cols; col += kStep) {
      std::uint64_t a[kWords] = {};
      std::uint64_t b[kWords] = {};
      if (above != nullptr) std::memcpy(a, above + col, kStep);
      if (here != nullptr) std::memcpy(b, here + col, kStep);
      std::uint64_t any = 0;
      for (int w = 0; w < kWords; ++w) any |= a[w] ^ b[w];
      if (any == 0) continue;
      for (int w = 0; w < kWords; ++w) {
        // 0/1 bytes: each differing pixel sets exactly the lowest bit of its byte.
        for (std::uint64_t diff = a[w] ^ b[w]; diff != 0; diff &= diff - 1) {
          visit(col + 8 * w + std::countr_zero(diff) / 8);
        }
      }
    }
  }
  for (; col < cols; ++col) {
    const std::uint8_t a = above != nullptr ? above[col] : 0;
    const std::uint8_t b = here != nullptr ? here[col] : 0;
    if (a != b) visit(col);
  }
}

// Every flip of a 0/1 crop, sorted by column, then row: found row by row, then put in column
// order by a stable counting sort.
std::vector<ColumnFlip> column_flips(const cv::Mat& crop) {
  std::vector<ColumnFlip> by_row;
  std::vector<std::size_t> starts(static_cast<std::size_t>(crop.cols) + 1, 0);
  for (int row = 0; row <= crop.rows; ++row) {
    const std::uint8_t* above = row > 0 ? crop.ptr<std::uint8_t>(row - 1) : nullptr;
    const std::uint8_t* here = row < crop.rows ? crop.ptr<std::uint8_t>(row) : nullptr;
    visit_differences(above, here, crop.cols, [&](int col) {
      by_row.push_back({col, row});
      ++starts[static_cast<std::size_t>(col) + 1];
    });
  }
  for (std::size_t c = 1; c < starts.size(); ++c) starts[c] += starts[c - 1];
  std::vector<ColumnFlip> by_column(by_row.size());
  for (const ColumnFlip& flip : by_row)
    by_column[starts[static_cast<std::size_t>(flip.col)]++] = flip;
  return by_column;
}

// Counts from the plane positions at which the value flips, in order; a flip back at the same
// position (a run going on from the bottom of one column to the top of the next) cancels.
std::vector<std::int64_t> counts_from_flips(const std::vector<std::int64_t>& positions,
                                            std::int64_t total) {
  std::vector<std::int64_t> kept;
  kept.reserve(positions.size());
  for (const std::int64_t position : positions) {
    if (!kept.empty() && kept.back() == position) {
      kept.pop_back();
    } else {
      kept.push_back(position);
    }
  }
  std::vector<std::int64_t> counts;
  counts.reserve(kept.size() + 1);
  std::int64_t last = 0;
  for (const std::int64_t position : kept) {
    if (position >= total) break;  // a run reaching the plane's end is the last count
    counts.push_back(position - last);
    last = position;
  }
  counts.push_back(total - last);
  return counts;
}

// A run of set pixels [first, last] in column-major positions.
struct SetRun {
  std::int64_t first;
  std::int64_t last;
};

// The non-empty set runs of a valid encoding, in order.
std::vector<SetRun> set_runs(const Rle& rle) {
  std::vector<SetRun> runs;
  std::int64_t position = 0;
  for (std::size_t i = 0; i < rle.counts.size(); ++i) {
    const std::int64_t count = rle.counts[i];
    if (i % 2 == 1 && count > 0) runs.push_back({position, position + count - 1});
    position += count;
  }
  return runs;
}

// Bounding rectangle of set runs on a plane of `height` rows (pixel-exact).
cv::Rect runs_extent(const std::vector<SetRun>& runs, std::int64_t height) {
  std::int64_t x0 = std::numeric_limits<std::int64_t>::max();
  std::int64_t y0 = height;
  std::int64_t x1 = -1;
  std::int64_t y1 = -1;
  for (const SetRun& run : runs) {
    const std::int64_t first_col = run.first / height;
    const std::int64_t last_col = run.last / height;
    x0 = std::min(x0, first_col);
    x1 = std::max(x1, last_col);
    if (first_col == last_col) {
      y0 = std::min(y0, run.first % height);
      y1 = std::max(y1, run.last % height);
    } else {
      y0 = 0;
      y1 = height - 1;
    }
  }
  return cv::Rect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0 + 1),
                  static_cast<int>(y1 - y0 + 1));
}

// Sets the runs' pixels in `crop`, which covers `extent` of a plane of `height` rows.
void fill_crop(const std::vector<SetRun>& runs, std::int64_t height, const cv::Rect& extent,
               cv::Mat& crop) {
  const std::size_t step = crop.step[0];
  for (const SetRun& run : runs) {
    std::int64_t position = run.first;
    while (position <= run.last) {
      const std::int64_t col = position / height;
      const std::int64_t row = position % height;
      const std::int64_t end = std::min(run.last, col * height + height - 1);
      std::uint8_t* pixel = crop.ptr<std::uint8_t>(static_cast<int>(row - extent.y)) +
                            (col - extent.x);
      for (std::int64_t k = position; k <= end; ++k, pixel += step) *pixel = 1;
      position = end + 1;
    }
  }
}

void require_decodable(const cv::Rect& extent) {
  const std::int64_t pixels = static_cast<std::int64_t>(extent.width) * extent.height;
  if (pixels > max_decoded_pixels) {
    throw ContentError("RLE: the set pixels span " + std::to_string(extent.height) + " x " +
                       std::to_string(extent.width) + " (" + std::to_string(pixels) +
                       " pixels), more than the " + std::to_string(max_decoded_pixels) +
                       " a decoded mask may cover");
  }
}

std::string character_text(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 32 && code < 127) return std::string("'") + c + "'";
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", code);
  return text;
}

// One count of compressed text starting at `pos`; advances `pos` past it.
std::int64_t read_compressed_count(std::string_view text, std::size_t& pos, std::size_t index) {
  constexpr int kMaxGroups = 12;  // 60 bits: far past any plane a Mask can have
  const std::size_t start = pos;
  std::int64_t value = 0;
  for (int group = 0;; ++group) {
    if (pos >= text.size()) {
      throw ContentError("RLE counts text: count " + std::to_string(index) +
                         " starting at character " + std::to_string(start) +
                         " is cut off at the end of the text");
    }
    const int code = static_cast<unsigned char>(text[pos]);
    if (code < 48 || code > 111) {
      throw ContentError("RLE counts text: character " + character_text(text[pos]) +
                         " at position " + std::to_string(pos) + " is outside '0' .. 'o'");
    }
    if (group == kMaxGroups) {
      throw ContentError("RLE counts text: count " + std::to_string(index) +
                         " starting at character " + std::to_string(start) + " is too large");
    }
    const int bits = code - 48;
    value |= static_cast<std::int64_t>(bits & 0x1f) << (5 * group);
    ++pos;
    if ((bits & 0x20) == 0) {
      // The last group's bit 4 carries the sign.
      if (bits & 0x10) value |= static_cast<std::int64_t>(~std::uint64_t{0} << (5 * (group + 1)));
      return value;
    }
  }
}

void append_compressed_count(std::int64_t value, std::string& out) {
  bool more = true;
  while (more) {
    int bits = static_cast<int>(value & 0x1f);
    value >>= 5;
    more = (bits & 0x10) ? value != -1 : value != 0;
    if (more) bits |= 0x20;
    out.push_back(static_cast<char>(bits + 48));
  }
}

// The non-empty set runs of a valid encoding, one at a time.
class SetRunCursor {
 public:
  explicit SetRunCursor(const std::vector<std::int64_t>& counts) : counts_(counts) {}

  bool next(SetRun& run) {
    while (index_ < counts_.size()) {
      const std::int64_t count = counts_[index_];
      const bool set = index_ % 2 == 1;
      ++index_;
      const std::int64_t start = position_;
      position_ += count;
      if (set && count > 0) {
        run = {start, position_ - 1};
        return true;
      }
    }
    return false;
  }

 private:
  const std::vector<std::int64_t>& counts_;
  std::size_t index_ = 0;
  std::int64_t position_ = 0;
};

// Number of pixels set in both valid encodings of one plane.
std::int64_t shared_pixels(const Rle& a, const Rle& b) {
  SetRunCursor cursor_a(a.counts);
  SetRunCursor cursor_b(b.counts);
  SetRun run_a{};
  SetRun run_b{};
  bool more = cursor_a.next(run_a) && cursor_b.next(run_b);
  std::int64_t shared = 0;
  while (more) {
    const std::int64_t first = std::max(run_a.first, run_b.first);
    const std::int64_t last = std::min(run_a.last, run_b.last);
    if (first <= last) shared += last - first + 1;
    more = run_a.last < run_b.last ? cursor_a.next(run_a) : cursor_b.next(run_b);
  }
  return shared;
}

std::int64_t set_pixels(const Rle& rle) {
  std::int64_t area = 0;
  for (std::size_t i = 1; i < rle.counts.size(); i += 2) area += rle.counts[i];
  return area;
}

}  // namespace

Rle encode_rle(const Mask& mask) {
  std::vector<std::int64_t> positions;
  if (!mask.is_clear()) {
    const cv::Rect& bounds = mask.bounds();
    const std::int64_t height = mask.rows();
    const std::vector<ColumnFlip> flips = column_flips(mask.crop());
    positions.reserve(flips.size());
    for (const ColumnFlip& flip : flips) {
      positions.push_back((static_cast<std::int64_t>(bounds.x) + flip.col) * height + bounds.y +
                          flip.row);
    }
  }
  return Rle{mask.rows(), mask.cols(),
             counts_from_flips(positions, plane_pixels(mask.rows(), mask.cols()))};
}

Mask decode_rle(const Rle& rle) {
  validate(rle);
  const cv::Size size(rle.width, rle.height);
  const std::vector<SetRun> runs = set_runs(rle);
  if (runs.empty()) return Mask(size);
  const cv::Rect extent = runs_extent(runs, rle.height);
  require_decodable(extent);
  cv::Mat crop = cv::Mat::zeros(extent.height, extent.width, CV_8U);
  fill_crop(runs, rle.height, extent, crop);
  return Mask::from_crop(size, extent.tl(), crop);
}

std::string rle_to_string(const Rle& rle) {
  validate(rle);
  std::string text;
  text.reserve(rle.counts.size() * 2);
  for (std::size_t i = 0; i < rle.counts.size(); ++i) {
    std::int64_t value = rle.counts[i];
    if (i > 2) value -= rle.counts[i - 2];
    append_compressed_count(value, text);
  }
  return text;
}

Rle rle_from_string(std::string_view counts, int height, int width) {
  CountsCheck check(height, width);
  Rle rle{height, width, {}};
  std::size_t pos = 0;
  while (pos < counts.size()) {
    const std::size_t index = rle.counts.size();
    std::int64_t value = read_compressed_count(counts, pos, index);
    if (index > 2) value += rle.counts[index - 2];
    check.add(value, index);
    rle.counts.push_back(value);
  }
  check.finish();
  return rle;
}

std::int64_t rle_area(const Rle& rle) {
  validate(rle);
  return set_pixels(rle);
}

std::array<double, 4> rle_to_bbox(const Rle& rle) {
  validate(rle);
  const std::vector<SetRun> runs = set_runs(rle);
  if (runs.empty()) return {0, 0, 0, 0};
  const cv::Rect box = runs_extent(runs, rle.height);
  return {static_cast<double>(box.x), static_cast<double>(box.y), static_cast<double>(box.width),
          static_cast<double>(box.height)};
}

double rle_iou(const Rle& dt, const Rle& gt, bool iscrowd) {
  validate(dt);
  validate(gt);
  if (dt.height != gt.height || dt.width != gt.width) {
    throw ArgumentError("rle_iou: masks must have the same size, got " + std::to_string(dt.height) +
                        " x " + std::to_string(dt.width) + " and " + std::to_string(gt.height) +
                        " x " + std::to_string(gt.width));
  }
  const std::int64_t shared = shared_pixels(dt, gt);
  if (shared == 0) return 0.0;
  const std::int64_t dt_area = set_pixels(dt);
  const std::int64_t united = iscrowd ? dt_area : dt_area + set_pixels(gt) - shared;
  return static_cast<double>(shared) / static_cast<double>(united);
}

std::vector<std::vector<double>> rle_iou_matrix(const std::vector<Rle>& dt,
                                                const std::vector<Rle>& gt,
                                                const std::vector<bool>& iscrowd) {
  if (iscrowd.size() != gt.size()) {
    throw ArgumentError("rle_iou_matrix: iscrowd must hold one flag per gt mask, got " +
                        std::to_string(iscrowd.size()) + " flags for " + std::to_string(gt.size()) +
                        " masks");
  }
  if (dt.empty() || gt.empty()) return {};
  std::vector<std::vector<double>> result(dt.size(), std::vector<double>(gt.size(), 0.0));
  for (std::size_t d = 0; d < dt.size(); ++d) {
    for (std::size_t g = 0; g < gt.size(); ++g) result[d][g] = rle_iou(dt[d], gt[g], iscrowd[g]);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Tracks
// ---------------------------------------------------------------------------------------------

std::int64_t identity_of(std::string_view box_key) {
  constexpr std::string_view prefix = "Box";
  std::int64_t number = 0;
  if (box_key.substr(0, prefix.size()) == prefix && box_key.size() > prefix.size()) {
    const char* first = box_key.data() + prefix.size();
    const char* last = box_key.data() + box_key.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error == std::errc() && end == last && number < std::numeric_limits<std::int64_t>::max()) {
      return number + 1;
    }
  }
  throw ArgumentError("box key must be \"Box\" followed by a box number, got \"" +
                      std::string(box_key) + "\"");
}

TrackMasks clip_track_masks(const ClipData& clip) {
  TrackMasks tracks;
  std::int64_t frame = 1;
  for (const auto& [key, record] : clip) {
    auto& identities = tracks[frame++];
    for (const auto& [box_key, mask] : record.masks_dict) identities[identity_of(box_key)] = mask;
  }
  return tracks;
}

TrackRles track_rles(const TrackMasks& masks) {
  TrackRles rles;
  for (const auto& [frame, identities] : masks) {
    auto& frame_rles = rles[frame];
    for (const auto& [identity, mask] : identities) frame_rles[identity] = encode_rle(mask);
  }
  return rles;
}

TrackBoxes track_boxes(const TrackRles& rles) {
  TrackBoxes boxes;
  for (const auto& [frame, identities] : rles) {
    auto& frame_boxes = boxes[frame];
    for (const auto& [identity, rle] : identities) {
      const std::array<double, 4> box = rle_to_bbox(rle);
      if (box[2] == 0) continue;  // no set pixel
      frame_boxes[identity] = Box{box[0], box[1], box[0] + box[2], box[1] + box[3]};
    }
  }
  return boxes;
}

TrackBoxes track_boxes(const TrackMasks& masks) {
  TrackBoxes boxes;
  for (const auto& [frame, identities] : masks) {
    auto& frame_boxes = boxes[frame];
    for (const auto& [identity, mask] : identities) {
      if (mask.is_clear()) continue;
      const cv::Rect& b = mask.bounds();
      frame_boxes[identity] =
          Box{static_cast<double>(b.x), static_cast<double>(b.y),
              static_cast<double>(b.x + b.width), static_cast<double>(b.y + b.height)};
    }
  }
  return boxes;
}

// ---------------------------------------------------------------------------------------------
// MOTS and MOT files
// ---------------------------------------------------------------------------------------------

namespace {

namespace af = annotation_file;

// A number in its shortest round-trip text; whole numbers without a decimal point.
std::string number_text(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Lines of a track file and how many there are.
struct TrackText {
  std::string text;
  std::size_t lines = 0;
};

TrackText mots_text(const TrackMasks& masks) {
  TrackText out;
  for (const auto& [frame, identities] : masks) {
    for (const auto& [identity, mask] : identities) {
      if (mask.is_clear()) continue;
      const Rle rle = encode_rle(mask);
      out.text += std::to_string(frame) + ' ' + std::to_string(identity) + " 1 " +
                  std::to_string(rle.height) + ' ' + std::to_string(rle.width) + ' ' +
                  rle_to_string(rle) + '\n';
      ++out.lines;
    }
  }
  return out;
}

TrackText mot_text(const TrackBoxes& boxes) {
  TrackText out;
  for (const auto& [frame, identities] : boxes) {
    for (const auto& [identity, box] : identities) {
      out.text += std::to_string(frame) + ',' + std::to_string(identity) + ',' +
                  number_text(box.x1) + ',' + number_text(box.y1) + ',' +
                  number_text(box.x2 - box.x1) + ',' + number_text(box.y2 - box.y1) +
                  ",1,-1,-1,-1\n";
      ++out.lines;
    }
  }
  return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split_blank(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos])) ++pos;
    if (pos > start) fields.push_back(line.substr(start, pos - start));
  }
  return fields;
}

std::vector<std::string_view> split_commas(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(trimmed(line.substr(start, comma - start)));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::optional<double> parse_number(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// An integer written as one ("12") or as a whole floating value ("12.0").
std::optional<std::int64_t> parse_whole(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return value;
  const auto number = parse_number(text);
  constexpr double kExact = 9007199254740992.0;  // 2^53
  if (!number || !std::isfinite(*number) || std::floor(*number) != *number ||
      std::abs(*number) > kExact) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(*number);
}

// Opens a track file for reading: a regular file (a folder, FIFO or device is refused before
// anything is read; O_NONBLOCK keeps a FIFO from blocking the open).
int open_track_file(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw FileError("cannot open " + file + ": " + std::strerror(errno));
  struct stat found {};
  if (::fstat(fd, &found) != 0 || !S_ISREG(found.st_mode)) {
    ::close(fd);
    throw FileError("cannot read " + file + ": " +
                    (S_ISDIR(found.st_mode) ? "it is a folder" : "it is not a regular file"));
  }
  return fd;
}

// Lines of a text file with their numbers (from 1), read in blocks; blank lines are left out.
// A line longer than max_track_line_bytes is refused before more of it is read.
class LineReader {
 public:
  explicit LineReader(const std::filesystem::path& path)
      : file_(path.string()), fd_(open_track_file(file_)) {
    struct stat found {};
    ::fstat(fd_, &found);
    size_ = static_cast<std::int64_t>(found.st_size);
  }
  ~LineReader() { ::close(fd_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool next(std::string_view& line) {
    for (;;) {
      const std::size_t end = buffer_.find('\n', pos_);
      if (end == std::string::npos && !at_end_) {
        fill();
        continue;
      }
      if (pos_ >= buffer_.size()) return false;
      const std::size_t stop = std::min(end, buffer_.size());
      ++number_;
      line = trimmed(std::string_view(buffer_).substr(pos_, stop - pos_));
      pos_ = stop + 1;
      if (!line.empty()) return true;
    }
  }

  /// The file's size in bytes when opened.
  std::int64_t size() const { return size_; }

  ContentError error(const std::string& problem) const {
    return af::content_error("line " + std::to_string(number_), file_, problem);
  }

  std::int64_t whole(std::string_view field, const char* what) const {
    const auto value = parse_whole(field);
    if (!value) {
      throw error(std::string(what) + " must be a whole number, got \"" + std::string(field) +
                  "\"");
    }
    return *value;
  }

  double finite(std::string_view field, const char* what) const {
    const auto value = parse_number(field);
    if (!value || !std::isfinite(*value)) {
      throw error(std::string(what) + " must be a finite number, got \"" + std::string(field) +
                  "\"");
    }
    return *value;
  }

  int plane_side(std::string_view field, const char* what) const {
    const std::int64_t value = whole(field, what);
    if (value < 0 || value > std::numeric_limits<int>::max()) {
      throw error(std::string(what) + " must be between 0 and " +
                  std::to_string(std::numeric_limits<int>::max()) + ", got " +
                  std::to_string(value));
    }
    return static_cast<int>(value);
  }

 private:
  // Drops the lines already read and appends the next block.
  void fill() {
    buffer_.erase(0, pos_);
    pos_ = 0;
    if (buffer_.size() > max_track_line_bytes) {
      number_ += 1;
      throw error("the line is longer than " + std::to_string(max_track_line_bytes) + " bytes");
    }
    constexpr std::size_t kBlock = 1 << 16;
    const std::size_t used = buffer_.size();
    buffer_.resize(used + kBlock);
    ssize_t got = 0;
    do {
      got = ::read(fd_, buffer_.data() + used, kBlock);
    } while (got < 0 && errno == EINTR);
    if (got < 0) throw FileError("cannot read " + file_ + ": " + std::strerror(errno));
    buffer_.resize(used + static_cast<std::size_t>(got));
    at_end_ = got == 0;
  }

  std::string file_;
  int fd_;
  std::int64_t size_ = 0;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool at_end_ = false;
  std::size_t number_ = 0;
};

template <class Tracks, class Value>
void insert_track(Tracks& tracks, std::int64_t frame, std::int64_t identity, Value value,
                  const LineReader& lines) {
  auto& identities = tracks[frame];
  if (identities.count(identity) != 0) {
    throw lines.error("identity " + std::to_string(identity) + " appears twice in frame " +
                      std::to_string(frame));
  }
  identities.emplace(identity, std::move(value));
}

Rle mots_rle(std::string_view counts, int height, int width, const LineReader& lines) {
  try {
    return rle_from_string(counts, height, width);
  } catch (const ContentError& error) {
    throw lines.error(error.what());
  }
}

// The pixels read_mots may decode for a file of `bytes` bytes.
std::int64_t decoding_budget(std::int64_t bytes) {
  return max_decoded_pixels + mots_pixels_per_byte * bytes;
}

// Decodes the masks of a MOTS file while their crops stay within the file's budget.
class MotsDecoder {
 public:
  explicit MotsDecoder(const LineReader& lines) : budget_(decoding_budget(lines.size())) {}

  Mask decode(const Rle& rle, const LineReader& lines) {
    const std::vector<SetRun> runs = set_runs(rle);
    if (!runs.empty()) {
      const cv::Rect extent = runs_extent(runs, rle.height);
      try {
        require_decodable(extent);
      } catch (const ContentError& error) {
        throw lines.error(error.what());
      }
      spend(static_cast<std::int64_t>(extent.width) * extent.height, lines);
    }
    return decode_rle(rle);
  }

 private:
  void spend(std::int64_t pixels, const LineReader& lines) {
    spent_ += pixels;
    if (spent_ > budget_) {
      throw lines.error("the masks decoded so far cover " + std::to_string(spent_) +
                        " pixels, more than the " + std::to_string(budget_) +
                        " allowed for a file of this size (read_mots_rle keeps them run-length "
                        "encoded)");
    }
  }


  std::int64_t budget_;
  std::int64_t spent_ = 0;
};

// The fields of a MOTS line, checked: frame, identity and the encoding.
struct MotsLine {
  std::int64_t frame = 0;
  std::int64_t identity = 0;
  Rle rle;
};

MotsLine read_mots_line(std::string_view line, const LineReader& lines) {
  const auto fields = split_blank(line);
  if (fields.size() != 6) {
    throw lines.error("expected 6 fields (frame id class height width counts), got " +
                      std::to_string(fields.size()));
  }
  MotsLine out;
  out.frame = lines.whole(fields[0], "frame");
  out.identity = lines.whole(fields[1], "id");
  lines.whole(fields[2], "class");
  const int height = lines.plane_side(fields[3], "height");
  const int width = lines.plane_side(fields[4], "width");
  out.rle = mots_rle(fields[5], height, width, lines);
  return out;
}

}  // namespace

std::size_t write_mots(const TrackMasks& masks, const std::filesystem::path& path) {
  const TrackText out = mots_text(masks);
  write_file_atomically(path, out.text);
  return out.lines;
}

std::size_t write_mots(const ClipData& clip, const std::filesystem::path& path) {
  return write_mots(clip_track_masks(clip), path);
}

std::size_t write_mot(const TrackBoxes& boxes, const std::filesystem::path& path) {
  const TrackText out = mot_text(boxes);
  write_file_atomically(path, out.text);
  return out.lines;
}

std::size_t write_mot(const ClipData& clip, const std::filesystem::path& path) {
  return write_mot(track_boxes(clip_track_masks(clip)), path);
}

TrackRles read_mots_rle(const std::filesystem::path& path) {
  LineReader lines(path);
  TrackRles tracks;
  std::string_view line;
  while (lines.next(line)) {
    MotsLine read = read_mots_line(line, lines);
    insert_track(tracks, read.frame, read.identity, std::move(read.rle), lines);
  }
  return tracks;
}

TrackMasks read_mots(const std::filesystem::path& path) {
  LineReader lines(path);
  MotsDecoder decoder(lines);
  TrackMasks tracks;
  std::string_view line;
  while (lines.next(line)) {
    const MotsLine read = read_mots_line(line, lines);
    insert_track(tracks, read.frame, read.identity, decoder.decode(read.rle, lines), lines);
  }
  return tracks;
}

TrackBoxes read_mot(const std::filesystem::path& path) {
  LineReader lines(path);
  TrackBoxes tracks;
  std::string_view line;
  while (lines.next(line)) {
    const bool commas = line.find(',') != std::string_view::npos;
    const auto fields = commas ? split_commas(line) : split_blank(line);
    if (fields.size() < 6) {
      throw lines.error(
          "expected at least 6 fields (frame, id, bb_left, bb_top, bb_width, "
          "bb_height), got " +
          std::to_string(fields.size()));
    }
    const std::int64_t frame = lines.whole(fields[0], "frame");
    const std::int64_t identity = lines.whole(fields[1], "id");
    const double left = lines.finite(fields[2], "bb_left");
    const double top = lines.finite(fields[3], "bb_top");
    const double width = lines.finite(fields[4], "bb_width");
    const double height = lines.finite(fields[5], "bb_height");
    if (width < 0 || height < 0) {
      throw lines.error("box size must not be negative, got " + number_text(width) + " x " +
                        number_text(height));
    }
    if (!std::isfinite(left + width) || !std::isfinite(top + height)) {
      throw lines.error("the box's right or bottom edge (" + number_text(left + width) + ", " +
                        number_text(top + height) + ") is not a finite number");
    }
    if (!std::isfinite(2 * width * height)) {
      throw lines.error("the box's area (" + number_text(width) + " x " + number_text(height) +
                        ") is too large to compare");
    }
    for (std::size_t i = 6; i < fields.size(); ++i) {
      if (!parse_number(fields[i])) {
        throw lines.error("field " + std::to_string(i + 1) + " must be a number, got \"" +
                          std::string(fields[i]) + "\"");
      }
    }
    insert_track(tracks, frame, identity, Box{left, top, left + width, top + height}, lines);
  }
  return tracks;
}

// ---------------------------------------------------------------------------------------------
// COCO video-instance JSON
// ---------------------------------------------------------------------------------------------

namespace {

using Json = nlohmann::ordered_json;

// The one frame size of a clip: its masks' size, or its first image's when it has no mask.
cv::Size clip_frame_size(const ClipData& clip) {
  std::optional<cv::Size> size;
  for (const auto& [key, record] : clip) {
    for (const auto& [box_key, mask] : record.masks_dict) {
      if (!size) size = mask.size();
      if (mask.size() != *size) {
        throw ArgumentError("COCO export: every mask must have the frame size " +
                            text::format_size(*size) +
                            ", but " + box_key + " of frame " + std::to_string(key) + " (" +
                            record.json_path + ") is " + text::format_size(mask.size()));
      }
    }
  }
  if (size) return *size;
  if (clip.empty()) return cv::Size(0, 0);
  const std::string& image_path = clip.begin()->second.image_path;
  std::error_code error;
  const cv::Mat image = std::filesystem::is_regular_file(image_path, error)
                            ? cv::imread(image_path, cv::IMREAD_COLOR)
                            : cv::Mat();
  if (image.empty()) {
    throw FileError("COCO export: cannot read the frame image " + image_path +
                    " for the frame size of a clip without masks");
  }
  return image.size();
}

Json coco_image(std::int64_t id, const FrameRecord& record, cv::Size size) {
  return Json{{"id", id},
              {"file_name", record.image_path},
              {"height", size.height},
              {"width", size.width},
              {"frame_index", record.frame_index},
              {"video_id", 1}};
}

Json coco_annotation(std::int64_t id, std::int64_t image_id, std::int64_t identity,
                     const Mask& mask) {
  const Rle rle = encode_rle(mask);
  const std::array<double, 4> bbox = rle_to_bbox(rle);
  return Json{
      {"id", id},
      {"image_id", image_id},
      {"category_id", 1},
      {"segmentation", Json{{"size", {rle.height, rle.width}}, {"counts", rle_to_string(rle)}}},
      {"area", mask.area()},
      {"bbox", bbox},
      {"iscrowd", 0},
      {"track_id", identity}};
}

}  // namespace

std::size_t write_coco(const ClipData& clip, const std::filesystem::path& path,
                       const std::string& video_name) {
  const cv::Size size = clip_frame_size(clip);
  Json images = Json::array();
  Json annotations = Json::array();
  std::int64_t image_id = 0;
  for (const auto& [key, record] : clip) {
    images.push_back(coco_image(++image_id, record, size));
    for (const auto& [box_key, mask] : record.masks_dict) {
      const auto annotation_id = static_cast<std::int64_t>(annotations.size()) + 1;
      annotations.push_back(coco_annotation(annotation_id, image_id, identity_of(box_key), mask));
    }
  }
  const std::size_t written = annotations.size();
  const Json document{{"images", std::move(images)},
                      {"annotations", std::move(annotations)},
                      {"categories", Json::array({Json{{"id", 1}, {"name", "pig"}}})},
                      {"videos", Json::array({Json{{"id", 1},
                                                   {"name", video_name},
                                                   {"height", size.height},
                                                   {"width", size.width},
                                                   {"length", clip.size()}}})}};
  write_file_atomically(path, document.dump());
  return written;
}

// ---------------------------------------------------------------------------------------------
// Trajectory table
// ---------------------------------------------------------------------------------------------

namespace {

const std::vector<std::string>& trajectory_columns() {
  static const std::vector<std::string> columns = {
      "position",   "frame_index", "box_key", "object_id", "area",  "centroid_x",
      "centroid_y", "x_min",       "y_min",   "x_max",     "y_max", "distance"};
  return columns;
}

std::vector<Value> trajectory_row(std::int64_t position, const FrameRecord& record,
                                  const std::string& box_key, const Mask& mask,
                                  OrderedMap<std::string, cv::Point2d>& last_centroids) {
  std::vector<Value> row = {position, record.frame_index, box_key, identity_of(box_key),
                            mask.area()};
  const std::optional<cv::Point2d> centroid = mask.centroid();
  if (!centroid) {
    row.resize(trajectory_columns().size());
    return row;
  }
  const std::array<int, 4> box = mask.box();
  row.insert(row.end(), {centroid->x, centroid->y, std::int64_t{box[0]}, std::int64_t{box[1]},
                         std::int64_t{box[2]}, std::int64_t{box[3]}});
  const auto last = last_centroids.find(box_key);
  if (last == last_centroids.end()) {
    row.emplace_back();
  } else {
    row.emplace_back(std::hypot(centroid->x - last->second.x, centroid->y - last->second.y));
  }
  last_centroids[box_key] = *centroid;
  return row;
}

}  // namespace

Table trajectory_table(const ClipData& clip) {
  Table table(trajectory_columns());
  OrderedMap<std::string, cv::Point2d> last_centroids;
  for (const auto& [position, record] : clip) {
    for (const auto& [box_key, mask] : record.masks_dict) {
      table.append_row(trajectory_row(position, record, box_key, mask, last_centroids));
    }
  }
  return table;
}

std::size_t write_trajectories(const ClipData& clip, const std::filesystem::path& path) {
  const Table table = trajectory_table(clip);
  table.write_csv(path);
  return table.row_count();
}

// ---------------------------------------------------------------------------------------------
// Exports of a clip
// ---------------------------------------------------------------------------------------------

namespace {

// The folder's own name, also when the path ends with a separator.
std::string folder_name(const std::string& folder) {
  const std::filesystem::path path = std::filesystem::path(folder).lexically_normal();
  const std::filesystem::path name =
      path.has_filename() ? path.filename() : path.parent_path().filename();
  return name.string();
}

}  // namespace

ExportFormat export_format(std::string_view name) {
  if (name == "coco") return ExportFormat::coco;
  if (name == "mots") return ExportFormat::mots;
  if (name == "mot") return ExportFormat::mot;
  if (name == "trajectories") return ExportFormat::trajectories;
  throw ArgumentError("export format must be coco, mots, mot or trajectories, got \"" +
                      std::string(name) + "\"");
}

std::size_t export_clip(const ClipData& clip, ExportFormat format,
                        const std::filesystem::path& path, const std::string& video_name) {
  std::vector<std::string> inputs;
  for (const auto& [key, record] : clip) {
    inputs.push_back(record.json_path);
    inputs.push_back(record.image_path);
  }
  atomic_write::require_not_an_input(path, inputs, "export");
  switch (format) {
    case ExportFormat::coco:
      return write_coco(clip, path, video_name);
    case ExportFormat::mots:
      return write_mots(clip, path);
    case ExportFormat::mot:
      return write_mot(clip, path);
    case ExportFormat::trajectories:
      return write_trajectories(clip, path);
  }
  throw ArgumentError("unknown export format " + std::to_string(static_cast<int>(format)));
}

std::size_t export_tracker_output(const std::string& save_dir_base, ExportFormat format,
                                  const std::filesystem::path& path, int threads) {
  const std::optional<ClipData> clip = tracker_output::load_clip(save_dir_base, false, threads);
  if (!clip) throw FileError("no annotation files (*_<n>.json) under " + save_dir_base);
  return export_clip(*clip, format, path, folder_name(save_dir_base));
}

}  // namespace kovra_utils
