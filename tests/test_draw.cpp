#include "draw.hpp"

#include <kovra_utils/types.hpp>

#include "capture.hpp"
#include "expect_error.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using kovra_utils::ArgumentError;
using kovra_utils::draw::alpha_composite;
using kovra_utils::draw::Font;
using kovra_utils::draw::rectangle;
using kovra_utils::draw::to_rgba;

// Any TrueType file installed on this machine, to exercise the FreeType path.
std::optional<fs::path> some_system_ttf() {
  std::error_code error;
  for (fs::recursive_directory_iterator walk("/usr/share/fonts", error), end;
       !error && walk != end; walk.increment(error)) {
    if (walk->path().extension() == ".ttf") return walk->path();
  }
  return std::nullopt;
}

// ---- alpha_composite ------------------------------------------------------------------------

struct CompositeCase {
  cv::Vec4b base;
  cv::Vec4b overlay;
  cv::Vec4b expected;
};

class AlphaComposite : public testing::TestWithParam<CompositeCase> {};

TEST_P(AlphaComposite, MatchesPilIntegerArithmetic) {
  const CompositeCase& c = GetParam();
  const cv::Mat base(2, 3, CV_8UC4, cv::Scalar(c.base[0], c.base[1], c.base[2], c.base[3]));
  const cv::Mat overlay(2, 3, CV_8UC4,
                        cv::Scalar(c.overlay[0], c.overlay[1], c.overlay[2], c.overlay[3]));
  const cv::Mat out = alpha_composite(base, overlay);
  EXPECT_EQ(out.at<cv::Vec4b>(1, 2), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlphaComposite,
    testing::Values(
        // A transparent overlay leaves the base exactly, whatever its colour.
        CompositeCase{{9, 8, 7, 6}, {255, 255, 255, 0}, {9, 8, 7, 6}},
        CompositeCase{{9, 8, 7, 255}, {1, 2, 3, 255}, {1, 2, 3, 255}},
        CompositeCase{{0, 0, 255, 255}, {255, 0, 0, 100}, {100, 0, 155, 255}},
        CompositeCase{{0, 0, 0, 0}, {10, 20, 30, 40}, {10, 20, 30, 40}},
        CompositeCase{{200, 100, 50, 128}, {0, 255, 0, 128}, {66, 203, 17, 192}}));

// ---- to_rgba --------------------------------------------------------------------------------

TEST(ToRgba, AddsOpaqueAlphaKeepsExistingAlphaAndRejectsOtherLayouts) {
  const cv::Mat gray(1, 1, CV_8U, cv::Scalar(7));
  const cv::Mat rgb(1, 1, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat rgba(1, 1, CV_8UC4, cv::Scalar(1, 2, 3, 4));
  EXPECT_EQ(to_rgba(gray).at<cv::Vec4b>(0, 0), cv::Vec4b(7, 7, 7, 255));
  EXPECT_EQ(to_rgba(rgb).at<cv::Vec4b>(0, 0), cv::Vec4b(1, 2, 3, 255));
  cv::Mat copy = to_rgba(rgba);
  EXPECT_EQ(copy.at<cv::Vec4b>(0, 0), cv::Vec4b(1, 2, 3, 4));
  copy.setTo(cv::Scalar::all(0));
  EXPECT_EQ(rgba.at<cv::Vec4b>(0, 0), cv::Vec4b(1, 2, 3, 4)) << "the input must not change";
  kovra_test::expect_error_containing<ArgumentError>([] { to_rgba(cv::Mat(1, 1, CV_16UC3)); }, "8-bit");
  kovra_test::expect_error_containing<ArgumentError>([] { to_rgba(cv::Mat(1, 1, CV_8UC2)); }, "got 2");
  kovra_test::expect_error_containing<ArgumentError>([&] { alpha_composite(rgba, cv::Mat(2, 1, CV_8UC4)); },
                        "1 x 1 and 1 x 2");
  kovra_test::expect_error_containing<ArgumentError>([&] { alpha_composite(rgb, rgba); }, "needs an 8-bit RGBA image");
}

// ---- rectangle ------------------------------------------------------------------------------

const cv::Vec4b kRed(255, 0, 0, 255);
const cv::Vec4b kBlue(0, 0, 255, 255);

int count_colour(const cv::Mat& rgba, const cv::Vec4b& colour) {
  int count = 0;
  rgba.forEach<cv::Vec4b>([&](const cv::Vec4b& pixel, const int*) { count += pixel == colour; });
  return count;
}

cv::Mat blank(int rows = 20, int cols = 20) {
  return cv::Mat(rows, cols, CV_8UC4, cv::Scalar(255, 255, 255, 0));
}

TEST(Rectangle, OutlineLiesInsideInclusiveCornersAndReplacesPixels) {
  cv::Mat image = blank();
  rectangle(image, {2, 3}, {11, 12}, std::nullopt, kRed, 3);
  EXPECT_EQ(count_colour(image, kRed), 100 - 16);  // 10 x 10 box minus its 4 x 4 inside
  EXPECT_EQ(image.at<cv::Vec4b>(3, 2), kRed);
  EXPECT_EQ(image.at<cv::Vec4b>(12, 11), kRed);
  EXPECT_EQ(image.at<cv::Vec4b>(6, 5), cv::Vec4b(255, 255, 255, 0));
  EXPECT_EQ(image.at<cv::Vec4b>(2, 2), cv::Vec4b(255, 255, 255, 0));
  rectangle(image, {11, 12}, {2, 3}, kBlue, kRed, 2);  // corners in either order
  EXPECT_EQ(count_colour(image, kBlue), 36);
  EXPECT_EQ(count_colour(image, kRed), 64);
}

TEST(Rectangle, ClipsAtImageEdgesAndDegeneratesToAPoint) {
  cv::Mat image = blank();
  rectangle(image, {-5, -5}, {3, 3}, kBlue, std::nullopt);
  EXPECT_EQ(count_colour(image, kBlue), 16);
  cv::Mat point = blank();
  rectangle(point, {0, 0}, {0, 0}, std::nullopt, kRed, 3);
  EXPECT_EQ(count_colour(point, kRed), 1);
  cv::Mat far = blank();
  rectangle(far, {2147483000, 5}, {2147483600, 9}, kBlue, kRed, 3);
  EXPECT_EQ(count_colour(far, kBlue) + count_colour(far, kRed), 0);
  kovra_test::expect_error_containing<ArgumentError>([&] { rectangle(far, {0, 0}, {1, 1}, std::nullopt, kRed, -1); },
                        "got -1");
}

// ---- Font -----------------------------------------------------------------------------------

TEST(FontLoad, FallsBackToBuiltInFont) {
  EXPECT_FALSE(Font::load("no_such_font_here.ttf").is_truetype());
  kovra_test::expect_error_containing<ArgumentError>([] { Font::load("arial.ttf", 0); }, "font size must be positive");
}

TEST(FontLoad, FindsFileInWorkingDirectoryThenSystemFolders) {
  const auto ttf = some_system_ttf();
  if (!ttf) GTEST_SKIP() << "no TrueType font installed";
  kovra_test::TempDir dir;
  fs::copy_file(*ttf, dir / "caption.ttf");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  const bool loaded = Font::load("caption.ttf").is_truetype();
  fs::current_path(previous);
  EXPECT_TRUE(loaded);
  EXPECT_TRUE(Font::load(ttf->filename().string()).is_truetype());
}

// The fallback and (when installed) a TrueType font.
class FontMetrics : public testing::TestWithParam<bool> {
 protected:
  Font font() const {
    if (!GetParam()) return Font::load("no_such_font_here.ttf");
    const auto ttf = some_system_ttf();
    return Font::load(ttf ? ttf->string() : "no_such_font_here.ttf");
  }
  void SetUp() override {
    if (GetParam() && !some_system_ttf()) GTEST_SKIP() << "no TrueType font installed";
  }
};

TEST_P(FontMetrics, MeasuresWhatItDraws) {
  const Font caption = font();
  const cv::Point origin(7, 9);
  const auto [x1, y1, x2, y2] = caption.text_bbox("Box 12", origin);
  cv::Mat image(40, 80, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  caption.draw_text(image, "Box 12", origin, {255, 255, 255, 255});
  std::vector<cv::Mat> channels;
  cv::split(image, channels);
  EXPECT_EQ(cv::boundingRect(channels[3]), cv::Rect(x1, y1, x2 - x1, y2 - y1));
  // A caption of size 11 is roughly 11 pixels high, never a tiny or huge glyph run.
  EXPECT_GE(y2 - y1, 6);
  EXPECT_LE(y2 - y1, 14);
  EXPECT_GE(y1, origin.y);
  EXPECT_GT(x2 - x1, 20);
}

TEST_P(FontMetrics, EmptyTextHasNoInkAndDrawingIsClipped) {
  const Font caption = font();
  EXPECT_EQ(caption.text_bbox("", {3, 4}), (std::array<int, 4>{3, 4, 3, 4}));
  cv::Mat image(10, 10, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  caption.draw_text(image, "", {0, 0}, {255, 255, 255, 255});
  caption.draw_text(image, "Box 0", {-6, -8}, {255, 255, 255, 255});
  caption.draw_text(image, "Box 0", {5000, 5000}, {255, 255, 255, 255});
  std::vector<cv::Mat> channels;
  cv::split(image, channels);
  EXPECT_EQ(cv::countNonZero(channels[3] != 255), 0) << "alpha of an opaque image stays 255";
}

INSTANTIATE_TEST_SUITE_P(Backends, FontMetrics, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TrueType" : "BuiltIn"; });

}  // namespace
