#include <kovra_utils/visual.hpp>

#include "capture.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace {

using kovra_utils::Mask;
using kovra_utils::MasksDict;

using Rgb = std::array<std::uint8_t, 3>;

Mask rect_mask(cv::Size size, cv::Rect rect) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  plane(rect).setTo(1);
  return Mask::from_dense(plane);
}

// Opaque `base` under `color` at alpha 128, as source-over gives it (within rounding).
void expect_blend(const cv::Vec4b& got, const cv::Vec3b& base, const Rgb& color) {
  for (int c = 0; c < 3; ++c) {
    const double expected = (color[c] * 128.0 + base[c] * 127.0) / 255.0;
    EXPECT_NEAR(got[c], expected, 1.0) << "channel " << c;
  }
  EXPECT_EQ(got[3], 255);
}

const cv::Vec3b kGray(40, 90, 140);
const cv::Mat kImage(60, 80, CV_8UC3, cv::Scalar(kGray[0], kGray[1], kGray[2]));

class RandomColor : public testing::TestWithParam<std::pair<std::uint32_t, Rgb>> {};

TEST_P(RandomColor, IsFixedPerSeed) {
  EXPECT_EQ(kovra_utils::generate_random_color(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Positions, RandomColor,
                         testing::Values(std::pair<std::uint32_t, Rgb>{42, {102, 179, 92}},
                                         std::pair<std::uint32_t, Rgb>{43, {68, 64, 255}},
                                         std::pair<std::uint32_t, Rgb>{44, {20, 163, 241}},
                                         std::pair<std::uint32_t, Rgb>{45, {203, 158, 131}}));

TEST(DrawMasksOnImage, NoMasksGivesOpaqueCopy) {
  const cv::Mat out = kovra_utils::draw_masks_on_image(kImage, {});
  ASSERT_EQ(out.type(), CV_8UC4);
  EXPECT_EQ(out.at<cv::Vec4b>(5, 5), cv::Vec4b(kGray[0], kGray[1], kGray[2], 255));
}

TEST(DrawMasksOnImage, LaterMaskWinsOnOverlapAndImageIsUntouched) {
  const cv::Mat before = kImage.clone();
  const cv::Size size = kImage.size();
  const cv::Mat out = kovra_utils::draw_masks_on_image(
      kImage, {rect_mask(size, {0, 0, 30, 30}), rect_mask(size, {20, 20, 30, 30})});
  expect_blend(out.at<cv::Vec4b>(5, 5), kGray, {102, 179, 92});
  expect_blend(out.at<cv::Vec4b>(25, 25), kGray, {68, 64, 255});  // overlap: second only
  EXPECT_EQ(out.at<cv::Vec4b>(55, 75), cv::Vec4b(kGray[0], kGray[1], kGray[2], 255));
  EXPECT_EQ(cv::countNonZero(cv::Mat(before != kImage).reshape(1)), 0);
}

TEST(DrawMasksOnImage, IgnoresMaskPixelsOutsideTheImage) {
  const cv::Mat out =
      kovra_utils::draw_masks_on_image(kImage, {rect_mask({200, 200}, {70, 50, 100, 100})});
  EXPECT_EQ(out.size(), kImage.size());
  expect_blend(out.at<cv::Vec4b>(59, 79), kGray, {102, 179, 92});
}

TEST(ImgBbxDrawing, ColourFollowsPositionNotKeyAndBoxIsInclusive) {
  MasksDict masks;
  masks["Box7"] = rect_mask(kImage.size(), {20, 20, 30, 25});  // box [20, 20, 49, 44]
  const cv::Mat out = kovra_utils::img_bbx_drawing(kImage, masks);
  const cv::Vec4b opaque(102, 179, 92, 255);
  EXPECT_EQ(out.at<cv::Vec4b>(44, 49), opaque);  // bottom-right corner of the outline
  EXPECT_EQ(out.at<cv::Vec4b>(42, 30), opaque);  // third outline row from the bottom
  expect_blend(out.at<cv::Vec4b>(41, 30), kGray, {102, 179, 92});  // fill inside the outline
  EXPECT_EQ(out.at<cv::Vec4b>(45, 30), cv::Vec4b(kGray[0], kGray[1], kGray[2], 255));

  // The tab above the top-left corner carries white label pixels.
  cv::Mat tab = out(cv::Rect(20, 0, 30, 20));
  std::vector<cv::Mat> channels;
  cv::split(tab, channels);
  EXPECT_GT(cv::countNonZero((channels[0] == 255) & (channels[1] == 255) & (channels[2] == 255)), 0);
  EXPECT_EQ(tab.at<cv::Vec4b>(19, 0), opaque);  // tab background at the box's top-left

  const cv::Mat again = kovra_utils::img_bbx_drawing(kImage, masks);
  EXPECT_EQ(cv::countNonZero(cv::Mat(again != out).reshape(1)), 0);
}

TEST(ImgBbxDrawing, EmptyDictAndClearMask) {
  const cv::Mat plain = kovra_utils::draw_masks_on_image(kImage, {});
  const cv::Mat empty = kovra_utils::img_bbx_drawing(kImage, {});
  EXPECT_EQ(cv::countNonZero(cv::Mat(empty != plain).reshape(1)), 0);

  MasksDict clear;
  clear["Box0"] = Mask(kImage.size());
  const cv::Mat out = kovra_utils::img_bbx_drawing(kImage, clear);
  // No fill; the box shrinks onto the corner (0, 0); of its tab only the bottom row, on the
  // box's top edge, stays inside the image.
  const cv::Vec4b plain_pixel(kGray[0], kGray[1], kGray[2], 255);
  EXPECT_EQ(out.at<cv::Vec4b>(0, 0), cv::Vec4b(102, 179, 92, 255));
  EXPECT_EQ(out.at<cv::Vec4b>(0, 5), cv::Vec4b(102, 179, 92, 255));
  EXPECT_EQ(out.at<cv::Vec4b>(1, 0), plain_pixel);
  EXPECT_EQ(out.at<cv::Vec4b>(1, 5), plain_pixel);
  EXPECT_EQ(cv::countNonZero(cv::Mat(out(cv::Rect(0, 1, 80, 59)) != plain(cv::Rect(0, 1, 80, 59)))
                                 .reshape(1)),
            0);
}

TEST(VideoSegmentsMaskVisual, ShowsMaskThroughColourMap) {
  kovra_utils::VideoSegments segments;
  segments[0][3] = rect_mask({8, 6}, {2, 1, 3, 2});
  cv::Mat shown;
  kovra_utils::video_segments_mask_visual(segments, 0, 3,
                                          [&](const cv::Mat& image) { shown = image.clone(); });
  ASSERT_EQ(shown.size(), cv::Size(8, 6));
  ASSERT_EQ(shown.type(), CV_8UC3);
  const cv::Vec3b low = shown.at<cv::Vec3b>(0, 0);
  const cv::Vec3b high = shown.at<cv::Vec3b>(1, 2);
  EXPECT_GT(low[2], low[1]);   // viridis starts dark purple (blue over green)
  EXPECT_GT(high[0], 200);     // and ends yellow
  EXPECT_GT(high[1], 200);
  EXPECT_THROW(kovra_utils::video_segments_mask_visual(segments, 1, 3, [](const cv::Mat&) {}),
               std::out_of_range);
  EXPECT_THROW(kovra_utils::video_segments_mask_visual(segments, 0, 4, [](const cv::Mat&) {}),
               std::out_of_range);
}

TEST(DefaultDisplay, WritesReadablePngToTemporaryFolder) {
  namespace fs = std::filesystem;
  const auto is_display_file = [](const fs::directory_entry& entry) {
    return entry.path().filename().string().rfind("kovra_utils_display_", 0) == 0;
  };
  std::set<fs::path> before;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
    if (is_display_file(entry)) before.insert(entry.path());
  }
  cv::Mat rgb(4, 5, CV_8UC3, cv::Scalar(255, 0, 0));
  kovra_utils::default_display(rgb);
  std::vector<fs::path> written;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
    if (is_display_file(entry) && !before.count(entry.path())) written.push_back(entry.path());
  }
  ASSERT_EQ(written.size(), 1U);
  const cv::Mat read = cv::imread(written[0].string());
  fs::remove(written[0]);
  ASSERT_EQ(read.size(), rgb.size());
  EXPECT_EQ(read.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));  // stored BGR: red stays red
}

}  // namespace
