#include <kovra_utils/visual.hpp>

#include "capture.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::Mask;

template <class Error, class Fn>
void expect_error(Fn&& fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "nothing thrown, expected: " << message;
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
}

// ---- enhance_dark_text ----------------------------------------------------------------------

// Equalisation keeps only the order and counts of the gray levels, so the gamma table shows in
// which levels it merges: three equally common levels come out as 0, 128, 255 when they stay
// apart.
struct GammaCase {
  double gamma;
  std::vector<int> levels;
  std::vector<int> expected;
};

class EnhanceDarkTextGamma : public ::testing::TestWithParam<GammaCase> {};

TEST_P(EnhanceDarkTextGamma, MergesLevelsThatTheTruncatedTableMerges) {
  const GammaCase& param = GetParam();
  cv::Mat image(4, static_cast<int>(param.levels.size()) * 4, CV_8UC3);
  for (int c = 0; c < image.cols; ++c) {
    image.col(c).setTo(cv::Scalar::all(param.levels[static_cast<std::size_t>(c / 4)]));
  }
  const cv::Mat out = kovra_utils::enhance_dark_text(image, param.gamma);
  ASSERT_EQ(out.type(), CV_8UC1);
  ASSERT_EQ(out.size(), image.size());
  for (std::size_t i = 0; i < param.levels.size(); ++i) {
    EXPECT_EQ(out.at<uchar>(0, static_cast<int>(i) * 4), param.expected[i]) << "level " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, EnhanceDarkTextGamma,
    ::testing::Values(GammaCase{1.0, {10, 50, 200}, {0, 128, 255}},
                      GammaCase{1.5, {1, 10, 64}, {0, 128, 255}},
                      GammaCase{0.1, {10, 50, 200}, {0, 0, 255}},    // exponent 10 sends 10, 50 to 0
                      GammaCase{10, {100, 253, 254}, {0, 255, 255}}));  // 253, 254 both -> 254

TEST(EnhanceDarkText, ReadsTheInputAsRgb) {
  // Red weighs 0.299, blue 0.114: red (76) > gray 50 > blue (29).
  cv::Mat image(1, 3, CV_8UC3);
  image.at<cv::Vec3b>(0, 0) = {255, 0, 0};
  image.at<cv::Vec3b>(0, 1) = {50, 50, 50};
  image.at<cv::Vec3b>(0, 2) = {0, 0, 255};
  const cv::Mat out = kovra_utils::enhance_dark_text(image);
  EXPECT_EQ(out.at<uchar>(0, 0), 255);
  EXPECT_EQ(out.at<uchar>(0, 1), 128);
  EXPECT_EQ(out.at<uchar>(0, 2), 0);
}

TEST(EnhanceDarkText, RejectsGrayImagesAndNonPositiveGamma) {
  expect_error<ArgumentError>(
      [] { kovra_utils::enhance_dark_text(cv::Mat(4, 4, CV_8UC1, cv::Scalar(3))); },
      "enhance_dark_text: image must be 8-bit RGB or RGBA, got CV_8UC1");
  expect_error<ArgumentError>(
      [] { kovra_utils::enhance_dark_text(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(3)), 0.0); },
      "enhance_dark_text: gamma must be a positive number, got 0.0");
}

}  // namespace
