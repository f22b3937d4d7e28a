#include <kovra_utils/visual.hpp>

#include <kovra_utils/cancellation.hpp>
#include <kovra_utils/annotation.hpp>

#include "atomic_write.hpp"
#include "draw.hpp"
#include "text.hpp"
#include "tracker_output.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace kovra_utils {

namespace fs = std::filesystem;

void TrackingVideoOptions::validate() const {
  const auto require = [](bool ok, const std::string& message) {
    if (!ok) throw ArgumentError(message);
  };
  require(std::isfinite(fps) && fps > 0,
          "fps must be a positive number, got " + text::format_float(fps));
  require(std::isfinite(scale) && scale > 0,
          "scale must be a positive number, got " + text::format_float(scale));
  require(trail_length >= 0,
          "trail_length must not be negative, got " + std::to_string(trail_length));
  require(!std::isnan(intersection_thrr), "intersection_thrr must be a number, got nan");
  require(!from_frame || *from_frame >= 0,
          "from_frame must not be negative, got " + text::format_optional(from_frame));
  require(!to_frame || *to_frame >= 0,
          "to_frame must not be negative, got " + text::format_optional(to_frame));
  require(!from_frame || !to_frame || *to_frame >= *from_frame,
          "empty frame range: to_frame " + text::format_optional(to_frame) +
              " is before from_frame " + text::format_optional(from_frame));
}

namespace {

using draw::kColorSeed;
using draw::kFillAlpha;
constexpr int kMaxVideoSide = 16384;
const cv::Scalar kMarkRed(0, 0, 230);     // BGR
const cv::Scalar kCaptionGray(40, 40, 40);  // BGR

// ---- plan: every check that can fail before a frame is written --------------------------------

struct VideoPlan {
  std::vector<std::string> files;  // the annotation files to draw, in order
  std::int64_t first_position = 0;
  cv::Size clip_size;
  cv::Size output_size;
};

std::string lower_case(std::string value) {
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return value;
}

void check_output_path(const fs::path& output) {
  if (lower_case(output.extension().string()) != ".mp4") {
    throw ArgumentError("output_path must end with .mp4 (the container follows the name), got " +
                        output.string());
  }
  const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    throw FileError("cannot write " + output.string() + ": folder " + folder.string() +
                    " does not exist");
  }
}

// The nearest even size of at least 2: 4:2:0 video halves both sides for the chroma planes.
int even_side(double side) {
  return std::max(2, 2 * static_cast<int>(std::lround(side / 2)));
}

cv::Size scaled_size(cv::Size clip, double scale) {
  const double width = clip.width * scale;
  const double height = clip.height * scale;
  if (width > kMaxVideoSide || height > kMaxVideoSide) {
    throw ArgumentError("scale " + text::format_float(scale) + " makes the " +
                        std::to_string(clip.width) + " x " + std::to_string(clip.height) +
                        " frames larger than " + std::to_string(kMaxVideoSide) +
                        " pixels a side");
  }
  return {even_side(width), even_side(height)};
}

VideoPlan plan_video(const std::string& save_dir_base, const TrackingVideoOptions& options) {
  std::vector<std::string> files = tracker_output::ordered_annotation_files(save_dir_base);
  if (files.empty()) {
    throw FileError("no annotation files (named <name>_<number>.json) found under " +
                    save_dir_base);
  }
  const auto count = static_cast<std::int64_t>(files.size());
  const std::int64_t first = options.from_frame.value_or(0);
  if (first >= count) {
    throw ArgumentError("from_frame " + std::to_string(first) + " is past the clip's last position " +
                        std::to_string(count - 1) + " (" + std::to_string(count) +
                        " annotation files under " + save_dir_base + ")");
  }
  const std::int64_t last = std::min(options.to_frame.value_or(count - 1), count - 1);
  VideoPlan plan;
  plan.clip_size = tracker_output::clip_frame_size(files.front());
  plan.output_size = scaled_size(plan.clip_size, options.scale);
  plan.first_position = first;
  plan.files.assign(files.begin() + first, files.begin() + last + 1);
  return plan;
}

// ---- the video file: the output's temporary (atomic_write), renamed at the end --------------

// A name for an open file that OpenCV can open: a link "<name>" in a private folder to
// /proc/self/fd/<fd>. FFmpeg picks the container from the name's extension, and opening through
// the descriptor reaches the file this process created even if its name in the shared output
// folder is replaced meanwhile. Kept only while OpenCV opens the file.
class DescriptorName {
 public:
  DescriptorName(int fd, const std::string& name) {
    std::string folder = (fs::temp_directory_path() / "kovra-video-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
      throw FileError("cannot make a private folder under " + fs::temp_directory_path().string());
    }
    folder_ = folder;
    link_ = folder_ / name;
    std::error_code error;
    fs::create_symlink("/proc/self/fd/" + std::to_string(fd), link_, error);
    if (error) {
      fs::remove_all(folder_, error);
      throw FileError("cannot name the video's temporary: " + error.message());
    }
  }
  ~DescriptorName() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  DescriptorName(const DescriptorName&) = delete;
  DescriptorName& operator=(const DescriptorName&) = delete;

  std::string path() const { return link_.string(); }

 private:
  fs::path folder_;
  fs::path link_;
};

class VideoFile {
 public:
  VideoFile(const fs::path& output, double fps, cv::Size size)
      : output_(output), temporary_(output, ".mp4") {
    const DescriptorName name(temporary_.descriptor(), "video.mp4");
    // H.264 first: browsers and common players read it; MPEG-4 Part 2 where it is missing.
    for (const char* codec : {"avc1", "mp4v"}) {
      const int fourcc = cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]);
      if (writer_.open(name.path(), cv::CAP_FFMPEG, fourcc, fps, size, true)) {
        codec_ = codec;
        return;
      }
    }
    throw FileError("cannot write " + output.string() +
                    ": OpenCV's FFmpeg backend opens neither an H.264 nor an MPEG-4 writer");
  }
  VideoFile(const VideoFile&) = delete;
  VideoFile& operator=(const VideoFile&) = delete;

  const std::string& codec() const { return codec_; }
  void write(const cv::Mat& bgr) {
    writer_.write(bgr);
    ++frames_;
  }

  // The writer reports no failure (a full disk leaves a file without its index), so the file is
  // read back and its frames counted before it replaces the output.
  void commit() {
    writer_.release();
    const std::int64_t found = readable_frames();
    if (found != frames_) {
      throw FileError("cannot write " + output_.string() + ": the encoded video holds " +
                      std::to_string(found) + " readable frames of " + std::to_string(frames_) +
                      " written (disk full?); the old output is kept");
    }
    temporary_.commit();
  }

 private:
  std::int64_t readable_frames() const {
    const DescriptorName name(temporary_.descriptor(), "video.mp4");
    cv::VideoCapture capture;
    try {
      if (!capture.open(name.path(), cv::CAP_FFMPEG)) return 0;
    } catch (const cv::Exception&) {
      return 0;
    }
    const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
    return std::isfinite(count) && count > 0 ? static_cast<std::int64_t>(std::llround(count)) : 0;
  }

  fs::path output_;
  atomic_write::Temporary temporary_;
  cv::VideoWriter writer_;
  std::string codec_;
  std::int64_t frames_ = 0;
};

// ---- drawing sizes --------------------------------------------------------------------------

// Sizes in frame pixels, chosen for the output's height and scaled back to the frame drawn on.
struct Style {
  int font_size = 12;
  int padding = 3;
  int box_width = 2;
  int trail_width = 2;
  int border_width = 4;
};

Style style_for(cv::Size clip, cv::Size output) {
  const double out_height = output.height;
  const double to_frame = static_cast<double>(clip.height) / output.height;
  const auto frame_px = [&](double out_px) {
    return std::max(1, static_cast<int>(std::lround(out_px * to_frame)));
  };
  Style style;
  style.font_size = frame_px(std::max(12.0, std::round(out_height / 45)));
  style.padding = frame_px(std::max(2.0, std::round(out_height / 240)));
  style.box_width = frame_px(std::max(2.0, std::round(out_height / 400)));
  style.trail_width = frame_px(std::max(2.0, std::round(out_height / 300)));
  style.border_width = frame_px(std::max(4.0, std::round(out_height / 100)));
  return style;
}

// ---- identities and colours -----------------------------------------------------------------

// The number of a box key "Box<n>"; the loader builds every key this way.
std::int64_t identity_of(const std::string& key) {
  std::int64_t number = 0;
  const char* first = key.data() + std::min<std::size_t>(3, key.size());
  std::from_chars(first, key.data() + key.size(), number);
  return number;
}

cv::Scalar bgr_of(std::int64_t identity) {
  const auto rgb = generate_random_color(kColorSeed + static_cast<std::uint32_t>(identity));
  return {static_cast<double>(rgb[2]), static_cast<double>(rgb[1]), static_cast<double>(rgb[0])};
}

// Frame BGR value -> that value with the identity's colour composited over it at alpha 128,
// per channel (a 256-entry CV_8UC3 table for cv::LUT), computed by the overlays' own compositing
// so both agree to the bit.
cv::Mat fill_table(std::int64_t identity) {
  cv::Mat base(1, 256, CV_8UC4);
  for (int v = 0; v < 256; ++v) {
    const auto value = static_cast<uchar>(v);
    base.at<cv::Vec4b>(0, v) = cv::Vec4b(value, value, value, 255);
  }
  const auto rgb = generate_random_color(kColorSeed + static_cast<std::uint32_t>(identity));
  const cv::Mat overlay(1, 256, CV_8UC4, cv::Scalar(rgb[0], rgb[1], rgb[2], kFillAlpha));
  cv::Mat table;
  cv::cvtColor(draw::alpha_composite(base, overlay), table, cv::COLOR_RGBA2BGR);
  return table;
}

// ---- trails ---------------------------------------------------------------------------------

// The centroids of every identity over the last `length` frames, oldest first; absent where the
// identity was missing or empty.
class TrailHistory {
 public:
  explicit TrailHistory(int length) : length_(static_cast<std::size_t>(length)) {}

  void add_frame(const std::map<std::int64_t, cv::Point2d>& centroids) {
    for (auto& [identity, trail] : trails_) {
      if (!centroids.contains(identity)) trail.emplace_back(std::nullopt);
    }
    for (const auto& [identity, centroid] : centroids) trails_[identity].emplace_back(centroid);
    for (auto it = trails_.begin(); it != trails_.end();) {
      auto& trail = it->second;
      while (trail.size() > length_) trail.pop_front();
      const bool empty = std::none_of(trail.begin(), trail.end(),
                                      [](const auto& point) { return point.has_value(); });
      it = empty ? trails_.erase(it) : std::next(it);
    }
  }

  const std::map<std::int64_t, std::deque<std::optional<cv::Point2d>>>& trails() const {
    return trails_;
  }
  std::size_t length() const { return length_; }

 private:
  std::size_t length_;
  std::map<std::int64_t, std::deque<std::optional<cv::Point2d>>> trails_;
};

constexpr int kSubpixelBits = 4;

cv::Point subpixel(const cv::Point2d& point) {
  return {static_cast<int>(std::lround(point.x * (1 << kSubpixelBits))),
          static_cast<int>(std::lround(point.y * (1 << kSubpixelBits)))};
}

// A line from `a` to `b` at `opacity` over what the frame holds, blended only around the line.
void blended_line(cv::Mat& bgr, const cv::Point2d& a, const cv::Point2d& b,
                  const cv::Scalar& color, int width, double opacity) {
  if (opacity >= 1) {
    cv::line(bgr, subpixel(a), subpixel(b), color, width, cv::LINE_AA, kSubpixelBits);
    return;
  }
  const cv::Rect around =
      cv::Rect(cv::Point(static_cast<int>(std::floor(std::min(a.x, b.x))) - width,
                         static_cast<int>(std::floor(std::min(a.y, b.y))) - width),
               cv::Point(static_cast<int>(std::ceil(std::max(a.x, b.x))) + width + 1,
                         static_cast<int>(std::ceil(std::max(a.y, b.y))) + width + 1)) &
      cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (around.empty()) return;
  cv::Mat region = bgr(around);
  cv::Mat drawn = region.clone();
  const cv::Point2d shift(around.x, around.y);
  cv::line(drawn, subpixel(a - shift), subpixel(b - shift), color, width, cv::LINE_AA,
           kSubpixelBits);
  cv::addWeighted(drawn, opacity, region, 1 - opacity, 0, region);
}

// ---- captions -------------------------------------------------------------------------------

// `text` in white on a filled tab whose bottom-left corner is `anchor`; a tab that would leave
// the frame is moved inside it.
void draw_caption(cv::Mat& bgr, const draw::Font& font, const Style& style,
                  const std::string& text, cv::Point anchor, const cv::Scalar& tab_color) {
  const std::array<int, 4> ink = font.text_bbox(text, {0, 0});
  const int text_width = ink[2] - ink[0];
  const int text_height = ink[3] - ink[1];
  cv::Rect tab(anchor.x, anchor.y - text_height - 2 * style.padding,
               text_width + 2 * style.padding, text_height + 2 * style.padding);
  tab.x = std::clamp(tab.x, 0, std::max(0, bgr.cols - tab.width));
  tab.y = std::clamp(tab.y, 0, std::max(0, bgr.rows - tab.height));
  const cv::Rect visible = tab & cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (visible.empty()) return;
  cv::Mat region = bgr(visible);
  region.setTo(tab_color);
  cv::Mat bgra;
  cv::cvtColor(region, bgra, cv::COLOR_BGR2BGRA);
  const cv::Point origin(tab.x + style.padding - ink[0] - visible.x,
                         tab.y + style.padding - ink[1] - visible.y);
  font.draw_text(bgra, text, origin, cv::Vec4b(255, 255, 255, 255));
  cv::cvtColor(bgra, region, cv::COLOR_BGRA2BGR);
}

// Height of one caption tab, for stacking captions.
int caption_height(const draw::Font& font, const Style& style) {
  const std::array<int, 4> ink = font.text_bbox("Hg", {0, 0});
  return ink[3] - ink[1] + 2 * style.padding;
}

// ---- the tracking question report's view of one frame ----------------------------------------

constexpr std::size_t kListedPairs = 4;

// The reasons the report would list this frame: zero-area boxes and overlap cells above the
// threshold, one caption line each kind.
std::vector<std::string> report_reasons(const FrameRecord& record, double intersection_thrr) {
  std::vector<std::string> reasons;
  std::string zero;
  for (const auto& [key, area] : record.mask_areas) {
    if (area <= 0) zero += (zero.empty() ? "" : ", ") + key;
  }
  if (!zero.empty()) reasons.push_back("Zero area detected: " + zero);

  const IntersectionTable table = intersection_between_masks(record.masks_dict, record.mask_areas);
  std::vector<std::string> pairs;
  for (std::size_t row = 0; row < table.size(); ++row) {
    for (std::size_t col = 0; col < table.size(); ++col) {
      const double value = table.at(row, col);
      if (!(value > intersection_thrr)) continue;
      pairs.push_back(table.keys()[row] + "-" + table.keys()[col] + " " +
                      text::format_fixed(value, 2) + " %");
    }
  }
  if (!pairs.empty()) {
    std::string listed;
    for (std::size_t i = 0; i < std::min(pairs.size(), kListedPairs); ++i) {
      listed += (i == 0 ? "" : ", ") + pairs[i];
    }
    if (pairs.size() > kListedPairs) {
      listed += " (+" + std::to_string(pairs.size() - kListedPairs) + " more)";
    }
    reasons.push_back("High overlap mask detected: " + listed);
  }
  return reasons;
}

// ---- one frame ------------------------------------------------------------------------------

class FrameRenderer {
 public:
  FrameRenderer(const TrackingVideoOptions& options, const VideoPlan& plan)
      : options_(options),
        style_(style_for(plan.clip_size, plan.output_size)),
        font_(draw::Font::load("DejaVuSans.ttf", style_.font_size)),
        caption_step_(caption_height(font_, style_) + style_.padding),
        labels_(plan.clip_size, CV_32S, cv::Scalar(0)),
        trails_(options.trail_length) {}

  /// Draws the layers onto `bgr` (the clip's size). Returns true when the frame was marked.
  bool draw(cv::Mat& bgr, std::int64_t position, const FrameRecord& record,
            bool image_missing) {
    if (options_.draw_masks) fill_masks(bgr, record.masks_dict);
    update_trails(record.masks_dict);
    if (options_.draw_trails) draw_trails(bgr);
    if (options_.draw_boxes) draw_boxes(bgr, record.masks_dict);

    std::vector<std::string> corner;
    if (options_.draw_frame_caption) corner.push_back("frame " + std::to_string(position));
    std::vector<std::string> reasons;
    if (options_.mark_report_frames) reasons = report_reasons(record, options_.intersection_thrr);
    if (!reasons.empty()) mark_border(bgr);
    draw_corner_captions(bgr, corner, reasons);
    if (image_missing) {
      draw_caption(bgr, font_, style_, "image missing: " + record.image_path,
                   cv::Point(style_.border_width * 2, bgr.rows / 2), kCaptionGray);
    }
    return !reasons.empty();
  }

 private:
  const cv::Mat& table_of(std::int64_t identity) {
    auto found = tables_.find(identity);
    if (found == tables_.end()) found = tables_.emplace(identity, fill_table(identity)).first;
    return found->second;
  }

  // Each pixel takes the colour of the last mask holding it, so overlaps are not mixed.
  void fill_masks(cv::Mat& bgr, const MasksDict& masks) {
    const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
    int label = 0;
    for (const auto& [key, mask] : masks) {
      ++label;
      const cv::Rect visible = mask.bounds() & frame;
      if (!visible.empty()) {
        labels_(visible).setTo(label, mask.crop()(visible - mask.bounds().tl()));
      }
    }
    label = 0;
    for (const auto& [key, mask] : masks) {
      ++label;
      const cv::Rect visible = mask.bounds() & frame;
      if (visible.empty()) continue;
      cv::Mat owned;
      cv::compare(labels_(visible), label, owned, cv::CMP_EQ);
      cv::Mat region = bgr(visible);
      cv::Mat tinted;
      cv::LUT(region, table_of(identity_of(key)), tinted);
      tinted.copyTo(region, owned);
    }
    for (const auto& [key, mask] : masks) {
      const cv::Rect visible = mask.bounds() & frame;
      if (!visible.empty()) labels_(visible).setTo(0);
    }
  }

  void update_trails(const MasksDict& masks) {
    std::map<std::int64_t, cv::Point2d> centroids;
    for (const auto& [key, mask] : masks) {
      if (const auto centroid = mask.centroid()) centroids[identity_of(key)] = *centroid;
    }
    trails_.add_frame(centroids);
  }

  void draw_trails(cv::Mat& bgr) const {
    const std::size_t length = trails_.length();
    if (length < 2) return;
    for (const auto& [identity, trail] : trails_.trails()) {
      const cv::Scalar color = bgr_of(identity);
      for (std::size_t i = 1; i < trail.size(); ++i) {
        if (!trail[i - 1] || !trail[i]) continue;
        // The newest segment is opaque; each older one fades by one step of the trail.
        const std::size_t age = trail.size() - 1 - i;
        const double opacity = static_cast<double>(length - 1 - age) / static_cast<double>(length - 1);
        blended_line(bgr, *trail[i - 1], *trail[i], color, style_.trail_width, opacity);
      }
      if (trail.back()) {
        cv::circle(bgr, subpixel(*trail.back()), style_.trail_width << kSubpixelBits, color,
                   cv::FILLED, cv::LINE_AA, kSubpixelBits);
      }
    }
  }

  void draw_boxes(cv::Mat& bgr, const MasksDict& masks) const {
    for (const auto& [key, mask] : masks) {
      if (mask.is_clear()) continue;
      const cv::Scalar color = bgr_of(identity_of(key));
      const std::array<int, 4> box = mask.box();
      for (int inset = 0; inset < style_.box_width; ++inset) {
        cv::rectangle(bgr, cv::Point(box[0] + inset, box[1] + inset),
                      cv::Point(box[2] - inset, box[3] - inset), color, 1, cv::LINE_8);
      }
      draw_caption(bgr, font_, style_, key, cv::Point(box[0], box[1]), color);
    }
  }

  void mark_border(cv::Mat& bgr) const {
    const int width = style_.border_width;
    for (int inset = 0; inset < width; ++inset) {
      cv::rectangle(bgr, cv::Point(inset, inset), cv::Point(bgr.cols - 1 - inset, bgr.rows - 1 - inset),
                    kMarkRed, 1, cv::LINE_8);
    }
  }

  // The frame caption, then the report reasons, stacked below the top-left corner.
  void draw_corner_captions(cv::Mat& bgr, const std::vector<std::string>& corner,
                            const std::vector<std::string>& reasons) const {
    const int step = caption_step_;
    cv::Point anchor(style_.border_width * 2, style_.border_width * 2 + step - style_.padding);
    for (const std::string& line : corner) {
      draw_caption(bgr, font_, style_, line, anchor, kCaptionGray);
      anchor.y += step;
    }
    for (const std::string& line : reasons) {
      draw_caption(bgr, font_, style_, line, anchor, kMarkRed);
      anchor.y += step;
    }
  }

  const TrackingVideoOptions& options_;
  Style style_;
  draw::Font font_;
  int caption_step_;  // distance between stacked corner captions
  cv::Mat labels_;  // per pixel, 1 + position of the mask that owns it; 0 elsewhere
  TrailHistory trails_;
  std::map<std::int64_t, cv::Mat> tables_;  // identity -> fill_table
};

// The frame image at the clip's size; empty when it cannot be read.
cv::Mat read_frame_image(const std::string& image_path, cv::Size clip_size) {
  cv::Mat image = cv::imread(image_path, cv::IMREAD_COLOR);
  if (image.empty() || image.size() == clip_size) return image;
  cv::Mat resized;
  cv::resize(image, resized, clip_size, 0, 0, cv::INTER_LINEAR);
  return resized;
}

cv::Mat to_output_size(const cv::Mat& frame, cv::Size output_size) {
  if (frame.size() == output_size) return frame;
  cv::Mat resized;
  const bool shrinking = output_size.area() < frame.size().area();
  cv::resize(frame, resized, output_size, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  return resized;
}

}  // namespace

TrackingVideoSummary render_tracking_video(const std::string& save_dir_base,
                                           const std::string& output_path,
                                           const TrackingVideoOptions& options) {
  options.validate();
  check_output_path(output_path);
  const tracker_output::ReadLock read_lock = tracker_output::lock_for_reading(save_dir_base);
  const VideoPlan plan = plan_video(save_dir_base, options);
  atomic_write::require_not_an_input(output_path, plan.files, "output_path");

  VideoFile video(output_path, options.fps, plan.output_size);
  FrameRenderer renderer(options, plan);
  TrackingVideoSummary summary;
  summary.frame_size = plan.output_size;
  summary.codec = video.codec();
  const auto total = static_cast<std::int64_t>(plan.files.size());
  for (std::int64_t i = 0; i < total; ++i) {
    check_cancellation();
    const FrameRecord record =
        tracker_output::read_frame_record(plan.files[static_cast<std::size_t>(i)], plan.clip_size);
    cv::Mat frame = read_frame_image(record.image_path, plan.clip_size);
    const bool missing = frame.empty();
    if (missing) frame = cv::Mat(plan.clip_size, CV_8UC3, cv::Scalar::all(0));
    if (renderer.draw(frame, plan.first_position + i, record, missing)) ++summary.marked_frames;
    video.write(to_output_size(frame, plan.output_size));
    ++summary.frames;
    if (missing) ++summary.missing_images;
    if (options.progress) options.progress(summary.frames, total);
  }
  video.commit();
  return summary;
}

}  // namespace kovra_utils
