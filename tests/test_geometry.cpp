#include "geometry.hpp"

#include "expect_error.hpp"

#include <kovra_utils/types.hpp>

#include <gtest/gtest.h>

#include <random>

namespace {

using kovra_utils::geometry::NonZero;
using kovra_utils::geometry::nonzero_extent;

// Pixel by pixel, for comparison.
NonZero reference_extent(const cv::Mat& plane) {
  NonZero result;
  int left = plane.cols, right = -1, top = plane.rows, bottom = -1;
  for (int r = 0; r < plane.rows; ++r) {
    for (int c = 0; c < plane.cols; ++c) {
      const std::uint8_t value = plane.at<std::uint8_t>(r, c);
      if (value > 1) result.binary = false;
      if (value == 0) continue;
      ++result.area;
      left = std::min(left, c);
      right = std::max(right, c);
      top = std::min(top, r);
      bottom = std::max(bottom, r);
    }
  }
  if (result.area > 0) result.bounds = cv::Rect(left, top, right - left + 1, bottom - top + 1);
  return result;
}

void expect_same(const NonZero& actual, const NonZero& expected, const std::string& what) {
  EXPECT_EQ(actual.bounds, expected.bounds) << what;
  EXPECT_EQ(actual.area, expected.area) << what;
  EXPECT_EQ(actual.binary, expected.binary) << what;
}

// Single pixels at every column across the eight-pixel word boundaries and in the row tail,
// with values that set only the high bit or only the low bit of a byte.
TEST(NonzeroExtent, SinglePixelsAtEveryColumn) {
  for (const int cols : {1, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47}) {
    for (int c = 0; c < cols; ++c) {
      for (const std::uint8_t value : {1, 128, 255}) {
        cv::Mat plane = cv::Mat::zeros(3, cols, CV_8U);
        plane.at<std::uint8_t>(1, c) = value;
        const NonZero found = nonzero_extent(plane);
        EXPECT_EQ(found.bounds, cv::Rect(c, 1, 1, 1)) << cols << " columns, column " << c;
        EXPECT_EQ(found.area, 1);
        EXPECT_EQ(found.binary, value == 1);
      }
    }
  }
}

// Random sparse and dense planes, whole and as windows of a larger plane (rows not contiguous).
TEST(NonzeroExtent, MatchesPixelByPixelScan) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int rows = 1 + static_cast<int>(random() % 12);
    const int cols = 1 + static_cast<int>(random() % 40);
    const double density = trial % 3 == 0 ? 0.02 : 0.4;
    const bool binary = trial % 2 == 0;
    cv::Mat whole = cv::Mat::zeros(rows + 2, cols + 5, CV_8U);
    std::bernoulli_distribution set(density);
    for (int r = 0; r < whole.rows; ++r) {
      for (int c = 0; c < whole.cols; ++c) {
        if (set(random)) whole.at<std::uint8_t>(r, c) = binary ? 1 : 1 + random() % 255;
      }
    }
    const cv::Mat window = whole(cv::Rect(3, 1, cols, rows));
    expect_same(nonzero_extent(whole), reference_extent(whole), "whole, trial " + std::to_string(trial));
    expect_same(nonzero_extent(window), reference_extent(window),
                "window, trial " + std::to_string(trial));
  }
}

// Rows long enough that the per-byte counters of a vector scan must be emptied along the way.
TEST(NonzeroExtent, LongDenseRows) {
  std::mt19937 random(3);
  for (const int cols : {4079, 4080, 4081, 4096, 8200}) {
    cv::Mat plane = cv::Mat::ones(3, cols, CV_8U);
    plane.at<std::uint8_t>(2, cols - 1) = 0;
    plane.at<std::uint8_t>(0, static_cast<int>(random() % cols)) = 200;
    expect_same(nonzero_extent(plane), reference_extent(plane), std::to_string(cols) + " columns");
    plane.setTo(0);
    plane.at<std::uint8_t>(1, cols - 2) = 1;
    expect_same(nonzero_extent(plane), reference_extent(plane),
                std::to_string(cols) + " columns, one pixel");
  }
}

TEST(NonzeroExtent, ClearPlaneAndWrongType) {
  const NonZero clear = nonzero_extent(cv::Mat::zeros(4, 19, CV_8U));
  EXPECT_EQ(clear.area, 0);
  EXPECT_EQ(clear.bounds, cv::Rect());
  EXPECT_TRUE(clear.binary);
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [] { nonzero_extent(cv::Mat::zeros(4, 4, CV_16U)); }, {"8-bit single-channel"});
}

}  // namespace
