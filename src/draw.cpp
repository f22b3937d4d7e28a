#include "draw.hpp"

#include "geometry.hpp"
#include "image_header.hpp"

#include <kovra_utils/types.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace kovra_utils::draw {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Text rasters shared by both font back ends
// ---------------------------------------------------------------------------------------------

/// Glyph coverage of a text: a tight CV_8U plane and the position of its top-left pixel
/// relative to the text's anchor. Empty when the text leaves no ink.
struct Coverage {
  cv::Mat alpha;
  cv::Point offset{0, 0};
};

struct Font::Impl {
  virtual ~Impl() = default;
  virtual Coverage render(const std::string& text) const = 0;
};

namespace {

// x / 255 rounded, in the integer form the PIL blending code uses.
int div255(int value) {
  const int biased = value + 128;
  return ((biased >> 8) + biased) >> 8;
}

std::uint8_t blend(std::uint8_t base, std::uint8_t ink, int coverage) {
  return static_cast<std::uint8_t>(div255(base * (255 - coverage) + ink * coverage));
}

// Shrinks a coverage plane to the rectangle of its inked pixels.
Coverage tightened(const cv::Mat& plane, cv::Point anchor_in_plane) {
  const cv::Rect ink = geometry::nonzero_extent(plane).bounds;
  if (ink.empty()) return {};
  return {plane(ink).clone(), ink.tl() - anchor_in_plane};
}

void require_rgba(const cv::Mat& image, std::string_view what) {
  if (image.type() != CV_8UC4) {
    throw ArgumentError(std::string(what) + " needs an 8-bit RGBA image, got type " +
                        std::to_string(image.type()) + " with " +
                        std::to_string(image.channels()) + " channels");
  }
}

/// Decodes UTF-8; a malformed sequence becomes U+FFFD.
std::vector<char32_t> decode_utf8(const std::string& text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                        : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
      out.push_back(U'\uFFFD');
      ++i;
      continue;
    }
    char32_t code = length == 1 ? lead : (lead & (0x7F >> length));
    bool valid = true;
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 0x2) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    out.push_back(valid ? code : U'\uFFFD');
    i += valid ? length : 1;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// FreeType back end
// ---------------------------------------------------------------------------------------------

struct LibraryDeleter {
  void operator()(FT_Library library) const { FT_Done_FreeType(library); }
};
struct FaceDeleter {
  void operator()(FT_Face face) const { FT_Done_Face(face); }
};
using LibraryHandle = std::unique_ptr<std::remove_pointer_t<FT_Library>, LibraryDeleter>;
using FaceHandle = std::unique_ptr<std::remove_pointer_t<FT_Face>, FaceDeleter>;

/// One rendered glyph bitmap and the position of its top-left pixel relative to the anchor.
struct PlacedGlyph {
  cv::Mat bitmap;
  cv::Point position;
};

cv::Mat copy_bitmap(const FT_Bitmap& bitmap) {
  cv::Mat out(static_cast<int>(bitmap.rows), static_cast<int>(bitmap.width), CV_8U,
              cv::Scalar(0));
  const int pitch = std::abs(bitmap.pitch);
  for (int r = 0; r < out.rows; ++r) {
    const int stored_row = bitmap.pitch >= 0 ? r : out.rows - 1 - r;
    const unsigned char* row = bitmap.buffer + static_cast<std::ptrdiff_t>(stored_row) * pitch;
    for (int c = 0; c < out.cols; ++c) {
      if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
        out.at<std::uint8_t>(r, c) = (row[c >> 3] & (0x80 >> (c & 7))) ? 255 : 0;
      } else {
        out.at<std::uint8_t>(r, c) = row[c];
      }
    }
  }
  return out;
}

class TrueTypeFont final : public Font::Impl {
 public:
  TrueTypeFont(LibraryHandle library, FaceHandle face)
      : library_(std::move(library)), face_(std::move(face)) {}

  Coverage render(const std::string& text) const override {
    // The anchor is the left end of the ascender line; the baseline lies one ascender below.
    const int ascender = static_cast<int>(face_->size->metrics.ascender >> 6);
    std::vector<PlacedGlyph> glyphs;
    long pen_x = 0;
    FT_UInt previous = 0;
    for (const char32_t code : decode_utf8(text)) {
      const FT_UInt index = FT_Get_Char_Index(face_.get(), code);
      if (previous != 0 && index != 0 && FT_HAS_KERNING(face_.get())) {
        FT_Vector kerning{};
        FT_Get_Kerning(face_.get(), previous, index, FT_KERNING_DEFAULT, &kerning);
        pen_x += kerning.x >> 6;
      }
      previous = index;
      if (FT_Load_Glyph(face_.get(), index, FT_LOAD_RENDER) != 0) continue;
      const FT_GlyphSlot slot = face_->glyph;
      if (slot->bitmap.rows > 0 && slot->bitmap.width > 0) {
        glyphs.push_back({copy_bitmap(slot->bitmap),
                          {static_cast<int>(pen_x) + slot->bitmap_left, ascender - slot->bitmap_top}});
      }
      pen_x += slot->advance.x >> 6;
    }
    return merged(glyphs);
  }

 private:
  static Coverage merged(const std::vector<PlacedGlyph>& glyphs) {
    if (glyphs.empty()) return {};
    cv::Rect area(glyphs.front().position, glyphs.front().bitmap.size());
    for (const PlacedGlyph& glyph : glyphs) area |= cv::Rect(glyph.position, glyph.bitmap.size());
    cv::Mat plane(area.size(), CV_8U, cv::Scalar(0));
    for (const PlacedGlyph& glyph : glyphs) {
      cv::Mat target = plane(cv::Rect(glyph.position - area.tl(), glyph.bitmap.size()));
      cv::max(target, glyph.bitmap, target);
    }
    return tightened(plane, -area.tl());
  }

  LibraryHandle library_;  // declared first: the face must be released before its library
  FaceHandle face_;
};

std::shared_ptr<const Font::Impl> load_truetype(const fs::path& file, int pixel_size) {
  FT_Library raw_library = nullptr;
  if (FT_Init_FreeType(&raw_library) != 0) return nullptr;
  LibraryHandle library(raw_library);
  FT_Face raw_face = nullptr;
  if (FT_New_Face(library.get(), file.c_str(), 0, &raw_face) != 0) return nullptr;
  FaceHandle face(raw_face);
  if (FT_Set_Pixel_Sizes(face.get(), 0, static_cast<FT_UInt>(pixel_size)) != 0) return nullptr;
  return std::make_shared<TrueTypeFont>(std::move(library), std::move(face));
}

// ---------------------------------------------------------------------------------------------
// Built-in fallback: OpenCV's Hershey simplex
// ---------------------------------------------------------------------------------------------

class HersheyFont final : public Font::Impl {
 public:
  explicit HersheyFont(int pixel_size) : scale_(pixel_size * kScalePerPixel) {}

  Coverage render(const std::string& text) const override {
    const std::string printable = ascii_only(text);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(printable, kFace, scale_, kThickness, &baseline);
    // A margin keeps anti-aliased edges and descenders inside the canvas.
    const int margin = 2 + kThickness;
    cv::Mat canvas(size.height + baseline + 2 * margin, size.width + 2 * margin, CV_8U,
                   cv::Scalar(0));
    cv::putText(canvas, printable, {margin, margin + size.height}, kFace, scale_,
                cv::Scalar(255), kThickness, cv::LINE_AA);
    return tightened(canvas, {margin, margin});
  }

 private:
  static std::string ascii_only(const std::string& text) {
    std::string out;
    for (const char32_t code : decode_utf8(text)) {
      out.push_back(code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?');
    }
    return out;
  }

  static constexpr int kFace = cv::FONT_HERSHEY_SIMPLEX;
  static constexpr int kThickness = 1;
  // Hershey simplex at scale 1 inks about 38 pixels from cap line to descender, so a size of
  // 11 gives captions of the height of an 11-pixel TrueType face.
  static constexpr double kScalePerPixel = 1.0 / 38.0;
  double scale_;
};

// ---------------------------------------------------------------------------------------------
// Font file lookup
// ---------------------------------------------------------------------------------------------

std::vector<fs::path> system_font_folders() {
  std::vector<fs::path> folders{"/usr/share/fonts", "/usr/local/share/fonts"};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    folders.push_back(fs::path(home) / ".fonts");
    folders.push_back(fs::path(home) / ".local/share/fonts");
  }
  return folders;
}

// The alphabetically first file called `file_name` under `folder`, at any depth.
std::optional<fs::path> find_below(const fs::path& folder, const std::string& file_name) {
  std::error_code error;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied,
                                        error);
  std::optional<fs::path> best;
  for (const fs::recursive_directory_iterator end; !error && walk != end; walk.increment(error)) {
    if (walk->path().filename() != file_name) continue;
    if (!walk->is_regular_file(error)) continue;
    if (!best || walk->path() < *best) best = walk->path();
  }
  return best;
}

std::optional<fs::path> find_font_file(const std::string& file_name) {
  std::error_code error;
  if (fs::is_regular_file(file_name, error)) return fs::path(file_name);
  if (fs::path(file_name).has_parent_path()) return std::nullopt;
  for (const fs::path& folder : system_font_folders()) {
    if (auto found = find_below(folder, file_name)) return found;
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Font
// ---------------------------------------------------------------------------------------------

Font Font::load(const std::string& file_name, int pixel_size) {
  if (pixel_size <= 0) {
    throw ArgumentError("font size must be positive, got " + std::to_string(pixel_size));
  }
  Font font;
  if (const auto file = find_font_file(file_name)) font.impl_ = load_truetype(*file, pixel_size);
  if (!font.impl_) font.impl_ = std::make_shared<HersheyFont>(pixel_size);
  return font;
}

bool Font::is_truetype() const {
  return dynamic_cast<const TrueTypeFont*>(impl_.get()) != nullptr;
}

std::array<int, 4> Font::text_bbox(const std::string& text, cv::Point origin) const {
  const Coverage coverage = impl_->render(text);
  if (coverage.alpha.empty()) return {origin.x, origin.y, origin.x, origin.y};
  const cv::Point top_left = origin + coverage.offset;
  return {top_left.x, top_left.y, top_left.x + coverage.alpha.cols,
          top_left.y + coverage.alpha.rows};
}

void Font::draw_text(cv::Mat& rgba, const std::string& text, cv::Point origin,
                     const cv::Vec4b& color) const {
  require_rgba(rgba, "draw_text");
  const Coverage coverage = impl_->render(text);
  if (coverage.alpha.empty()) return;
  const cv::Rect placed(origin + coverage.offset, coverage.alpha.size());
  const cv::Rect visible = placed & cv::Rect(0, 0, rgba.cols, rgba.rows);
  for (int y = visible.y; y < visible.y + visible.height; ++y) {
    const auto* mask_row = coverage.alpha.ptr<std::uint8_t>(y - placed.y);
    auto* pixel_row = rgba.ptr<cv::Vec4b>(y);
    for (int x = visible.x; x < visible.x + visible.width; ++x) {
      const int cover = mask_row[x - placed.x];
      if (cover == 0) continue;
      cv::Vec4b& pixel = pixel_row[x];
      for (int channel = 0; channel < 4; ++channel) {
        pixel[channel] = blend(pixel[channel], color[channel], cover);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------------------------

cv::Mat to_rgba(const cv::Mat& image) {
  if (image.depth() != CV_8U || image.dims != 2) {
    throw ArgumentError("image must be a 2-D 8-bit image, got depth " +
                        std::to_string(image.depth()) + " with " + std::to_string(image.dims) +
                        " dimensions");
  }
  cv::Mat out;
  switch (image.channels()) {
    case 1: cv::cvtColor(image, out, cv::COLOR_GRAY2RGBA); break;
    case 3: cv::cvtColor(image, out, cv::COLOR_RGB2RGBA); break;
    case 4: out = image.clone(); break;
    default:
      throw ArgumentError("image must have 1, 3 or 4 channels, got " +
                          std::to_string(image.channels()));
  }
  return out;
}

namespace {

constexpr int kPrecisionBits = 7;

int shift_div255(std::uint32_t value) {
  return static_cast<int>(((value >> 8) + value) >> 8);
}

cv::Vec4b source_over(const cv::Vec4b& dst, const cv::Vec4b& src) {
  if (src[3] == 0) return dst;
  const std::uint32_t blend_alpha = dst[3] * (255u - src[3]);
  const std::uint32_t out_alpha_255 = src[3] * 255u + blend_alpha;
  const std::uint32_t coef1 = src[3] * 255u * 255u * (1u << kPrecisionBits) / out_alpha_255;
  const std::uint32_t coef2 = 255u * (1u << kPrecisionBits) - coef1;
  cv::Vec4b out;
  for (int channel = 0; channel < 3; ++channel) {
    const std::uint32_t mixed = src[channel] * coef1 + dst[channel] * coef2;
    out[channel] = static_cast<std::uint8_t>(
        shift_div255(mixed + (0x80u << kPrecisionBits)) >> kPrecisionBits);
  }
  out[3] = static_cast<std::uint8_t>(shift_div255(out_alpha_255 + 0x80u));
  return out;
}

}  // namespace

cv::Mat alpha_composite(const cv::Mat& base, const cv::Mat& overlay) {
  require_rgba(base, "alpha_composite");
  require_rgba(overlay, "alpha_composite");
  if (base.size() != overlay.size()) {
    throw ArgumentError("alpha_composite needs images of one size, got " +
                        std::to_string(base.cols) + " x " + std::to_string(base.rows) + " and " +
                        std::to_string(overlay.cols) + " x " + std::to_string(overlay.rows));
  }
  cv::Mat out(base.size(), CV_8UC4);
  for (int y = 0; y < base.rows; ++y) {
    const auto* dst = base.ptr<cv::Vec4b>(y);
    const auto* src = overlay.ptr<cv::Vec4b>(y);
    auto* result = out.ptr<cv::Vec4b>(y);
    for (int x = 0; x < base.cols; ++x) result[x] = source_over(dst[x], src[x]);
  }
  return out;
}

namespace {

// Sets the inclusive rectangle [x0, x1] x [y0, y1], clipped to the image. 64-bit corners so
// that far-away coordinates cannot overflow.
void fill_clipped(cv::Mat& rgba, std::int64_t x0, std::int64_t y0, std::int64_t x1,
                  std::int64_t y1, const cv::Vec4b& color) {
  x0 = std::max<std::int64_t>(x0, 0);
  y0 = std::max<std::int64_t>(y0, 0);
  x1 = std::min<std::int64_t>(x1, rgba.cols - 1);
  y1 = std::min<std::int64_t>(y1, rgba.rows - 1);
  if (x0 > x1 || y0 > y1) return;
  rgba(cv::Rect(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0 + 1),
                static_cast<int>(y1 - y0 + 1)))
      .setTo(cv::Scalar(color[0], color[1], color[2], color[3]));
}

}  // namespace

void rectangle(cv::Mat& rgba, cv::Point top_left, cv::Point bottom_right,
               const std::optional<cv::Vec4b>& fill, const std::optional<cv::Vec4b>& outline,
               int width) {
  require_rgba(rgba, "rectangle");
  if (width < 0) throw ArgumentError("outline width must not be negative, got " +
                                     std::to_string(width));
  const std::int64_t x0 = std::min(top_left.x, bottom_right.x);
  const std::int64_t x1 = std::max(top_left.x, bottom_right.x);
  const std::int64_t y0 = std::min(top_left.y, bottom_right.y);
  const std::int64_t y1 = std::max(top_left.y, bottom_right.y);
  if (fill) fill_clipped(rgba, x0, y0, x1, y1, *fill);
  if (!outline || width == 0) return;
  // Four bands inside the corners; on a box thinner than two widths they cover all of it.
  const std::int64_t band = width - 1;
  fill_clipped(rgba, x0, y0, x1, std::min(y0 + band, y1), *outline);
  fill_clipped(rgba, x0, std::max(y1 - band, y0), x1, y1, *outline);
  fill_clipped(rgba, x0, y0, std::min(x0 + band, x1), y1, *outline);
  fill_clipped(rgba, std::max(x1 - band, x0), y0, x1, y1, *outline);
}

cv::Mat read_image_as_stored(const std::string& path) {
  image_header::require_decodable(path);
  cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw FileError("cannot read image file " + path);
  if (image.depth() == CV_16U) {
    image.convertTo(image, CV_8U, 1.0 / 257.0);
  } else if (image.depth() != CV_8U) {
    throw ContentError("image file " + path + " must hold 8- or 16-bit pixels");
  }
  if (image.channels() == 3) cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
  if (image.channels() == 4) cv::cvtColor(image, image, cv::COLOR_BGRA2RGBA);
  return image;
}

}  // namespace kovra_utils::draw
