#pragma once

// Drawing helpers shared by the overlays and the annotation renderer: caption fonts,
// RGBA conversion, source-over compositing and PIL-style rectangles and wide lines.

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kovra_utils::draw {

/// The overlays' identity colours are generate_random_color(kColorSeed + number); their mask
/// fills are drawn at alpha kFillAlpha.
inline constexpr std::uint32_t kColorSeed = 42;
inline constexpr std::uint8_t kFillAlpha = 128;

/// An RGB colour with an alpha, as an RGBA pixel.
inline cv::Vec4b with_alpha(const std::array<std::uint8_t, 3>& rgb, std::uint8_t alpha) {
  return {rgb[0], rgb[1], rgb[2], alpha};
}

/// A caption font. load() looks `file_name` up in the working directory, then in the system
/// font folders; when it cannot be loaded for any reason the built-in fallback font is used.
/// Text is measured with the same font it is drawn with.
class Font {
 public:
  /// Throws ArgumentError for a non-positive `pixel_size`; never fails for the file.
  static Font load(const std::string& file_name = "arial.ttf", int pixel_size = 11);

  /// True when a TrueType file was loaded, false for the built-in fallback.
  bool is_truetype() const;

  /// Bounding box (x1, y1, x2, y2) of the ink of `text` drawn with its top-left anchor at
  /// `origin` (x2, y2 exclusive); (x, y, x, y) of the origin for a text without ink.
  std::array<int, 4> text_bbox(const std::string& text, cv::Point origin) const;

  /// Draws `text` (UTF-8) onto a CV_8UC4 image, top-left anchor at `origin`, blending `color`
  /// into every channel by glyph coverage; pixels outside the image are clipped.
  void draw_text(cv::Mat& rgba, const std::string& text, cv::Point origin,
                 const cv::Vec4b& color) const;

  struct Impl;

 private:
  Font() = default;
  std::shared_ptr<const Impl> impl_;
};

/// A CV_8UC4 RGBA copy of a gray (1 channel), RGB (3) or RGBA (4) 8-bit image: gray and RGB
/// become opaque, RGBA keeps its alpha. Throws ArgumentError for other layouts.
cv::Mat to_rgba(const cv::Mat& image);

/// Porter-Duff source-over of `overlay` onto `base`, both CV_8UC4 RGBA of one size (the same
/// arithmetic as PIL's Image.alpha_composite). Returns a new image.
cv::Mat alpha_composite(const cv::Mat& base, const cv::Mat& overlay);

/// Rectangle with inclusive corners: filled with `fill` when given, outline of `width` pixels
/// drawn inside the corners with `outline` when given. Pixels are replaced, not blended.
void rectangle(cv::Mat& rgba, cv::Point top_left, cv::Point bottom_right,
               const std::optional<cv::Vec4b>& fill, const std::optional<cv::Vec4b>& outline,
               int width = 1);

/// The image file at `path` with its stored channels, 8 bits each: gray, RGB or RGBA (16-bit
/// files are scaled down). FileError when it cannot be read, ContentError for other depths.
cv::Mat read_image_as_stored(const std::string& path);

/// Line of `width` (2 or more) pixels from `from` to `to` on an 8-bit image of any channel
/// count, as PIL's ImageDraw draws one segment of a wide line: a four-sided polygon around
/// the segment, scan-line filled; ends are square and nothing joins consecutive segments.
/// Pixels outside the image are clipped; coordinates must stay within +-2^26.
void wide_line(cv::Mat& image, cv::Point from, cv::Point to, const cv::Scalar& colour, int width);

}  // namespace kovra_utils::draw
