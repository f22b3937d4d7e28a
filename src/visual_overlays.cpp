#include <kovra_utils/visual.hpp>

#include "draw.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

namespace kovra_utils {

namespace {

using draw::kColorSeed;
using draw::kFillAlpha;
using draw::with_alpha;
constexpr int kBoxWidth = 3;
constexpr int kLabelPadding = 4;
constexpr int kLabelFontSize = 11;

std::array<std::uint8_t, 3> color_of_position(std::size_t position) {
  return generate_random_color(kColorSeed + static_cast<std::uint32_t>(position));
}

// Paints the part of `mask` that falls inside `overlay` in `color`, replacing what was there.
void paint_mask(cv::Mat& overlay, const Mask& mask, const cv::Vec4b& color) {
  const cv::Rect visible = mask.bounds() & cv::Rect(0, 0, overlay.cols, overlay.rows);
  if (visible.empty()) return;
  overlay(visible).setTo(color, mask.crop()(visible - mask.bounds().tl()));
}

void draw_labelled_box(cv::Mat& rgba, const std::string& label, const Mask& mask,
                       const std::array<std::uint8_t, 3>& rgb) {
  const std::array<int, 4> box = mask.box();
  const cv::Point top_left(box[0], box[1]);
  const cv::Vec4b color = with_alpha(rgb, 255);
  draw::rectangle(rgba, top_left, cv::Point(box[2], box[3]), std::nullopt, color, kBoxWidth);

  const draw::Font font = draw::Font::load("arial.ttf", kLabelFontSize);
  const std::array<int, 4> text_box = font.text_bbox(label, top_left);
  const int text_width = text_box[2] - text_box[0];
  const int text_height = text_box[3] - text_box[1];
  const cv::Point tab_top_left(top_left.x, top_left.y - text_height - kLabelPadding);
  draw::rectangle(rgba, tab_top_left,
                  cv::Point(top_left.x + text_width + kLabelPadding, top_left.y), color,
                  std::nullopt);
  font.draw_text(rgba, label, cv::Point(top_left.x + 2, tab_top_left.y),
                 cv::Vec4b(255, 255, 255, 255));
}

// "<temp>/kovra_utils_display_<nanoseconds>.png": a new file per call, no state kept.
std::filesystem::path display_file() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return std::filesystem::temp_directory_path() /
         ("kovra_utils_display_" + std::to_string(stamp) + ".png");
}

cv::Mat to_stored_order(const cv::Mat& image) {
  cv::Mat stored;
  if (image.channels() == 3) {
    cv::cvtColor(image, stored, cv::COLOR_RGB2BGR);
  } else if (image.channels() == 4) {
    cv::cvtColor(image, stored, cv::COLOR_RGBA2BGRA);
  } else {
    stored = image;
  }
  return stored;
}

}  // namespace

void default_display(const cv::Mat& image) {
  if (image.empty()) throw ArgumentError("cannot display an empty image");
  std::vector<std::uint8_t> png;
  if (!cv::imencode(".png", to_stored_order(image), png)) {
    throw ArgumentError("cannot encode an image of " + std::to_string(image.channels()) +
                        " channels as PNG");
  }
  write_file_atomically(display_file(),
                        std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
}

std::array<std::uint8_t, 3> generate_random_color(std::uint32_t index) {
  std::mt19937 generator(index);
  const auto r = static_cast<std::uint8_t>(generator() & 0xFF);
  const auto g = static_cast<std::uint8_t>(generator() & 0xFF);
  const auto b = static_cast<std::uint8_t>(generator() & 0xFF);
  return {r, g, b};
}

cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<Mask>& masks) {
  const cv::Mat base = draw::to_rgba(image);
  cv::Mat overlay(base.size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
  for (std::size_t i = 0; i < masks.size(); ++i) {
    paint_mask(overlay, masks[i], with_alpha(color_of_position(i), kFillAlpha));
  }
  return draw::alpha_composite(base, overlay);
}

cv::Mat img_bbx_drawing(const cv::Mat& image, const MasksDict& mask_dict) {
  std::vector<Mask> masks;
  masks.reserve(mask_dict.size());
  for (const auto& entry : mask_dict) masks.push_back(entry.second);
  cv::Mat drawn = draw_masks_on_image(image, masks);
  std::size_t ii = 0;
  for (const auto& [key, mask] : mask_dict) {
    draw_labelled_box(drawn, key, mask, color_of_position(ii));
    ++ii;
  }
  return drawn;
}

void video_segments_mask_visual(const VideoSegments& video_segments, std::int64_t frame_idx,
                                std::int64_t object_id, const DisplayFunc& display) {
  const auto frame = video_segments.find(frame_idx);
  if (frame == video_segments.end()) {
    throw std::out_of_range("video segments hold no frame " + std::to_string(frame_idx));
  }
  const auto object = frame->second.find(object_id);
  if (object == frame->second.end()) {
    throw std::out_of_range("frame " + std::to_string(frame_idx) + " holds no object " +
                            std::to_string(object_id));
  }
  // As a plot would show it: values scaled from their minimum to their maximum, viridis.
  cv::Mat scaled;
  cv::normalize(object->second.dense(), scaled, 0, 255, cv::NORM_MINMAX, CV_8U);
  cv::Mat bgr;
  cv::applyColorMap(scaled, bgr, cv::COLORMAP_VIRIDIS);
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  display(rgb);
}

}  // namespace kovra_utils
